// The ranked population (sortgen) and the duplicate library (doneAlready).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "coils/storage.h"
#include "library_support.h"
#include "search/library.h"
#include "search/rankall.h"
#include "search/sort.h"
#include "testhooks.h"

namespace {

ResultRecord* makeSet(double goodness, double first, int32_t mask = 0) {
    ResultRecord* record = newResult();
    record->goodness = goodness;
    for (int k = 0; k < kCoefficientCount; ++k) record->coefficients[k] = first + k;
    record->changeMask = mask;
    return record;
}

std::vector<const ResultRecord*> members(const ResultRecord* list) {
    std::vector<const ResultRecord*> out;
    for (; list != nullptr; list = list->next) out.push_back(list);
    return out;
}

// Builds a list by inserting the records in order.
ResultRecord* listOf(std::initializer_list<ResultRecord*> records) {
    ResultRecord* list = nullptr;
    for (ResultRecord* record : records) list = sortgen(list, record);
    return list;
}

}  // namespace

TEST(RankedPopulation, InsertsAtRank) {
    ResultRecord* only = makeSet(0.5, 1);
    only->next = only;  // stale link from an earlier list
    EXPECT_EQ(sortgen(nullptr, only), only);
    EXPECT_EQ(only->next, nullptr);

    ResultRecord* worst = makeSet(0.9, 2);
    ResultRecord* best = makeSet(0.1, 3);
    ResultRecord* middle = makeSet(0.3, 4);
    ResultRecord* list = listOf({only, worst, best, middle});
    EXPECT_EQ(members(list), (std::vector<const ResultRecord*>{best, middle, only, worst}));

    ResultRecord* last = makeSet(2.0, 5);
    EXPECT_EQ(sortgen(list, last), best);
    EXPECT_EQ(members(best).back(), last);
}

TEST(RankedPopulation, EqualGoodnessGoesBehindItsEquals) {
    ResultRecord* first = makeSet(0.2, 1);
    ResultRecord* second = makeSet(0.7, 2);
    ResultRecord* list = listOf({first, second});
    ResultRecord* tie = makeSet(0.2, 10);
    EXPECT_EQ(sortgen(list, tie), first);
    EXPECT_EQ(members(list), (std::vector<const ResultRecord*>{first, tie, second}));

    ResultRecord* tieAgain = makeSet(0.2, 20);
    sortgen(list, tieAgain);
    EXPECT_EQ(members(list), (std::vector<const ResultRecord*>{first, tie, tieAgain, second}));
}

TEST(RankedPopulation, DeclinesEqualGoodnessWithEqualCoefficients) {
    ResultRecord* first = makeSet(0.2, 1, 0);
    ResultRecord* tie = makeSet(0.2, 10);
    ResultRecord* second = makeSet(0.7, 2);
    ResultRecord* list = listOf({first, tie, second});
    const std::vector<const ResultRecord*> before = members(list);

    // Same as the best member but for its mask: declined, back to the pool.
    ResultRecord* copyOfFirst = makeSet(0.2, 1, -1);
    EXPECT_EQ(sortgen(list, copyOfFirst), first);
    EXPECT_EQ(members(list), before);
    EXPECT_EQ(newResult(), copyOfFirst);

    // Same as the second of two equal members, with -0.0 for its 0.0.
    tie->coefficients[3] = 0.0;
    ResultRecord* copyOfTie = makeSet(0.2, 10);
    copyOfTie->coefficients[3] = -0.0;
    EXPECT_EQ(sortgen(list, copyOfTie), first);
    EXPECT_EQ(members(list), before);
    EXPECT_EQ(newResult(), copyOfTie);

    // Equal coefficients with a different goodness are a different member.
    ResultRecord* better = makeSet(0.1, 1);
    EXPECT_EQ(sortgen(list, better), better);
    ResultRecord* worse = makeSet(0.7000001, 2);
    sortgen(better, worse);
    EXPECT_EQ(members(better).size(), 5u);
}

TEST(RankedPopulationDeath, NullRecordIsFatal) {
    EXPECT_EXIT(sortgen(nullptr, nullptr), testing::ExitedWithCode(255),
                R"(^sort \(sortgen:40\) should never happen)");
}

namespace {

ResultRecord candidateOf(double first, int32_t mask) {
    ResultRecord record{};
    for (int k = 0; k < kCoefficientCount; ++k) record.coefficients[k] = first * (k + 1);
    record.changeMask = mask;
    return record;
}

}  // namespace

TEST(Library, RemembersCandidatesByMaskAndValues) {
    emptyLibrary();
    const int64_t stored = libCnt;
    const int64_t rejected = rejects;

    ResultRecord candidate = candidateOf(0.125, 15);
    EXPECT_FALSE(doneAlready(&candidate));
    EXPECT_TRUE(doneAlready(&candidate));
    EXPECT_EQ(libCnt, stored + 1);
    EXPECT_EQ(rejects, rejected + 1);

    // The same values with another mask are another candidate.
    ResultRecord otherMask = candidateOf(0.125, -1);
    EXPECT_FALSE(doneAlready(&otherMask));
    EXPECT_EQ(libCnt, stored + 2);

    // The goodness does not count; 0.0 and -0.0 are equal.
    candidate.goodness = 0.75;
    EXPECT_TRUE(doneAlready(&candidate));
    ResultRecord zero = candidateOf(0.0, 15);
    ResultRecord negativeZero = candidateOf(-0.0, 15);
    ASSERT_TRUE(std::signbit(negativeZero.coefficients[0]));
    EXPECT_FALSE(doneAlready(&zero));
    EXPECT_TRUE(doneAlready(&negativeZero));

    // A set that differs in one fractional digit is new.
    ResultRecord near = candidateOf(0.125, 15);
    near.coefficients[14] = std::nextafter(near.coefficients[14], 1.0);
    EXPECT_FALSE(doneAlready(&near));
    EXPECT_EQ(libCnt, stored + 4);
    EXPECT_EQ(rejects, rejected + 3);
}

TEST(Library, KeepsItsOwnCopy) {
    emptyLibrary();
    ResultRecord* candidate = newResult();
    candidate->coefficients[0] = 0.5;
    const int64_t stored = libCnt;
    EXPECT_FALSE(doneAlready(candidate));
    // Reusing the caller's record must not change what the library holds.
    candidate->coefficients[0] = 0.25;
    EXPECT_FALSE(doneAlready(candidate));
    candidate->coefficients[0] = 0.5;
    EXPECT_TRUE(doneAlready(candidate));
    EXPECT_EQ(libCnt, stored + 2);
    freeResult(candidate);
}

TEST(Library, ManySmallCandidatesWithOneMask) {
    // Coefficients between -1 and 1 with one mask: all must be told apart,
    // whichever slots they share.
    emptyLibrary();
    const int64_t stored = libCnt;
    const int64_t rejected = rejects;
    const int count = 20000;
    ResultRecord candidate{};
    candidate.changeMask = -1;
    for (int pass = 0; pass < 2; ++pass) {
        for (int n = 0; n < count; ++n) {
            for (int k = 0; k < kCoefficientCount; ++k) candidate.coefficients[k] = (n % (k + 2)) * 0.01 - 0.005 * k;
            candidate.coefficients[0] = n * 1e-6;
            ASSERT_EQ(doneAlready(&candidate), pass == 1) << "candidate " << n << " pass " << pass;
        }
    }
    EXPECT_EQ(libCnt, stored + count);
    EXPECT_EQ(rejects, rejected + count);
}

TEST(Library, GrowsIntoTheTableThatStoringInOrderGives) {
    // At every size the table holds each entry where storing the entries in
    // stored order into an empty table of that size puts it, so at full size
    // it is the full-size table, which overflows at the same entry.
    const auto storedInOrderInto = [](uint64_t size) {
        std::vector<const ResultRecord*> slots(size, nullptr);
        for (const ResultRecord* entry : libraryEntries()) {
            uint64_t slot = libraryHash(entry) & (size - 1);
            for (uint64_t step = 1; slots[slot] != nullptr; ++step) slot = (slot + step) & (size - 1);
            slots[slot] = entry;
        }
        return slots;
    };
    emptyLibrary();
    ResultRecord candidate = candidateOf(0.0, -1);
    for (int n = 1; n <= 40000; ++n) {
        candidate.coefficients[n % kCoefficientCount] += 1e-3;
        ASSERT_FALSE(doneAlready(&candidate)) << n;
        if (n % 2048 == 1) {  // just after each doubling, and between them
            ASSERT_TRUE(std::ranges::equal(libraryTable(), storedInOrderInto(libraryTable().size()))) << n;
        }
    }
    growLibraryTable(uint64_t{1} << 20);
    EXPECT_TRUE(std::ranges::equal(libraryTable(), storedInOrderInto(uint64_t{1} << 20)));
    for (const ResultRecord* entry : libraryEntries()) ASSERT_TRUE(doneAlready(entry));
}

TEST(LibraryDeath, FindsTheLastFreeSlotThenOverflows) {
    // Every slot but one holds a set that matches nothing: a new candidate
    // must probe its way to the free slot, and the next one finds no room.
    EXPECT_EXIT(
        {
            ResultRecord filler = candidateOf(1.0, 1 << 20);
            growLibraryTable(kLibrarySlots);
            for (uint64_t slot = 0; slot < kLibrarySlots; ++slot) setLibrarySlot(slot, slot == 12345 ? nullptr : &filler);
            ResultRecord candidate = candidateOf(0.5, 7);
            const int64_t stored = libCnt;
            if (doneAlready(&candidate) || libCnt != stored + 1) std::exit(1);
            ResultRecord another = candidateOf(0.25, 7);
            doneAlready(&another);
            std::exit(3);
        },
        testing::ExitedWithCode(255), R"(^library \(doneAlready:121\) Symbol table overflow)");
}

// Ranking all at once gives the list that inserting one by one gives, down
// to the order of ties and the sets declined, whatever the goodness values.
TEST(RankedPopulation, RankingAllAtOnceIsInsertingOneByOne) {
    struct Case {
        const char* name;
        std::vector<double> goodness;  // of the sets, in insertion order
        int copies;                    // sets k and k + copies have the same coefficients
        int held;                      // the first `held` sets are in the list already
    };
    const double nan = std::nan("");
    const Case cases[] = {
        {"distinct", {0.5, 0.1, 0.9, 0.3, 0.7}, 0, 0},
        {"ties", {0.2, 0.2, 0.1, 0.2, 0.1, 0.3, 0.2}, 0, 0},
        {"equal sets of equal goodness", {0.2, 0.2, 0.2, 0.2, 0.2, 0.2}, 3, 0},
        {"equal sets of other goodness", {0.2, 0.4, 0.6, 0.1, 0.3, 0.5}, 3, 0},
        {"onto a list", {0.3, 0.1, 0.3, 0.1, 0.3, 0.2, 0.1}, 3, 4},
        {"no value", {kNoValue, 0.1, kNoValue, kNoValue, 0.1}, 2, 1},
        {"infinite", {INFINITY, 0.5, INFINITY, -0.0, 0.0}, 0, 0},
        {"nan", {0.3, nan, 0.1, nan, 0.2}, 0, 0},
        {"empty", {}, 0, 0},
    };
    for (const Case& c : cases) {
        const auto make = [&c](std::vector<ResultRecord*>& sets) {
            for (size_t i = 0; i < c.goodness.size(); ++i) {
                const size_t source = c.copies > 0 && i >= static_cast<size_t>(c.copies) ? i - c.copies : i;
                sets.push_back(makeSet(c.goodness[i], static_cast<double>(source)));
            }
        };
        std::vector<ResultRecord*> one, all;
        make(one);
        make(all);
        ResultRecord* byOne = nullptr;
        for (ResultRecord* set : one) byOne = sortgen(byOne, set);
        ResultRecord* held = nullptr;
        const std::vector<ResultRecord*> rest(all.begin() + c.held, all.end());
        for (int i = 0; i < c.held; ++i) held = sortgen(held, all[static_cast<size_t>(i)]);
        ResultRecord* byAll = rankAll(held, rest);
        // Compare by position in the insertion order.
        const auto positions = [](const ResultRecord* list, const std::vector<ResultRecord*>& sets) {
            std::vector<size_t> out;
            for (; list != nullptr; list = list->next)
                out.push_back(static_cast<size_t>(std::find(sets.begin(), sets.end(), list) - sets.begin()));
            return out;
        };
        EXPECT_EQ(positions(byAll, all), positions(byOne, one)) << c.name;
    }
}

// Equal coefficients that differ only in the sign of a zero are the same
// set to sortgen, and so to ranking all at once.
TEST(RankedPopulation, RankingAllAtOnceDeclinesSignedZeroCopies) {
    ResultRecord* positive = makeSet(0.5, 0);
    ResultRecord* negative = makeSet(0.5, 0);
    negative->coefficients[0] = -0.0;
    ResultRecord* list = rankAll(nullptr, {positive, negative});
    EXPECT_EQ(members(list), std::vector<const ResultRecord*>{positive});
}

// The variation operators: their values, change masks, the exact number and
// order of random draws, the attempt loop and the alternation of goodDir.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>

#include "coils/storage.h"
#include "library_support.h"
#include "search/library.h"
#include "search/operators.h"
#include "search/random.h"
#include "settings/symtab.h"
#include "testhooks.h"

namespace {

constexpr int32_t kAllCoefficients = 0x7FFF;

double realDraw(uint64_t output) {
    return static_cast<double>(output >> 11) * 1.1102230246251568e-16;
}

// A grid draw computed independently of the program's rounding.
double gridDraw(uint64_t output, const RangeEntry& range) {
    return range.low + std::round(realDraw(output) * range.steps) * range.resolution;
}

class Operators : public testing::Test {
protected:
    void SetUp() override {
        resetTables();
        resetGoodDir();
        emptyLibrary();
        // Ranges of different lows, resolutions and step counts; r0 has none.
        for (int k = 0; k < kCoefficientCount; ++k) {
            R[k].low = k - 7.0;
            R[k].resolution = 0.25 * (k + 1);
            R[k].steps = k;
            R[k].high = R[k].low + (k - 1) * R[k].resolution;
        }
        seed(20260101);
        first = makeParent(1.0);
        second = makeParent(-100.0);
    }

    void seed(uint64_t value) {
        init_genrand64(value);
        reference.seed(value);
    }

    // Checks that the program's stream has moved exactly `draws` outputs
    // ahead of the reference; both then move one further.
    void expectDrawsTaken(int draws) {
        reference.discard(draws);
        EXPECT_EQ(genrand64_int64(), reference()) << "after " << draws << " draws";
    }

    static ResultRecord* makeParent(double base) {
        ResultRecord* parent = newResult();
        parent->goodness = 0.125;
        for (int k = 0; k < kCoefficientCount; ++k) parent->coefficients[k] = base + k * 0.5;
        return parent;
    }

    std::mt19937_64 reference;
    ResultRecord* first = nullptr;
    ResultRecord* second = nullptr;
};

void expectFresh(const ResultRecord* record) {
    EXPECT_EQ(record->next, nullptr);
    EXPECT_EQ(record->goodness, 0.0);
    EXPECT_EQ(record->pad, 0);
}

}  // namespace

TEST_F(Operators, RandomSetDrawsOneGridPointPerCoefficient) {
    S[kTries].value.i = 0;
    const int64_t stored = libCnt;
    const int64_t rejected = rejects;
    ResultRecord* record = genRandResult();
    expectFresh(record);
    EXPECT_EQ(record->changeMask, -1);
    EXPECT_EQ(record->coefficients[0], R[0].low);
    for (int k = 0; k < kCoefficientCount; ++k)
        EXPECT_EQ(record->coefficients[k], gridDraw(reference(), R[k])) << "coefficient " << k;
    expectDrawsTaken(0);
    EXPECT_EQ(libCnt, stored);
    EXPECT_EQ(rejects, rejected);
}

TEST_F(Operators, BreedTakesFromTheSecondParentWithChanceRate) {
    const int64_t stored = libCnt;
    ResultRecord* copyOfFirst = breed(first, second, 0.0);
    expectFresh(copyOfFirst);
    EXPECT_EQ(copyOfFirst->coefficients, first->coefficients);
    EXPECT_EQ(copyOfFirst->changeMask, 0);
    expectDrawsTaken(15);
    EXPECT_EQ(libCnt, stored + 1);

    ResultRecord* copyOfSecond = breed(first, second, 1.5);
    EXPECT_EQ(copyOfSecond->coefficients, second->coefficients);
    EXPECT_EQ(copyOfSecond->changeMask, kAllCoefficients);
    expectDrawsTaken(15);
}

TEST_F(Operators, MutateRedrawsWithTheDrawRightAfterTheChoice) {
    ResultRecord* copy = mutate(first, 0.0);
    expectFresh(copy);
    EXPECT_EQ(copy->coefficients, first->coefficients);
    EXPECT_EQ(copy->changeMask, 0);
    expectDrawsTaken(15);

    ResultRecord* mutated = mutate(first, 0.4);
    expectFresh(mutated);
    int redrawn = 0;
    for (int k = 0; k < kCoefficientCount; ++k) {
        if (realDraw(reference()) < 0.4) {
            ++redrawn;
            EXPECT_EQ(mutated->coefficients[k], gridDraw(reference(), R[k])) << "coefficient " << k;
            EXPECT_EQ(mutated->changeMask >> k & 1, 1);
        } else {
            EXPECT_EQ(mutated->coefficients[k], first->coefficients[k]) << "coefficient " << k;
            EXPECT_EQ(mutated->changeMask >> k & 1, 0);
        }
    }
    EXPECT_GT(redrawn, 0);
    EXPECT_EQ(mutated->changeMask & ~kAllCoefficients, 0);
    expectDrawsTaken(0);
}

TEST_F(Operators, GoodDirAlternatesOncePerCall) {
    S[kDirection].value.d = 0.5;
    S[kTries].value.i = 2;
    first->coefficients[3] = 0.0;
    const int64_t stored = libCnt;
    const int64_t rejected = rejects;

    ResultRecord* down = goodDir(first, 2.0);
    expectFresh(down);
    EXPECT_EQ(down->changeMask, kAllCoefficients);
    for (int k = 0; k < kCoefficientCount; ++k) EXPECT_EQ(down->coefficients[k], 0.5 * first->coefficients[k]);
    EXPECT_EQ(down->coefficients[3], 0.0);
    expectDrawsTaken(15);

    ResultRecord* up = goodDir(first, 2.0);
    for (int k = 0; k < kCoefficientCount; ++k) EXPECT_EQ(up->coefficients[k], 1.5 * first->coefficients[k]);
    expectDrawsTaken(15);
    EXPECT_EQ(libCnt, stored + 2);

    // The third call scales down again and meets the first call's set on
    // both attempts: it keeps its direction through them and flips once.
    ResultRecord* downAgain = goodDir(first, 2.0);
    EXPECT_EQ(downAgain->coefficients, down->coefficients);
    EXPECT_EQ(rejects, rejected + 2);
    expectDrawsTaken(30);
    ResultRecord* upAgain = goodDir(first, 2.0);
    EXPECT_EQ(upAgain->coefficients, up->coefficients);
    EXPECT_EQ(libCnt, stored + 2);
}

TEST_F(Operators, AttemptLimitWhenEveryAttemptIsADuplicate) {
    // At rate 0 every operator makes the parent's copy with mask 0, which
    // the first call stores; every later attempt is a duplicate.
    ResultRecord* stored = mutate(first, 0.0);
    freeResult(stored);
    expectDrawsTaken(15);
    for (const int tries : {0, 1, 4}) {
        S[kTries].value.i = tries;
        const int attempts = tries < 1 ? 1 : tries;
        ResultRecord* (*const operators[])(const ResultRecord*) = {
            [](const ResultRecord* p) { return breed(p, p, 0.0); },
            [](const ResultRecord* p) { return mutate(p, 0.0); },
            [](const ResultRecord* p) { return goodDir(p, 0.0); },
        };
        for (auto makeOne : operators) {
            const int64_t libraryBefore = libCnt;
            const int64_t rejectsBefore = rejects;
            ResultRecord* record = makeOne(first);
            EXPECT_EQ(record->coefficients, first->coefficients);
            EXPECT_EQ(record->changeMask, 0);
            EXPECT_EQ(rejects, rejectsBefore + attempts) << "tries " << tries;
            EXPECT_EQ(libCnt, libraryBefore);
            expectDrawsTaken(15 * attempts);
            freeResult(record);
        }
    }
}

TEST_F(Operators, RetryRefillsWithFreshDrawsAndANewMask) {
    // Store what the first attempt of breed will make; the second attempt
    // must then be returned, its mask built from its own draws only.
    std::mt19937_64 lookahead = reference;
    int32_t masks[2] = {0, 0};
    for (int32_t& mask : masks)
        for (int k = 0; k < kCoefficientCount; ++k)
            if (realDraw(lookahead()) < 0.5) mask |= 1 << k;
    ASSERT_NE(masks[0], masks[1]);
    ResultRecord* firstAttempt = newResult();
    for (int k = 0; k < kCoefficientCount; ++k)
        firstAttempt->coefficients[k] = (masks[0] >> k & 1 ? second : first)->coefficients[k];
    firstAttempt->changeMask = masks[0];
    ASSERT_FALSE(doneAlready(firstAttempt));

    const int64_t stored = libCnt;
    const int64_t rejected = rejects;
    ResultRecord* record = breed(first, second, 0.5);
    EXPECT_EQ(record->changeMask, masks[1]);
    for (int k = 0; k < kCoefficientCount; ++k)
        EXPECT_EQ(record->coefficients[k], (masks[1] >> k & 1 ? second : first)->coefficients[k]);
    EXPECT_EQ(rejects, rejected + 1);
    EXPECT_EQ(libCnt, stored + 1);
    expectDrawsTaken(30);
}

// Snapshots in-process: the checksum, the ranges file digest, and a round
// trip of the whole state through a file, down to the slots of the
// duplicate library.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <span>
#include <utility>
#include <vector>

#include "cli_util.h"
#include "coils/storage.h"
#include "library_support.h"
#include "search/library.h"
#include "search/operators.h"
#include "search/random.h"
#include "search/searchstate.h"
#include "search/sort.h"
#include "state/crc32c.h"
#include "state/snapshot.h"
#include "test_support.h"
#include "testhooks.h"
#include "workers/dispatch.h"

namespace {

// Every occupied slot of the library with the set it holds.
std::vector<std::pair<uint64_t, std::array<double, kCoefficientCount>>> librarySlots() {
    std::vector<std::pair<uint64_t, std::array<double, kCoefficientCount>>> slots;
    const std::span<ResultRecord*> table = libraryTable();
    for (uint64_t i = 0; i < table.size(); ++i)
        if (table[i] != nullptr) slots.emplace_back(i, table[i]->coefficients);
    return slots;
}

void clearLibrary() {
    for (ResultRecord*& slot : libraryTable())
        if (slot != nullptr) freeResult(slot);
    initLibrary();
    libCnt = 0;  // as in a run, which stores from an empty library
}

std::vector<std::array<double, kCoefficientCount>> populationSets() {
    std::vector<std::array<double, kCoefficientCount>> sets;
    for (const ResultRecord* m = collected; m != nullptr; m = m->next) sets.push_back(m->coefficients);
    return sets;
}

}  // namespace

TEST(Crc32c, KnownValuesAndPieces) {
    EXPECT_EQ(crc32c("123456789", 9), 0xE3069283u);
    EXPECT_EQ(crc32c("", 0), 0u);
    const std::vector<uint8_t> zeros(32, 0);
    const std::vector<uint8_t> ones(32, 0xFF);
    EXPECT_EQ(crc32c(zeros.data(), zeros.size()), 0x8A9136AAu);
    EXPECT_EQ(crc32c(ones.data(), ones.size()), 0x62A8AB43u);
    // Any split, aligned or not, gives the CRC of the whole.
    std::vector<uint8_t> data(301);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 37 + 11);
    const uint32_t whole = crc32c(data.data(), data.size());
    for (size_t split : {0, 1, 7, 8, 9, 150, 300, 301})
        EXPECT_EQ(crc32c(data.data() + split, data.size() - split, crc32c(data.data(), split)), whole) << split;
}

TEST(SnapshotFormat, RangesDigestLeavesOutResumeLinesOnly) {
    const std::string base = allRanges() + "processes 2\n# a comment\n";
    const uint64_t digest = rangesDigest(base);
    const struct {
        std::string text;
        bool same;
    } cases[] = {
        {base + "resume 1\n", true},
        {"RESUME 0\n" + base, true},
        {base + " ,resume 1", true},  // leading delimiters, no final newline
        {base + "resume\n", true},
        {base + "#resume 1\n", false},  // a comment, not a setting
        {base + "resumes 1\n", false},
        {base + "processes 2\n", false},
        {allRanges() + "processes 3\n# a comment\n", false},
    };
    for (const auto& c : cases) EXPECT_EQ(rangesDigest(c.text) == digest, c.same) << c.text.substr(base.size());
    // The reader takes 255 characters at a time: after a 255-character
    // comment, "resume 1" on the same line is a setting line of its own.
    const std::string comment(255, '#');
    EXPECT_EQ(rangesDigest(base + comment + "resume 1\n"), rangesDigest(base + comment));
}

TEST(SnapshotFormat, RoundTripRestoresTheWholeState) {
    readRangesText(allRanges() + "processes 1\nsave 4\n");
    clearLibrary();
    init_genrand64(42);
    for (int i = 0; i < 1000; ++i) genrand64_int64();

    // A library of sets made in a known order, a ranked population, an
    // adapted range and every counter off its start value.
    for (int i = 0; i < 3000; ++i) {
        ResultRecord* set = genRandResult();
        set->changeMask = i % 7;
        doneAlready(set);
        freeResult(set);
    }
    collected = nullptr;
    for (int i = 0; i < 5; ++i) {
        ResultRecord* member = genRandResult();
        member->goodness = 0.5 + 0.125 * (i % 3);  // ties keep their order
        member->changeMask = i;
        collected = sortgen(collected, member);
    }
    R[3].low = -123.5;
    computeInc();
    gen = 12;
    lastgen = 9;
    tested = 999;
    lastTested = 950;
    rejects = 77;
    bestGoodness = 0.25;
    accumSeconds = 1.5;
    accumCnt = 3;
    setGoodDirUp(true);

    const SnapshotInputs inputs{"coils.txt", "ranges.txt", 0x1234, 0x5678};
    std::vector<uint8_t> bytes = encodeSnapshot(inputs, 12, false);
    const std::vector<uint8_t> encoded = bytes;
    CliRun scratch;
    const std::string path = (scratch.dir() / "state.bin").string();
    ASSERT_TRUE(beginSnapshotWrite(path, std::move(bytes)));
    ASSERT_TRUE(endSnapshotWrite());
    EXPECT_EQ(readFile(path), std::string(encoded.begin(), encoded.end()));

    const auto ranges = R;
    const auto members = populationSets();
    const auto slots = librarySlots();
    std::vector<std::array<double, kCoefficientCount>> order;
    for (const ResultRecord* entry : libraryEntries()) order.push_back(entry->coefficients);
    const int64_t stored = libCnt;
    const RandomState random = saveRandomState();
    std::vector<uint64_t> draws;
    for (int i = 0; i < 400; ++i) draws.push_back(genrand64_int64());

    // Everything changed, then restored from the file.
    clearLibrary();
    init_genrand64(7);
    resetTables();
    readRangesText(allRanges() + "processes 1\nsave 4\n");
    gen = lastgen = 0;
    tested = lastTested = 0;
    libCnt = rejects = 0;
    bestGoodness = accumSeconds = 0;
    accumCnt = 0;
    setGoodDirUp(false);
    collected = nullptr;

    Snapshot snapshot;
    std::string cause;
    ASSERT_TRUE(readSnapshot(path.c_str(), inputs, snapshot, cause)) << cause;
    EXPECT_FALSE(snapshot.ended);
    ASSERT_TRUE(applySnapshot(snapshot, cause)) << cause;

    EXPECT_EQ(gen, 12);
    EXPECT_EQ(lastgen, 9);
    EXPECT_EQ(tested, 999u);
    EXPECT_EQ(lastTested, 950u);
    EXPECT_EQ(libCnt, stored);
    EXPECT_EQ(rejects, 77);
    EXPECT_EQ(bestGoodness, 0.25);
    EXPECT_EQ(accumSeconds, 1.5);
    EXPECT_EQ(accumCnt, 3u);
    EXPECT_TRUE(goodDirUp());
    EXPECT_EQ(saveRandomState().index, random.index);
    for (uint64_t expected : draws) ASSERT_EQ(genrand64_int64(), expected);
    for (int k = 0; k < kCoefficientCount; ++k) {
        EXPECT_STREQ(R[k].name, kCoefficientNames[k]);
        EXPECT_EQ(R[k].low, ranges[k].low);
        EXPECT_EQ(R[k].high, ranges[k].high);
        EXPECT_EQ(R[k].resolution, ranges[k].resolution);
        EXPECT_EQ(R[k].steps, ranges[k].steps);
        EXPECT_EQ(R[k].minorInc, ranges[k].minorInc);
        EXPECT_EQ(R[k].mcount, ranges[k].mcount);
    }
    EXPECT_EQ(populationSets(), members);
    std::vector<std::array<double, kCoefficientCount>> restoredOrder;
    for (const ResultRecord* entry : libraryEntries()) restoredOrder.push_back(entry->coefficients);
    EXPECT_EQ(restoredOrder, order);
    EXPECT_EQ(librarySlots(), slots);

    // A library that repeats a set, under a valid checksum, is refused when
    // applied: the entries are not what a run stored.
    std::vector<uint8_t> repeated = encoded;
    constexpr size_t kEntry = 4 + 8 * kCoefficientCount;
    const size_t last = repeated.size() - 4 - kEntry;
    std::memcpy(repeated.data() + last, repeated.data() + last - kEntry, kEntry);
    const uint32_t crc = crc32c(repeated.data(), repeated.size() - 4);
    for (int i = 0; i < 4; ++i) repeated[repeated.size() - 4 + i] = static_cast<uint8_t>(crc >> (8 * i));
    scratch.write("repeated.bin", std::string(repeated.begin(), repeated.end()));
    clearLibrary();
    Snapshot bad;
    ASSERT_TRUE(readSnapshot((scratch.dir() / "repeated.bin").c_str(), inputs, bad, cause)) << cause;
    EXPECT_FALSE(applySnapshot(bad, cause));
    EXPECT_EQ(cause, "it is corrupted (library entry " + std::to_string(stored - 1) + " repeats an earlier one)");

    // Inputs other than the snapshot's.
    SnapshotInputs otherCoils = inputs;
    otherCoils.coilDigest = 1;
    EXPECT_FALSE(readSnapshot(path.c_str(), otherCoils, bad, cause));
    EXPECT_EQ(cause, "it was made from another coil file than coils.txt");

    // A write that cannot start leaves nothing behind and says why.
    errno = 0;
    EXPECT_FALSE(beginSnapshotWrite((scratch.dir() / "missing" / "state.bin").string(), std::vector<uint8_t>(10)));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_TRUE(endSnapshotWrite());

    clearLibrary();
    resetTables();
}

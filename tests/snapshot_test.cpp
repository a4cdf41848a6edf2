// Snapshots in-process: a round trip of the whole state through a file,
// down to the slots of the duplicate library, and the checks that refuse
// forged values.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <tuple>
#include <functional>
#include <limits>
#include <string>
#include <span>
#include <utility>
#include <vector>

#include "cli_util.h"
#include "coils/equation.h"
#include "coils/storage.h"
#include "search/library.h"
#include "search/operators.h"
#include "search/random.h"
#include "search/schedule.h"
#include "search/searchstate.h"
#include "search/sort.h"
#include "engine/resume.h"
#include "state/snapshot.h"
#include "state/snapshot_codec.h"
#include "common/backgroundwrite.h"
#include "snapshot_forge.h"
#include "test_support.h"
#include "testhooks.h"
#include "transport/process.h"

namespace {

// Empties the library through its own interface; the copies it held stay
// out of the pool.
void clearLibrary() {
    initLibrary();
    libCnt = 0;
    rejects = 0;
}

std::vector<std::array<double, kCoefficientCount>> populationSets() {
    std::vector<std::array<double, kCoefficientCount>> sets;
    for (const ResultRecord* m = collected; m != nullptr; m = m->next) sets.push_back(m->coefficients);
    return sets;
}

// Two coils of the small example set, to score sets on.
InductorRecord testCoil(InductorRecord* next, double inductance, double radius, double length, int32_t turns) {
    InductorRecord coil{};
    coil.next = next;
    coil.measuredInductance = inductance;
    coil.radius = radius;
    coil.wire = 1.4e-4;
    coil.gauge = 29;
    coil.length = length;
    coil.turns = turns;
    return coil;
}
InductorRecord secondCoil = testCoil(nullptr, 3.47862e-4, 0.0295, 0.1118, 120);
InductorRecord firstCoil = testCoil(&secondCoil, 1.8192e-5, 0.00615, 0.0246, 62);

constexpr int32_t kGeneration = 60;
// The range table as the ranges file of the run would give it.
RangeTable givenRanges{};

// A run's state off every start value: a library of sets made in a known
// order, a ranked population scored on the test coils, an adapted range and
// every counter within what 60 generations allow.
void makeRunState(uint64_t seed = 42) {
    readRangesText(allRanges() + "processes 1\nsave 4\nrangeexpand 1\n");
    clearLibrary();
    init_genrand64(seed);
    for (int i = 0; i < 1000; ++i) genrand64_int64();
    for (int i = 0; i < 3000; ++i) {
        ResultRecord* set = genRandResult();
        set->changeMask = i % 7;
        doneAlready(set);
        freeResult(set);
    }
    collected = nullptr;
    for (int i = 0; i < 5; ++i) {
        ResultRecord* member = genRandResult();
        member->changeMask = i;
        evalInductors(&firstCoil, member);
        collected = sortgen(collected, member);
    }
    // Three adaptations: 0, -1 (minus the high end), -2, -4.
    R[3].low = -4;
    computeInc();
    givenRanges = R;
    gen = kGeneration;
    lastgen = 9;
    // Every candidate of 60 generations of 70 handed out and harvested.
    tested = 4200;
    lastTested = 950;
    rejects = 77;
    bestGoodness = collected->goodness;
    accumSeconds = 1.5;
    accumCnt = 3;
    setGoodDirUp(true);
}

SnapshotInputs testInputs() {
    SnapshotInputs inputs{"coils.txt", "ranges.txt", 0x1234, 0x5678};
    inputs.coils = &firstCoil;
    inputs.startRanges = givenRanges;
    inputs.workers = workerCount();
    inputs.candidatesPerGeneration = candidatesPerGeneration(S[kSave].value.i, S[kTries].value.i);
    inputs.minCandidatesPerGeneration = fewestCandidatesPerGeneration(S[kSave].value.i, S[kTries].value.i);
    return inputs;
}

std::vector<uint8_t> encodeRun(const SnapshotInputs& inputs) {
    std::vector<uint8_t> bytes;
    encodeSnapshot(kGeneration, false, inputs, bytes);
    return bytes;
}

// The run's search state as it stands, to compare.
struct LiveState {
    SearchCounters counters;
    RandomState random;
    std::vector<std::array<double, kCoefficientCount>> ranges, population, library;
    std::vector<double> goodness;
    std::vector<int32_t> jobSlots;
    std::array<uint8_t, kMaxWorkers> phases;
};

LiveState liveState() {
    LiveState live{searchCounters, saveRandomState(), {}, populationSets(), {}, {}, {}, workerSlots.phases};
    for (const RangeEntry& range : R)
        live.ranges.push_back({range.low, range.high, range.resolution, static_cast<double>(range.steps),
                               range.minorInc, static_cast<double>(range.mcount)});
    for (const ResultRecord* m = collected; m != nullptr; m = m->next) live.goodness.push_back(m->goodness);
    for (const ResultRecord* entry : libraryEntries()) live.library.push_back(entry->coefficients);
    for (const OutJob& job : workerSlots.outstanding) live.jobSlots.push_back(job.slot);
    return live;
}

// Field by field: the counters' padding bytes are not part of the state.
auto counterFields(const SearchCounters& c) {
    return std::tie(c.gen, c.lastgen, c.bestGoodness, c.tested, c.lastTested, c.accumSeconds, c.accumCnt, c.libCnt,
                    c.rejects, c.goodDirUp);
}

void expectSameState(const LiveState& a, const LiveState& b) {
    EXPECT_EQ(counterFields(a.counters), counterFields(b.counters));
    EXPECT_EQ(a.random.words, b.random.words);
    EXPECT_EQ(a.random.index, b.random.index);
    EXPECT_EQ(a.ranges, b.ranges);
    EXPECT_EQ(a.population, b.population);
    EXPECT_EQ(a.goodness, b.goodness);
    EXPECT_EQ(a.library, b.library);
    EXPECT_EQ(a.jobSlots, b.jobSlots);
    EXPECT_EQ(a.phases, b.phases);
}

std::string goodnessText(double goodness) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", goodness);
    return text;
}

}  // namespace

TEST(SnapshotFormat, RoundTripRestoresTheWholeState) {
    makeRunState();
    const SnapshotInputs inputs = testInputs();
    std::vector<uint8_t> bytes = encodeRun(inputs);
    const std::vector<uint8_t> encoded = bytes;
    CliRun scratch;
    const std::string path = (scratch.dir() / "state.bin").string();
    ASSERT_TRUE(beginBackgroundWrite(path, std::move(bytes)));
    ASSERT_TRUE(endBackgroundWrite());
    EXPECT_EQ(readFile(path), std::string(encoded.begin(), encoded.end()));

    const auto ranges = R;
    const auto members = populationSets();
    std::vector<std::array<double, kCoefficientCount>> order;
    std::vector<ResultRecord> entries;
    for (const ResultRecord* entry : libraryEntries()) {
        order.push_back(entry->coefficients);
        entries.push_back(*entry);
    }
    const int64_t stored = libCnt;
    const double best = bestGoodness;
    const RandomState random = saveRandomState();
    std::vector<uint64_t> draws;
    for (int i = 0; i < 400; ++i) draws.push_back(genrand64_int64());

    // Everything changed, then restored from the file.
    clearLibrary();
    init_genrand64(7);
    resetTables();
    readRangesText(allRanges() + "processes 1\nsave 4\nrangeexpand 1\n");
    gen = lastgen = 0;
    tested = lastTested = 0;
    libCnt = rejects = 0;
    bestGoodness = accumSeconds = 0;
    accumCnt = 0;
    setGoodDirUp(false);
    collected = nullptr;

    std::string cause;
    SavedSearch saved;
    saved.ended = true;
    ASSERT_TRUE(readSnapshot(path.c_str(), inputs, saved, cause)) << cause;
    EXPECT_FALSE(saved.ended);
    restoreSnapshot(std::move(saved));

    EXPECT_EQ(gen, kGeneration);
    EXPECT_EQ(lastgen, 9);
    EXPECT_EQ(tested, 4200u);
    EXPECT_EQ(lastTested, 950u);
    EXPECT_EQ(libCnt, stored);
    EXPECT_EQ(rejects, 77);
    EXPECT_EQ(bestGoodness, best);
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
    // Every set is known again: made anew, each is a repeat.
    for (size_t i = 0; i < entries.size(); i += 97) EXPECT_TRUE(doneAlready(&entries[i])) << i;

    // A library that repeats a set, under valid checksums, is refused: the
    // entries are not what a run stored.
    ForgedSnapshot repeated(std::string(encoded.begin(), encoded.end()));
    constexpr size_t kEntry = 4 + 8 * kCoefficientCount;
    const size_t last = repeated.body("library") + 8 + (stored - 1) * kEntry;
    std::string bytesOf = repeated.bytes();
    bytesOf.replace(last, kEntry, bytesOf, last - kEntry, kEntry);
    repeated = ForgedSnapshot(bytesOf);
    repeated.reseal();
    scratch.write("repeated.bin", repeated.bytes());
    SavedSearch refused;
    EXPECT_FALSE(readSnapshot((scratch.dir() / "repeated.bin").c_str(), inputs, refused, cause));
    EXPECT_EQ(cause, "it is corrupted (library entry " + std::to_string(stored - 1) + " repeats an earlier one)");

    // A write that cannot start leaves nothing behind and says why.
    errno = 0;
    EXPECT_FALSE(beginBackgroundWrite((scratch.dir() / "missing" / "state.bin").string(), std::vector<uint8_t>(10)));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_TRUE(endBackgroundWrite());

    clearLibrary();
    resetTables();
}

// A snapshot is read whole or not at all: one refused in any of its
// sections, down to the last, leaves the run's state as it was, and one
// taken is not in place until it is restored.
TEST(SnapshotFormat, ARefusedSnapshotLeavesTheRunAsItWas) {
    makeRunState();
    const SnapshotInputs inputs = testInputs();
    const std::vector<uint8_t> encoded = encodeRun(inputs);
    const ForgedSnapshot good(std::string(encoded.begin(), encoded.end()));

    // The run in another state than the snapshot's, in every part.
    makeRunState(99);
    tested = 4100;
    lastgen = 8;
    R[0].low = -1;
    computeInc();
    workerSlots.phases[0] = 1;
    workerSlots.outstanding.push_back({0, cloneResult(collected)});
    const LiveState before = liveState();

    const size_t population = good.body("population") + 4;
    const auto repeatLastEntry = [](ForgedSnapshot& f) {
        constexpr size_t kEntry = 4 + 8 * kCoefficientCount;
        std::string bytes = f.bytes();
        const size_t end = f.body("library") + 8 + static_cast<size_t>(f.get<uint64_t>(f.body("library"))) * kEntry;
        bytes.replace(end - kEntry, kEntry, bytes, end - 2 * kEntry, kEntry);
        f = ForgedSnapshot(bytes);
        f.reseal();
    };
    const struct {
        const char* name;
        std::function<void(ForgedSnapshot&)> forge;
        bool taken;
    } cases[] = {
        {"taken, not restored", [](ForgedSnapshot&) {}, true},
        {"a population member's goodness", [&](ForgedSnapshot& f) { f.set<double>(population, 1e-9); }, false},
        {"the library's last entry repeated", repeatLastEntry, false},
        {"truncated in the library",
         [](ForgedSnapshot& f) { f = ForgedSnapshot(f.bytes().substr(0, f.bytes().size() - 100)); }, false},
    };
    CliRun scratch;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ForgedSnapshot forged = good;
        c.forge(forged);
        scratch.write("state.bin", forged.bytes());
        SavedSearch saved;
        std::string cause;
        EXPECT_EQ(readSnapshot((scratch.dir() / "state.bin").c_str(), inputs, saved, cause), c.taken) << cause;
        expectSameState(liveState(), before);
    }
    for (const OutJob& job : workerSlots.outstanding) freeResult(job.candidate);
    workerSlots.outstanding.clear();
    workerSlots.phases = {};
    clearLibrary();
    resetTables();
}

// Snapshots with valid checksums whose contents no run of these inputs and
// settings can have produced are refused; one from a program with fewer
// settings, or with a section this program does not know, is taken.
TEST(SnapshotFormat, ForgeriesAreRefusedAndLaterFormsTaken) {
    makeRunState();
    const SnapshotInputs inputs = testInputs();
    const std::vector<uint8_t> encoded = encodeRun(inputs);
    const ForgedSnapshot good(std::string(encoded.begin(), encoded.end()));
    const size_t counters = good.body("counters");
    const size_t ranges = good.body("ranges");
    const size_t population = good.body("population") + 4;
    constexpr size_t kMember = 8 + 8 * kCoefficientCount + 4;
    constexpr size_t kRange = 4 * 8 + 2 * 4;
    const double second = good.get<double>(population + kMember);
    const std::string prefix = "it is corrupted (";
    // r0's low end moved to `low`, its steps made right again.
    const auto lowerR0 = [&](double low) {
        return [&, low](ForgedSnapshot& f) {
            const double high = f.get<double>(ranges + 8);
            const double resolution = f.get<double>(ranges + 16);
            f.set<double>(ranges, low);
            f.set<int32_t>(ranges + 24, static_cast<int32_t>((high - low) / resolution) + 1);
        };
    };

    struct Case {
        const char* name;
        std::function<void(ForgedSnapshot&)> forge;
        std::string cause;  // "" when the snapshot is taken
        std::function<void()> runSetting = [] {};
    };
    const Case cases[] = {
        {"as written", [](ForgedSnapshot&) {}, ""},
        {"generation INT_MAX", [&](ForgedSnapshot& f) { f.set<int32_t>(counters, INT_MAX); },
         prefix + "generation 2147483647, maxgenerations is 100000)"},
        {"generation 0 not at the end", [&](ForgedSnapshot& f) { f.set<int32_t>(counters, 0); },
         prefix + "generation 0, maxgenerations is 100000)"},
        {"lastgen after generation", [&](ForgedSnapshot& f) { f.set<int32_t>(counters + 4, kGeneration + 1); },
         prefix + "lastgen)"},
        {"more tested than handed out", [&](ForgedSnapshot& f) { f.set<uint64_t>(counters + 8, 1u << 30); },
         prefix + "tested)"},
        {"libCnt beyond the library", [&](ForgedSnapshot& f) { f.set<int64_t>(counters + 24, 1 << 20); },
         prefix + "libCnt)"},
        {"lastTested above tested",
         [&](ForgedSnapshot& f) { f.set<uint64_t>(counters + 16, f.get<uint64_t>(counters + 8) + 1); },
         prefix + "tested)"},
        {"accumCnt above tested",
         [&](ForgedSnapshot& f) { f.set<uint32_t>(counters + 56, static_cast<uint32_t>(f.get<uint64_t>(counters + 8) + 1)); },
         prefix + "tested)"},
        {"rejects negative", [&](ForgedSnapshot& f) { f.set<int64_t>(counters + 32, -1); }, prefix + "rejects)"},
        {"accumSeconds not a number", [&](ForgedSnapshot& f) { f.set<double>(counters + 48, std::nan("")); },
         prefix + "accumSeconds)"},
        {"random index beyond the state", [&](ForgedSnapshot& f) { f.set<int32_t>(good.body("random"), 313); },
         prefix + "random state)"},
        {"steps of r1 off by one",
         [&](ForgedSnapshot& f) { f.set<int32_t>(ranges + kRange + 24, f.get<int32_t>(ranges + kRange + 24) + 1); },
         prefix + "range r1)"},
        {"steps of the moved r3 off by one",
         [&](ForgedSnapshot& f) { f.set<int32_t>(ranges + 3 * kRange + 24, 1); }, prefix + "range r3)"},
        {"resolution of r2 zero", [&](ForgedSnapshot& f) { f.set<double>(ranges + 2 * kRange + 16, 0.0); },
         prefix + "range r2)"},
        {"minorInc of r0 not a number", [&](ForgedSnapshot& f) { f.set<double>(ranges + 28, std::nan("")); },
         prefix + "range r0)"},
        {"mcount of l3 negative", [&](ForgedSnapshot& f) { f.set<int32_t>(ranges + 14 * kRange + 36, -6); },
         prefix + "range l3)"},
        {"member 2 scores better than it does", [&](ForgedSnapshot& f) { f.set<double>(population + kMember, 1e-9); },
         prefix + "population member 2 has goodness 1e-09, its set scores " + goodnessText(second) + ")"},
        {"members out of rank order",
         [&](ForgedSnapshot& f) {
             const std::string first = f.bytes().substr(population, kMember);
             std::string swapped = f.bytes();
             swapped.replace(population, kMember, swapped, population + kMember, kMember);
             swapped.replace(population + kMember, kMember, first);
             f = ForgedSnapshot(swapped);
             f.reseal();
         },
         prefix + "population)"},
        {"member mask beyond 15 bits", [&](ForgedSnapshot& f) { f.set<int32_t>(population + kMember - 4, 1 << 15); },
         prefix + "population)"},
        {"best goodness not the first member's", [&](ForgedSnapshot& f) { f.set<double>(counters + 40, 1e-9); },
         prefix + "best goodness 1e-09, the best member scores " +
             goodnessText(good.get<double>(population)) + ")"},
        {"worker phase 2", [&](ForgedSnapshot& f) { f.set<uint8_t>(good.body("workers") + 4, 2); },
         prefix + "workers)"},
        {"library count other than libCnt",
         [&](ForgedSnapshot& f) { f.set<int64_t>(counters + 24, f.get<int64_t>(counters + 24) - 1); },
         prefix + "library)"},
        // Lower bounds and consistency.
        {"generation raised past what was tested", [&](ForgedSnapshot& f) { f.set<int32_t>(counters, kGeneration + 40); },
         prefix + "tested)"},
        {"rejects at the end of its type",
         [&](ForgedSnapshot& f) { f.set<int64_t>(counters + 32, std::numeric_limits<int64_t>::max()); },
         prefix + "rejects)"},
        {"libCnt below the start population", [&](ForgedSnapshot& f) { f.set<int64_t>(counters + 24, 4); },
         prefix + "libCnt)"},
        {"ended mid-run", [](ForgedSnapshot& f) { f.set<uint32_t>(12, 1); }, prefix + "ended before its end)"},
        // 60 generations adapt the ranges 5 times, each lowering one low
        // end at most: 0, -1, -2, ... -16 (the run's r3 is its table's).
        {"r0 lowered five times", lowerR0(-16), ""},
        {"r0 lowered six times", lowerR0(-32), prefix + "range r0)"},
        {"r0 narrowed", lowerR0(0.5), prefix + "range r0)"},

        {"random state all zero",
         [&](ForgedSnapshot& f) {
             for (int i = 0; i < kRandomStateWords; ++i) f.set<uint64_t>(good.body("random") + 4 + 8 * i, 0);
         },
         prefix + "random state)"},
        {"a later program's section", [](ForgedSnapshot& f) { f.insertSection("library", "future", "abc"); }, ""},
        {"without a setting at its default", [](ForgedSnapshot& f) { f.eraseSetting("logcsv"); }, ""},
        {"without a setting the run sets", [](ForgedSnapshot& f) { f.eraseSetting("ordered"); },
         "it was made by a program without setting ordered, which this run sets to 1",
         [] { S[kOrdered].value.i = 1; }},
    };
    CliRun scratch;
    const std::string path = (scratch.dir() / "state.bin").string();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ForgedSnapshot forged = good;
        c.forge(forged);
        scratch.write("state.bin", forged.bytes());
        c.runSetting();
        SavedSearch saved;
        std::string cause;
        EXPECT_EQ(readSnapshot(path.c_str(), inputs, saved, cause), c.cause.empty());
        EXPECT_EQ(cause, c.cause);
        S[kOrdered].value.i = 0;
    }
    clearLibrary();
    resetTables();
}

// Range adaptation moves an end only as it does, once per adaptation:
// none without rangeexpand, one every raiselower generations after the
// first with it.
TEST(SnapshotFormat, RangesMoveOnlyAsAdaptationMovesThem) {
    const struct {
        const char* name;
        int rangeexpand;
        int32_t generation;
        double low, high;  // of r0, from 0 and 1
        bool taken;
    } cases[] = {
        {"unmoved", 0, 60, 0, 1, true},
        {"lowered without rangeexpand", 0, 60, -1, 1, false},
        {"raised without rangeexpand", 0, 60, 0, 2, false},
        {"lowered once", 1, 11, -1, 1, true},
        {"lowered before the first adaptation", 1, 10, -1, 1, false},
        {"lowered and raised", 1, 11, -1, 2, true},
        {"lowered twice in one adaptation", 1, 11, -2, 1, false},
        {"lowered four times", 1, 41, -8, 1, true},
        {"narrowed", 1, 60, 0.5, 1, false},
        {"raised off the doubling", 1, 60, 0, 3, false},
        {"lowered to minus the raised high end", 1, 21, -2, 2, true},
        {"lowered to minus the high end, then doubled", 1, 21, -2, 1, true},
        {"lowered past minus the high end at once", 1, 21, -4, 1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        readRangesText(allRanges() + "rangeexpand " + std::to_string(c.rangeexpand) + "\n");
        snapshot::Contents contents;
        contents.generation = c.generation;
        contents.run.ranges = R;
        contents.run.ranges[0].low = c.low;
        contents.run.ranges[0].high = c.high;
        std::string cause;
        EXPECT_EQ(snapshot::checkRangeMoves(contents, R, cause), c.taken);
        EXPECT_EQ(cause, c.taken ? "" : "it is corrupted (range r0)");
    }
    resetTables();
}

// Whatever range adaptation makes of the table, the check takes, for the
// generations that make as many adaptations and not for fewer: both move the
// ends by the same rule.
TEST(SnapshotFormat, RangesAdaptationMovedAreTaken) {
    readRangesText(allRanges() + "rangeexpand 1\nraiselower 10\n");
    const RangeTable given = R;
    ResultRecord best{};
    testing::internal::CaptureStdout();
    for (int adaptation = 1; adaptation <= 6; ++adaptation) {
        // Pressing against the low end of r3 and the high end of w1.
        for (int k = 0; k < kCoefficientCount; ++k) best.coefficients[k] = (R[k].low + R[k].high) / 2;
        best.coefficients[3] = R[3].low;
        best.coefficients[5] = R[5].high;
        fixOneRange(&best);
        snapshot::Contents contents;
        contents.run.ranges = R;
        std::string cause;
        contents.generation = 1 + 10 * adaptation;
        EXPECT_TRUE(snapshot::checkRangeMoves(contents, given, cause)) << adaptation << ": " << cause;
        contents.generation = 10 * adaptation;
        EXPECT_FALSE(snapshot::checkRangeMoves(contents, given, cause)) << adaptation;
    }
    const std::string moves = testing::internal::GetCapturedStdout();
    EXPECT_NE(moves.find("Lowered r3 from -8, 1 to  -16, 1"), std::string::npos) << moves;
    EXPECT_NE(moves.find("Raised w1 from 0, 16 to  0, 32"), std::string::npos) << moves;
    resetTables();
}

// A run ends at maxgenerations, at the stall limit or at once when it has
// no generation to make, and goes on otherwise.
TEST(SnapshotFormat, EndedFlagAgreesWithTheStopSettings) {
    const struct {
        const char* name;
        int maxgenerations, quitat;
        int32_t generation, lastgen;
        bool ended, taken;
    } cases[] = {
        {"at maxgenerations", 100, 20, 100, 99, true, true},
        {"at the stall limit", 100, 20, 60, 10, true, true},
        {"ended mid-run", 100, 20, 60, 50, true, false},
        {"ended mid-run without a stall limit", 100, -1, 60, 0, true, false},
        {"went on past the stall limit", 100, 20, 60, 10, false, false},
        {"mid-run", 100, 20, 60, 50, false, true},
        {"no generation to make", 0, -1, 0, 0, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        readRangesText(allRanges() + "maxgenerations " + std::to_string(c.maxgenerations) + "\nquitat " +
                       std::to_string(c.quitat) + "\n");
        snapshot::Contents contents;
        contents.generation = c.generation;
        contents.ended = c.ended;
        contents.run.counters.lastgen = c.lastgen;
        std::string cause;
        EXPECT_EQ(snapshot::checkEndedFlag(contents, S[kMaxGenerations].value.i, cause), c.taken) << cause;
    }
    resetTables();
}

// A refusal advises only values a run can be given: no maxgenerations above
// the largest 32-bit integer, no setting value outside what it accepts.
TEST(SnapshotFormat, RefusalsAdviseOnlyValuesThatCanBeGiven) {
    readRangesText(allRanges() + "maxgenerations 100\n");
    snapshot::Contents contents;
    contents.settings.push_back({"maxgenerations", symInt, 50});
    const std::string differs = "it was made with maxgenerations 50, this run has 100";
    const struct {
        int32_t generation;
        bool ended;
        std::string cause;
    } cases[] = {
        {120, false,
         differs + ", and it stands at generation 120 already: give maxgenerations above 120 to continue it"},
        {INT_MAX, false,
         differs + ", and it stands at generation 2147483647 already: it cannot be continued, as no maxgenerations "
                   "above 2147483647 can be given"},
        {INT_MAX, true,
         differs + "; its run ended at generation 2147483647: set maxgenerations back to 50 to see its final "
                   "report; it cannot be continued, as no maxgenerations above 2147483647 can be given"},
    };
    for (const auto& c : cases) {
        contents.generation = c.generation;
        contents.ended = c.ended;
        std::string cause;
        EXPECT_FALSE(snapshot::checkContinuation(contents, cause));
        EXPECT_EQ(cause, c.cause);
    }
    // A stored worker count beyond what the setting accepts.
    const SnapshotInputs inputs = testInputs();
    snapshot::Contents forged;
    forged.settings.push_back({"processes", symInt, 5000});
    std::string cause;
    EXPECT_FALSE(snapshot::checkSettings(forged, inputs, cause));
    EXPECT_EQ(cause, "it was made with processes 5000, this run has 1: processes cannot be given 5000, so it cannot "
                     "be resumed: remove resume to start afresh");
    forged.settings[0].bits = 2;
    EXPECT_FALSE(snapshot::checkSettings(forged, inputs, cause));
    EXPECT_EQ(cause, "it was made with processes 2, this run has 1: set processes back to 2 to resume it, or remove it "
                     "to start afresh");
    resetTables();
}

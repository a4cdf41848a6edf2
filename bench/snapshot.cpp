// Snapshot cost against the duplicate library's size (10^4, 10^5 and 10^6
// sets): taking the run's state and encoding it (the search's own share, as
// the file is written on a thread of its own), the whole durable write,
// reading and checking (streamed, every member scored again), and restoring
// into an empty library; each beside a plain reference in the
// same run: the same bytes written durably (write, fsync, rename, directory
// fsync) or read back with nothing else done. The last two write the 20
// snapshots of the quick-start fit (200 generations, stateevery 10) at the
// library sizes it has then: all waited for, and as the run writes them.
//
// Files go to a scratch directory in the current directory, so the figures
// are those of the disk the program would write its snapshots to.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "bench_support.h"
#include "coils/equation.h"
#include "coils/records.h"
#include "coils/storage.h"
#include "search/library.h"
#include "search/random.h"
#include "search/schedule.h"
#include "search/searchstate.h"
#include "search/sort.h"
#include "settings/symtab.h"
#include "engine/resume.h"
#include "state/snapshot.h"
#include "common/backgroundwrite.h"
#include "transport/process.h"

namespace {

// The range table as the ranges file of the run would give it.
RangeTable givenRanges{};

uint64_t splitMix(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// Set n: 15 coefficients between -1 and 1, a function of n.
void makeSet(uint64_t n, ResultRecord* record) {
    uint64_t state = n * kCoefficientCount;
    for (double& c : record->coefficients) c = static_cast<double>(splitMix(state) >> 11) * 0x1p-52 - 1.0;
    record->changeMask = static_cast<int32_t>(n % 32768);
}

std::string scratchDir() {
    static const std::string dir = [] {
        std::string pattern = "./.bench-snapshot-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) std::abort();
        return pattern;
    }();
    // Registered once `dir` is complete, so it runs before `dir` is destroyed.
    static const bool removedAtExit = std::atexit([] { std::filesystem::remove_all(scratchDir()); }) == 0;
    (void)removedAtExit;
    return dir;
}

std::string statePath() { return scratchDir() + "/state.bin"; }

// Empties the library through its own interface.
void clearLibrary() {
    initLibrary();
    libCnt = 0;
}

// A run's state with a library of `sets` sets (grown or rebuilt as needed).
void prepareState(int64_t sets) {
    static bool tables = false;
    if (!tables) {
        tables = true;
        for (RangeEntry& range : R) {
            range.low = -1;
            range.high = 1;
            range.resolution = 0.01;
            range.minorInc = 0.001;
            range.mcount = 6;
        }
        computeInc();
        givenRanges = R;  // the table as a ranges file would give it
        init_genrand64(1);
        for (int i = 0; i < 5; ++i) {
            ResultRecord* member = newResult();
            makeSet(~static_cast<uint64_t>(i), member);
            evalInductors(exampleCoils(), member);
            collected = sortgen(collected, member);
        }
        bestGoodness = collected->goodness;
    }
    if (libCnt > sets) clearLibrary();
    ResultRecord* set = newResult();
    for (uint64_t n = static_cast<uint64_t>(libCnt); libCnt < sets; ++n) {
        makeSet(n, set);
        doneAlready(set);
    }
    freeResult(set);
}

SnapshotInputs inputs() {
    SnapshotInputs in{"coils.txt", "ranges.txt", 1, 2};
    in.coils = exampleCoils();
    in.startRanges = givenRanges;
    in.workers = workerCount();
    in.candidatesPerGeneration = candidatesPerGeneration(S[kSave].value.i, S[kTries].value.i);
    in.minCandidatesPerGeneration = fewestCandidatesPerGeneration(S[kSave].value.i, S[kTries].value.i);
    return in;
}

// A run's harvest after `generation` generations: every candidate handed
// out and harvested, as the snapshot's checks require of it.
void harvestedThrough(int generation) {
    tested = lastTested = static_cast<uint64_t>(generation) * static_cast<uint64_t>(inputs().candidatesPerGeneration);
    lastgen = generation - 1;
}

// The run's state encoded, as a snapshot of `generation` (late
// enough for the library's size) into the buffer of the write before.
std::vector<uint8_t> encodeRun(int generation, bool ended) {
    std::vector<uint8_t> bytes = reusableWriteBuffer();
    harvestedThrough(generation);
    encodeSnapshot(generation, ended, inputs(), bytes);
    return bytes;
}
constexpr int kLateGeneration = 20000;

void writeDurably(const std::vector<uint8_t>& bytes) {
    std::vector<uint8_t> copy = bytes;
    if (!beginBackgroundWrite(statePath(), std::move(copy)) || !endBackgroundWrite()) std::abort();
}

void setBytes(benchmark::State& state, size_t bytes) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
    state.counters["file_MB"] = static_cast<double>(bytes) / 1e6;
}

// Encoding alone, into the buffer the write before gave back, as in a run.
void BM_Encode(benchmark::State& state) {
    prepareState(state.range(0));
    size_t bytes = 0;
    for (auto _ : state) {
        std::vector<uint8_t> encoded = encodeRun(kLateGeneration, false);
        bytes = encoded.size();
        state.PauseTiming();
        if (!beginBackgroundWrite(statePath(), std::move(encoded)) || !endBackgroundWrite()) std::abort();
        state.ResumeTiming();
    }
    setBytes(state, bytes);
}

void BM_WriteSnapshot(benchmark::State& state) {
    prepareState(state.range(0));
    size_t bytes = 0;
    for (auto _ : state) {
        std::vector<uint8_t> encoded = encodeRun(kLateGeneration, false);
        bytes = encoded.size();
        if (!beginBackgroundWrite(statePath(), std::move(encoded)) || !endBackgroundWrite()) std::abort();
    }
    setBytes(state, bytes);
}

// Reference: the same number of bytes, written durably with nothing else.
void BM_PlainDurableWrite(benchmark::State& state) {
    prepareState(state.range(0));
    const std::vector<uint8_t> bytes(encodeRun(kLateGeneration, false).size(), 0x5A);
    const std::string temp = scratchDir() + "/plain.tmp";
    const std::string target = scratchDir() + "/plain.bin";
    for (auto _ : state) {
        const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) || fsync(fd) != 0)
            std::abort();
        close(fd);
        if (std::rename(temp.c_str(), target.c_str()) != 0) std::abort();
        const int dir = open(scratchDir().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        fsync(dir);
        close(dir);
    }
    setBytes(state, bytes.size());
}

// Reading and checking into a state apart from the run, then putting it in
// place, which stores the library's sets into an empty table (the clearing
// of the 2^25-slot table is not timed): what a resumed run does.
void BM_ReadSnapshot(benchmark::State& state) {
    prepareState(state.range(0));
    writeDurably(encodeRun(kLateGeneration, false));
    size_t bytes = 0;
    const SnapshotInputs in = inputs();
    for (auto _ : state) {
        state.PauseTiming();
        clearLibrary();
        state.ResumeTiming();
        SavedSearch saved;
        std::string cause;
        if (!readSnapshot(statePath().c_str(), in, saved, cause)) {
            std::fprintf(stderr, "%s\n", cause.c_str());
            std::abort();
        }
        restoreSnapshot(std::move(saved));
        bytes = std::filesystem::file_size(statePath());
    }
    setBytes(state, bytes);
    // Leaves the library as it was for the next benchmark.
    clearLibrary();
}

// Reference: the same file read into memory with nothing else.
void BM_PlainRead(benchmark::State& state) {
    prepareState(state.range(0));
    writeDurably(encodeRun(kLateGeneration, false));
    size_t bytes = 0;
    for (auto _ : state) {
        std::vector<uint8_t> data(std::filesystem::file_size(statePath()));
        const int fd = open(statePath().c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || read(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size())) std::abort();
        close(fd);
        bytes = data.size();
        benchmark::DoNotOptimize(data.data());
    }
    setBytes(state, bytes);
}

// The quick-start fit's 20 snapshots: 5 start sets and 70 a generation, a
// snapshot every 10 generations, the last at the end of the run.

// Each written and waited for, one after the other.
void BM_QuickStartSeriesWaited(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        clearLibrary();
        state.ResumeTiming();
        for (int generation = 10; generation <= 200; generation += 10) {
            state.PauseTiming();
            prepareState(5 + 70 * generation);
            state.ResumeTiming();
            writeDurably(encodeRun(generation, generation == 200));
        }
    }
    clearLibrary();
}

// What the search waits for in the run: encoding and starting each write,
// whose disk work then overlaps the next ten generations (here: waited for
// untimed), and the whole of the last one.
void BM_QuickStartSeriesInRun(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        clearLibrary();
        state.ResumeTiming();
        for (int generation = 10; generation <= 200; generation += 10) {
            state.PauseTiming();
            prepareState(5 + 70 * generation);
            if (!endBackgroundWrite()) std::abort();
            state.ResumeTiming();
            const bool last = generation == 200;
            if (!beginBackgroundWrite(statePath(), encodeRun(generation, last))) std::abort();
            if (last && !endBackgroundWrite()) std::abort();
        }
    }
    clearLibrary();
}

constexpr int64_t kSizes[] = {10000, 100000, 1000000};

void sizes(benchmark::internal::Benchmark* b) {
    for (int64_t n : kSizes) b->Arg(n);
    b->Unit(benchmark::kMillisecond)->UseRealTime();
}

}  // namespace

BENCHMARK(BM_Encode)->Apply(sizes);
BENCHMARK(BM_WriteSnapshot)->Apply(sizes);
BENCHMARK(BM_PlainDurableWrite)->Apply(sizes);
BENCHMARK(BM_ReadSnapshot)->Apply(sizes)->Iterations(3);
BENCHMARK(BM_PlainRead)->Apply(sizes);
BENCHMARK(BM_QuickStartSeriesWaited)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_QuickStartSeriesInRun)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

BENCHMARK_MAIN();

// Lookups per second in the duplicate library as it fills with candidates
// whose coefficients all lie between -1 and 1, with one change mask, against
// two references of the same probing and equality: the table as it was
// before it grew with its content (allocated at its full 2^25 slots, the
// same hash), and a plain table whose home slot is the mask XOR the integer
// parts of the coefficients, the rule that puts all such candidates on one
// probe chain. Every lookup finds a stored candidate, picked at random among
// all stored ones; the set of lookups is the same size at every fill, so
// what changes is the table, not the working set of the loop. Fill times
// the storing of new candidates into an empty library, its growth included.
#include <benchmark/benchmark.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "coils/records.h"
#include "coils/storage.h"
#include "search/library.h"
#include "testhooks.h"

namespace {

constexpr int32_t kMask = 15;
constexpr uint64_t kSlotMask = kLibrarySlots - 1;
constexpr int kSampleSize = 8192;

uint64_t splitMix(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// Candidate n: 15 coefficients strictly between -1 and 1, a function of n.
void makeCandidate(uint64_t n, ResultRecord* record) {
    uint64_t state = n * kCoefficientCount;
    for (double& c : record->coefficients)
        c = (static_cast<double>(splitMix(state) >> 11) + 0.5) * 0x1p-52 - 1.0;
    record->changeMask = kMask;
}

// A full-size table probed from `slot` as the library probes.
bool lookUpAt(const ResultRecord** table, uint64_t slot, const ResultRecord* candidate) {
    for (uint64_t step = 1; step < kLibrarySlots; ++step) {
        const ResultRecord* held = table[slot];
        if (held == nullptr) {
            table[slot] = cloneResult(candidate);
            return false;
        }
        if (held->changeMask == candidate->changeMask && held->coefficients == candidate->coefficients) return true;
        slot = (slot + step) & kSlotMask;
    }
    return true;
}

// The library's table as it was: all 2^25 slots from the start, aligned to
// and offered for huge pages.
alignas(2 * 1024 * 1024) const ResultRecord* fullTable[kLibrarySlots];

bool fullDoneAlready(const ResultRecord* candidate) {
    return lookUpAt(fullTable, libraryHash(candidate) & kSlotMask, candidate);
}

const ResultRecord* plainTable[kLibrarySlots];

bool plainDoneAlready(const ResultRecord* candidate) {
    uint64_t h = static_cast<uint32_t>(candidate->changeMask);
    for (double c : candidate->coefficients) h ^= static_cast<uint64_t>(static_cast<int64_t>(c));
    return lookUpAt(plainTable, h & kSlotMask, candidate);
}

// Grows a table to `count` candidates; sizes are measured in rising order.
void fillTo(int64_t count, int64_t& stored, bool (*lookup)(const ResultRecord*)) {
    ResultRecord candidate{};
    for (; stored < count; ++stored) {
        makeCandidate(stored, &candidate);
        lookup(&candidate);
    }
}

std::vector<ResultRecord> sampleOf(int64_t count) {
    std::vector<ResultRecord> sample(kSampleSize);
    uint64_t state = 12345;
    for (ResultRecord& record : sample) makeCandidate(splitMix(state) % count, &record);
    return sample;
}

void runLookups(benchmark::State& state, bool (*lookup)(const ResultRecord*)) {
    const std::vector<ResultRecord> sample = sampleOf(state.range(0));
    size_t next = 0;
    int64_t misses = 0;
    for (auto _ : state) {
        if (!lookup(&sample[next])) ++misses;
        if (++next == sample.size()) next = 0;
    }
    state.SetItemsProcessed(state.iterations());
    if (misses != 0) state.SkipWithError("a stored candidate was not found");
}

void MixedSlot(benchmark::State& state) {
    static int64_t stored = 0;
    if (stored == 0) initLibrary();
    fillTo(state.range(0), stored, doneAlready);
    runLookups(state, doneAlready);
    state.counters["table_MiB"] = static_cast<double>(libraryTableBytes()) / (1 << 20);
}

void FullSizeTable(benchmark::State& state) {
    static int64_t stored = 0;
    if (stored == 0) madvise(fullTable, sizeof fullTable, MADV_HUGEPAGE);
    fillTo(state.range(0), stored, fullDoneAlready);
    runLookups(state, fullDoneAlready);
    state.counters["table_MiB"] = static_cast<double>(sizeof fullTable) / (1 << 20);
}

void IntegerPartSlot(benchmark::State& state) {
    static int64_t stored = 0;
    fillTo(state.range(0), stored, plainDoneAlready);
    runLookups(state, plainDoneAlready);
}

// Storing `count` new candidates into an empty library, growth included.
void Fill(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        for (const ResultRecord* entry : libraryEntries()) freeResult(const_cast<ResultRecord*>(entry));
        initLibrary();
        state.ResumeTiming();
        int64_t stored = 0;
        fillTo(state.range(0), stored, doneAlready);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// The same into the full-size table, cleared beforehand.
void FillFullSize(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        for (const ResultRecord*& slot : fullTable)
            if (slot != nullptr) freeResult(const_cast<ResultRecord*>(slot));
        std::fill(std::begin(fullTable), std::end(fullTable), nullptr);
        state.ResumeTiming();
        int64_t stored = 0;
        fillTo(state.range(0), stored, fullDoneAlready);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

}  // namespace

BENCHMARK(MixedSlot)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kNanosecond);
BENCHMARK(FullSizeTable)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kNanosecond);
// Filling the plain table costs n^2/2 probes, so it stops at 3 * 10^4.
BENCHMARK(IntegerPartSlot)->Arg(1000)->Arg(10000)->Arg(30000)->Unit(benchmark::kMicrosecond);
BENCHMARK(Fill)->Arg(10000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(FillFullSize)->Arg(10000)->Arg(1000000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();

// The snapshot file's building blocks, shared by the writer and the readers
// of both versions: the fields of the run state, each declared once for
// writing and reading alike (common/bytecodec.h), and the checks of what
// was read.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "coils/storage.h"
#include "common/bytecodec.h"
#include "common/fatal.h"
#include "search/library.h"
#include "search/random.h"
#include "search/rules.h"
#include "search/searchstate.h"
#include "search/sort.h"
#include "settings/settingaccess.h"
#include "settings/symtab.h"
#include "state/savedsearch.h"
#include "state/snapshot_inputs.h"

namespace snapshot {

using codec::Decoder;
using codec::Encoder;
using codec::SpanReader;
using codec::SpanWriter;

inline constexpr char kMagic[8] = {'Q', 'L', 'M', 'S', 'T', 'A', 'T', 'E'};
inline constexpr size_t kHeaderSize = 24;  // magic, version, flags, length
inline constexpr size_t kChecksumSize = 4;
inline constexpr uint32_t kEndedFlag = 1;
inline constexpr size_t kRecordSize = 8 + 8 * kCoefficientCount + 4;   // goodness, coefficients, mask
inline constexpr size_t kJobSize = 4 + kRecordSize;                    // slot, record
inline constexpr size_t kLibraryEntrySize = 4 + 8 * kCoefficientCount;  // mask, coefficients
inline constexpr size_t kSettingSize = 1 + 1 + 8;  // name length, type, value; the name comes on top
// The duplicate library ends a run when it is full, so no snapshot holds
// more sets; nor does any program have this many settings.
inline constexpr uint64_t kMaxLibrarySets = kLibrarySlots;
inline constexpr uint32_t kMaxSettings = 4096;

// The fields of a snapshot. Each is written from the part of the run that
// owns it: the search's counters (SearchCounters), the population
// (collected), the random source (randomSource), the range table R, the
// duplicate library and the worker slots (workerSlots). They are read back
// into a fresh SavedSearch in Contents, never into the run. What no part of
// the run owns lives in Contents too: the input digests, the settings, the
// ended flag, and the generations complete (gen lags behind at the end of a
// run; the saved counters take the value once a snapshot is read).

// A setting as a snapshot stores it.
struct StoredSetting {
    std::string name;
    uint8_t type = 0;
    uint64_t bits = 0;
};

struct Contents {
    uint64_t coilDigest = 0;
    uint64_t rangesDigest = 0;
    std::vector<StoredSetting> settings;
    bool ended = false;      // the run ended here
    int32_t generation = 0;  // generations complete
    uint32_t workers = 0;    // worker phases read
    // Read back: the first library entry with a change mask no operator
    // gives, and the first that repeats an earlier one (-1: none).
    int64_t badLibraryEntry = -1;
    int64_t repeatedLibraryEntry = -1;
    // What is read, apart from the run.
    SavedSearch run;
};

// Where a field goes: written from the live run, read into the fresh state.
template <typename Io>
SearchCounters& countersOf(Contents& c) {
    if constexpr (Io::writing) return searchCounters;
    else return c.run.counters;
}
template <typename Io>
RandomState& randomOf(Contents& c) {
    if constexpr (Io::writing) return randomSource;
    else return c.run.random;
}
template <typename Io>
std::array<RangeEntry, kCoefficientCount>& rangesOf(Contents& c) {
    if constexpr (Io::writing) return R;
    else return c.run.ranges;
}
template <typename Io>
std::array<uint8_t, kMaxWorkers>& phasesOf(Contents& c) {
    if constexpr (Io::writing) return workerSlots.phases;
    else return c.run.phases;
}

// -1 for a random start set, otherwise one bit per coefficient an operator
// changed.
inline bool validMask(int32_t mask) { return mask == -1 || (mask >= 0 && mask < (1 << kCoefficientCount)); }

template <typename Io, typename Record>
void recordFields(Io& io, Record& r) {
    io.f64(r.goodness);
    for (auto& c : r.coefficients) io.f64(c);
    io.i32(r.changeMask);
}

template <typename Io>
void counterFields(Io& io, Contents& c) {
    SearchCounters& s = countersOf<Io>(c);
    io.i32(c.generation);
    io.i32(s.lastgen);
    io.u64(s.tested);
    io.u64(s.lastTested);
    io.i64(s.libCnt);
    io.i64(s.rejects);
    io.f64(s.bestGoodness);
    io.f64(s.accumSeconds);
    io.u32(s.accumCnt);
    io.flag(s.goodDirUp);
}

template <typename Io>
void randomFields(Io& io, Contents& c) {
    RandomState& random = randomOf<Io>(c);
    io.i32(random.index);
    for (auto& word : random.words) io.u64(word);
}

// A range table's numbers; its names stay.
template <typename Io, typename Table>
void rangeFields(Io& io, Table& table) {
    for (auto& range : table) {
        io.f64(range.low);
        io.f64(range.high);
        io.f64(range.resolution);
        io.i32(range.steps);
        io.f64(range.minorInc);
        io.i32(range.mcount);
    }
}

// The range table R, read back into the saved one.
template <typename Io>
void savedRangeFields(Io& io, Contents& c) {
    rangeFields(io, rangesOf<Io>(c));
}

// The members of `collected` in rank order, read back into the saved
// population. `limit`: the most members the run keeps.
template <typename Io>
void populationFields(Io& io, Contents& c, uint64_t limit) {
    uint32_t count = 0;
    if constexpr (Io::writing) {
        for (const ResultRecord* m = collected; m != nullptr; m = m->next) ++count;
        io.u32(count);
        io.room(count * kRecordSize);
        for (ResultRecord* m = collected; m != nullptr; m = m->next) recordFields(io, *m);
    } else {
        io.u32(count);
        if (!io.fits(count, kRecordSize, limit)) return;
        c.run.population.assign(count, ResultRecord{});
        for (ResultRecord& member : c.run.population) recordFields(io, member);
    }
}

// Each worker slot's phase. `limit`: the run's worker slots.
template <typename Io>
void workerFields(Io& io, Contents& c, uint64_t limit) {
    c.workers = static_cast<uint32_t>(limit);
    io.u32(c.workers);
    if (!io.fits(c.workers, 1, limit)) return;
    auto& phases = phasesOf<Io>(c);
    for (uint32_t slot = 0; slot < c.workers; ++slot) io.u8(phases[slot]);
}

// The jobs out, in hand-over order, read back into the saved list.
template <typename Io>
void jobFields(Io& io, Contents& c, uint64_t limit) {
    if constexpr (Io::writing) {
        auto& jobs = workerSlots.outstanding;
        io.u32(static_cast<uint32_t>(jobs.size()));
        for (OutJob& job : jobs) {
            io.i32(job.slot);
            recordFields(io, *job.candidate);
        }
    } else {
        uint32_t count = 0;
        io.u32(count);
        if (!io.fits(count, kJobSize, limit)) return;
        c.run.jobs.assign(count, SavedSearch::Job{});
        for (SavedSearch::Job& job : c.run.jobs) {
            io.i32(job.slot);
            recordFields(io, job.candidate);
        }
    }
}

template <typename Io, typename Record>
void libraryEntryFields(Io& io, Record& r) {
    io.i32(r.changeMask);
    for (auto& c : r.coefficients) io.f64(c);
}

// A u64 count and the entries in the order they were stored. Read back, the
// count must be the saved libCnt, read before it; stored again in this order
// into an empty library, the entries land in the slots they held.
void writeLibrary(Encoder& e);
void readLibrary(Decoder& d, Contents& c);

template <typename Io, typename C>
void inputFields(Io& io, C& c) {
    io.u64(c.coilDigest);
    io.u64(c.rangesDigest);
}

// A u32 count and the settings.
template <typename Io, typename C>
void settingFields(Io& io, C& c) {
    uint32_t count = static_cast<uint32_t>(c.settings.size());
    io.u32(count);
    if (!io.fits(count, kSettingSize + 1, kMaxSettings)) return;
    c.settings.resize(count);
    for (auto& setting : c.settings) {
        io.name(setting.name);
        io.u8(setting.type);
        io.u64(setting.bits);
    }
}

// The most members a population of this run holds.
inline uint64_t runPopulationLimit() { return static_cast<uint64_t>(populationLimit(intSetting<kSave>())); }

// The checks of what was read against the run, each false with the cause.
// They come in file order: the coil file; the settings, then the ranges
// file; the counters; the random state; the range table; the population
// (every member scored again); the worker phases; the jobs out; the library.
// The counters' and the ranges' have files of their own
// (snapshot_counters, snapshot_ranges).
using Check = bool (*)(const Contents& contents, const SnapshotInputs& inputs, std::string& cause);
bool checkCoilFile(const Contents& contents, const SnapshotInputs& inputs, std::string& cause);
bool checkSettings(const Contents& contents, const SnapshotInputs& inputs, std::string& cause);
bool checkCounters(const Contents& contents, const SnapshotInputs& inputs, std::string& cause);
bool checkRandom(const Contents& contents, const SnapshotInputs& inputs, std::string& cause);
bool checkRanges(const Contents& contents, const SnapshotInputs& inputs, std::string& cause);
bool checkPopulation(const Contents& contents, const SnapshotInputs& inputs, std::string& cause);
bool checkWorkers(const Contents& contents, const SnapshotInputs& inputs, std::string& cause);
bool checkJobs(const Contents& contents, const SnapshotInputs& inputs, std::string& cause);
bool checkLibrary(const Contents& contents, const SnapshotInputs& inputs, std::string& cause);
// Parts of the checks above. Whether the snapshot's run can go on under
// this run's maxgenerations; the maxgenerations it was made with (a version
// 1 snapshot: this run's); whether its ended flag agrees with the stop
// settings; whether it handed out at least the jobs its generations must
// have (known once the jobs are read); whether its ranges moved only as
// range adaptation moves them.
bool checkContinuation(const Contents& contents, std::string& cause);
int64_t madeWithMaxGenerations(const Contents& contents);
bool checkEndedFlag(const Contents& contents, int64_t maxgenerations, std::string& cause);
bool checkHandedOut(const Contents& contents, const SnapshotInputs& inputs, std::string& cause);
bool checkRangeMoves(const Contents& contents, const RangeTable& startRanges, std::string& cause);

// A setting's value as a snapshot stores it (0 for text).
uint64_t settingBits(const SymbolEntry& entry);
// The base formula a run corrects, as its snapshot stores the text setting
// `base`: the formula's number (0 none, 1 wheeler, 2 sheet, 3 sheetrosa).
uint64_t baseSettingBits(const char* name);
// The settings S as a snapshot stores them.
std::vector<StoredSetting> storedSettings();
inline bool sameBits(double a, double b) { return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b); }

// "it is corrupted (what)"
std::string corrupted(const std::string& what);
// The cause for a decoder that failed: the read error, or `what` corrupted.
std::string failureCause(const Decoder& d, const std::string& what);

// Reads the u32 that follows, up to `end`, which must be the CRC-32C of the
// bytes read since the decoder's last restartCrc() (or its start); false
// with the cause otherwise, `what` naming the part when the file fails.
bool checksumMatches(Decoder& d, uint64_t end, const std::string& what, std::string& cause);

// Reads the rest of a version 1 snapshot of `length` bytes, its header
// read (the decoder stands after it) and its length checked against the
// file's, and checks it.
bool readVersion1(Decoder& d, uint64_t length, const SnapshotInputs& inputs, Contents& contents, std::string& cause);

}  // namespace snapshot

// Snapshots: the whole state of a run at the end of a generation, in a
// versioned little-endian binary file guarded by a CRC-32C, from which a run
// continues exactly as it would have gone on.
//
// Layout, version 1 (integers little-endian, doubles as their IEEE bits):
//   magic "QLMSTATE"; u32 version; u32 flags (bit 0: the run ended here);
//   u64 file length; u64 coil file digest; u64 ranges file digest;
//   u32 setting count, then per setting u8 type and u64 value (0 for text);
//   i32 generation, i32 lastgen, u64 tested, u64 lastTested, i64 libCnt,
//   i64 rejects, f64 bestGoodness, f64 accumSeconds, u32 accumCnt,
//   u8 goodDir direction; u32 random index and 312 u64 random words;
//   15 ranges (f64 low, f64 high, f64 resolution, i32 steps, f64 minorInc,
//   i32 mcount); u32 count and the population in rank order (f64 goodness,
//   15 f64 coefficients, i32 change mask each); u32 count and one u8 window
//   phase per worker slot; u32 count and the jobs out with workers in
//   hand-over order (u32 slot and a population-style record each); u64 count
//   and the duplicate library in the order it was filled (i32 change mask and
//   15 f64 coefficients each); u32 CRC-32C of every byte before it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "coils/records.h"
#include "search/random.h"
#include "settings/symtab.h"

inline constexpr uint32_t kSnapshotVersion = 1;

// The input files a snapshot belongs to: a run resumes only on the same ones.
struct SnapshotInputs {
    std::string coilPath;
    std::string rangesPath;
    uint64_t coilDigest = 0;
    uint64_t rangesDigest = 0;
};

// 64-bit FNV-1a of `size` bytes.
uint64_t digestBytes(const void* data, size_t size);
// The digest of a ranges file's text with every line that sets `resume`
// left out (lines as the ranges file reader sees them), so that adding
// `resume 1` to resume a run leaves it unchanged.
uint64_t rangesDigest(const std::string& text);
// Digests of the files at `path`; false with errno set when unreadable.
bool digestCoilFile(const char* path, uint64_t& digest);
bool digestRangesFile(const char* path, uint64_t& digest);

struct SavedJob {
    int32_t slot;
    ResultRecord candidate;
};

// A snapshot read back and checked.
struct Snapshot {
    bool ended = false;  // written at the end of the run
    int32_t generation = 0;
    int32_t lastgen = 0;
    uint64_t tested = 0;
    uint64_t lastTested = 0;
    int64_t libCnt = 0;
    int64_t rejects = 0;
    double bestGoodness = 0;
    double accumSeconds = 0;
    uint32_t accumCnt = 0;
    bool goodDirUp = false;
    RandomState random{};
    std::array<RangeEntry, kCoefficientCount> ranges{};
    std::vector<ResultRecord> population;
    std::vector<uint8_t> workerPhases;
    std::vector<SavedJob> outstanding;
    // The library entries stay encoded in the file's bytes until applied.
    std::vector<uint8_t> bytes;
    size_t libraryAt = 0;
    uint64_t libraryCount = 0;
};

// The run's state as it stands, `generation` generations complete, encoded.
// `ended`: the run ends here.
std::vector<uint8_t> encodeSnapshot(const SnapshotInputs& inputs, int32_t generation, bool ended);

// Reads the snapshot at `path` and checks it against the program's inputs
// and settings. False with the cause in words ("it is truncated ...") when
// it cannot be used; the file is never changed.
bool readSnapshot(const char* path, const SnapshotInputs& inputs, Snapshot& snapshot, std::string& cause);

// Puts the snapshot's state into the program: counters, random state,
// direction of goodDir, range table, population and duplicate library (on
// an empty library). Worker phases and saved jobs are left to the caller.
// False with the cause when the library entries turn out inconsistent.
bool applySnapshot(Snapshot& snapshot, std::string& cause);

// Writes `bytes` to `path` durably: a temporary file beside it, fsync, a
// rename over the old file and an fsync of the directory, so the file holds
// either the old snapshot or the new one. The writing runs on a thread of
// its own and the caller goes on; a write first waits for the one before it.
// False, with errno set, when the temporary file could not be created.
bool beginSnapshotWrite(const std::string& path, std::vector<uint8_t>&& bytes);
// Waits for the write begun last. True when there was none or it succeeded;
// false with errno set when it failed (the file keeps the older snapshot).
bool endSnapshotWrite();

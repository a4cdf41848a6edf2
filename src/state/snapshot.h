// Snapshots: the whole state of a run at the end of a generation, in a
// versioned little-endian binary file, from which a run continues exactly as
// it would have gone on. The codec writes each part of the state from the
// part of the run that owns it, and reads it back into that part.
//
// Version 2, written now (integers little-endian, doubles as their IEEE bits):
//   header: magic "QLMSTATE"; u32 version; u32 flags (bit 0: the run ended
//   here); u64 file length; u32 CRC-32C of those 24 bytes.
//   Then sections up to the file length, each: u8 name length (1 or more), the
//   name (printable ASCII), u64 body length, the body, u32 CRC-32C of the section's bytes
//   before it. A reader skips, unread, a section whose name it does not
//   know, so a later version may add sections. The sections and their fields
//   are declared once, in snapshot_codec.h and the table in snapshot.cpp:
//     inputs      u64 coil file digest, u64 ranges file digest
//     settings    u32 count; per setting u8 name length, name, u8 type and u64
//                 value (0 for text, but for `base` the formula's number):
//                 a later program with more settings still reads it, taking
//                 the missing ones at their defaults
//     counters    i32 generation, i32 lastgen, u64 tested, u64 lastTested,
//                 i64 libCnt, i64 rejects, f64 bestGoodness, f64 accumSeconds,
//                 u32 accumCnt, u8 goodDir direction
//     random      u32 index and 312 u64 words
//     ranges      15 times f64 low, f64 high, f64 resolution, i32 steps,
//                 f64 minorInc, i32 mcount
//     population  u32 count, the members in rank order (f64 goodness, 15 f64
//                 coefficients, i32 change mask each)
//     workers     u32 count, one u8 window phase per worker slot
//     jobs        u32 count, the jobs out in hand-over order (u32 slot and a
//                 population-style record each)
//     library     u64 count, the duplicate library in the order it was filled
//                 (i32 change mask and 15 f64 coefficients each)
//
// Version 1, still read: the same header without its CRC; u64 coil file
// digest, u64 ranges file digest; u32 setting count (42), then per setting,
// by position, u8 type and u64 value; then the bodies of counters, random,
// ranges, population, workers, jobs and library back to back; u32 CRC-32C of
// every byte before it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "state/snapshot_inputs.h"

inline constexpr uint32_t kSnapshotVersion = 2;

// Encodes the run as it stands, made of `inputs` and the settings S, with
// `generation` generations complete (`ended`: the run ends here), in the
// current version, into `out` (cleared first; its storage is reused).
void encodeSnapshot(int32_t generation, bool ended, const SnapshotInputs& inputs, std::vector<uint8_t>& out);

// Reads the snapshot at `path` (either version) into the run: the counters
// (gen the generation it was made at), the random source, the range table,
// the population, the duplicate library (emptied first) and the worker slots (each
// phase as saved, the jobs that were out in their list). Each part is
// checked as it is read, against the run's inputs and settings and against
// what such a run can have produced, reading no more than the file's own
// counts imply. False with the cause in words ("it is truncated ...") when
// it cannot be used: the run's state is then unusable and the run must end.
// The file is never changed. `ended`: the run ended at this snapshot.
bool readSnapshot(const char* path, const SnapshotInputs& inputs, bool& ended, std::string& cause);

// Snapshots: the whole state of a run at the end of a generation, in a
// versioned little-endian binary file, from which a run continues exactly as
// it would have gone on. The codec writes each part of the state from the
// part of the run that owns it, and reads it back into a SavedSearch apart
// from the run, which takes it only once every check has passed.
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

#include "state/savedsearch.h"
#include "state/snapshot_inputs.h"

inline constexpr uint32_t kSnapshotVersion = 2;

// Encodes the run as it stands, made of `inputs` and the settings S, with
// `generation` generations complete (`ended`: the run ends here), in the
// current version, into `out` (cleared first; its storage is reused).
void encodeSnapshot(int32_t generation, bool ended, const SnapshotInputs& inputs, std::vector<uint8_t>& out);

// Reads the snapshot at `path` (either version) into `into`, a fresh state,
// reading no more than the file's own counts imply, and checks it whole, as
// a constant, before anything of it is used. True when every check passed:
// the snapshot was made from this run's coil file, ranges file and settings,
// and every value in it is one a run of them can reach (counters within what
// its generations can have handed out, ranges moved only as adaptation moves
// them, each member scoring the goodness it claims, a library without
// repeats). That does not prove a run made it (a random state or a set can
// be forged within the bounds), but a run continued from it cannot overflow
// a counter or meet a value the engine does not handle. False with the cause
// in words ("it is truncated ...") otherwise. Either way the live run is not
// touched: a refused snapshot leaves it as it was, and one taken is in place
// only once restoreSnapshot puts it there. The file is never changed.
bool readSnapshot(const char* path, const SnapshotInputs& inputs, SavedSearch& into, std::string& cause);
// Puts a snapshot read whole in place of the run's search state: the
// counters, the random source, the range table R, the population, the worker
// slots (the jobs out as their list) and the duplicate library, rebuilt
// slot for slot. What the run held before goes back to the pool; `saved`
// gives its library up.
void restoreSnapshot(SavedSearch&& saved);

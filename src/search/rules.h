// Rules of the search that the generation driver follows and a snapshot's
// checks hold it to, written once so that the two cannot drift apart: a
// change here changes both what a run does and what a snapshot of it may
// hold.
#pragma once

#include <cstdint>

// Consecutive random draws that the duplicate library already holds before
// the ranges are judged unable to give a new set and the search ends.
inline constexpr int64_t kMaxDuplicateDraws = 1000000;

// Random sets in the start population, beside the start set given by the
// settings, if any.
constexpr int64_t randomStartSets(int64_t save) { return save + 1; }

// The most members a population holds: the start population keeps its random
// sets and the start set until the first harvest cuts it to `save`.
constexpr int64_t populationLimit(int64_t save) { return randomStartSets(save < 0 ? 0 : save) + 1; }

// The stall limit, tested at the end of generation `generation`: more than
// `quitat` generations without a better set since generation `improved` end
// the run (none when quitat is negative).
constexpr bool stalled(int64_t generation, int64_t improved, int64_t quitat) {
    return quitat >= 0 && generation - improved > quitat;
}

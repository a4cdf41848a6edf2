// The checks of a snapshot's range table: the ranges file's table, with only
// the ends that range adaptation can have moved in the generations behind
// it, moved as it moves them.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <string>

#include "state/snapshot_codec.h"

namespace snapshot {

namespace {

// The steps computeInc gives for the range, or -1 where it refuses it.
int64_t stepsOf(const RangeEntry& range) {
    if (!hasValidSteps(range)) return -1;
    return static_cast<int64_t>(static_cast<int32_t>((range.high - range.low) / range.resolution)) + 1;
}

// 2^m == ratio for a whole m >= 0: m; otherwise -1.
int64_t doublings(double ratio) {
    int64_t m = 0;
    for (double at = 1; at < ratio && m < 2100; at *= 2) ++m;
    return std::ldexp(1.0, static_cast<int>(m)) == ratio ? m : -1;
}

// How many moves of range adaptation take a low end from `given` to
// `saved`, at the least; -1 when no number of moves does. A low end only
// goes down: a negative one doubles, a positive one becomes 0, and 0
// becomes minus the high end (`otherGiven` raised `otherMoves` times at the
// most). A high end is the mirror image: called with every value negated.
int64_t endMoves(double given, double saved, double otherGiven, int64_t otherMoves) {
    if (given == saved && std::signbit(given) == std::signbit(saved)) return 0;
    if (!(saved < given)) return -1;
    if (given < 0) {
        const int64_t m = doublings(saved / given);
        return m > 0 ? m : -1;
    }
    const int64_t toZero = given > 0 ? 1 : 0;
    if (saved == 0) return toZero;
    if (saved > 0) return -1;
    // From 0 to minus the other end as it stood then, then doubling.
    if (!(otherGiven > 0)) return toZero + 1;
    const int64_t m = doublings(saved / -otherGiven);
    if (m < 0) return -1;
    return toZero + 1 + std::max<int64_t>(0, m - otherMoves);
}

// The moves of an end that only doubles or goes to 0, as a bound for the
// other end's chain; 0 when it has none of its own.
int64_t ownMoves(double given, double saved) {
    return std::max<int64_t>(0, endMoves(given, saved, 0, 0));
}

}  // namespace

// Range adaptation moves only the ends of a range, and computeInc then
// derives its steps; the resolution and the minor grid stay as the ranges
// file gives them.
bool checkRanges(const Contents& contents, const SnapshotInputs&, std::string& cause) {
    for (int k = 0; k < kCoefficientCount; ++k) {
        const RangeEntry& saved = contents.run.ranges[static_cast<size_t>(k)];
        const RangeEntry& given = startRanges[static_cast<size_t>(k)];
        const bool unmoved = sameBits(saved.low, given.low) && sameBits(saved.high, given.high);
        const bool sameGrid = sameBits(saved.resolution, given.resolution) &&
                              sameBits(saved.minorInc, given.minorInc) && saved.mcount == given.mcount;
        const bool stepsRight = unmoved ? saved.steps == given.steps
                                        : std::isfinite(saved.low) && std::isfinite(saved.high) &&
                                              saved.steps == stepsOf(saved);
        if (sameGrid && stepsRight) continue;
        cause = corrupted(std::string("range ") + kCoefficientNames[static_cast<size_t>(k)]);
        return false;
    }
    return checkRangeMoves(contents, cause);
}

// Without rangeexpand the ranges are those of the ranges file; with it,
// each adaptation (one every raiselower generations after the first)
// lowered at most one low end and raised at most one high end, each move
// one the adaptation makes.
bool checkRangeMoves(const Contents& contents, std::string& cause) {
    const int64_t generation = contents.generation;
    const int64_t raiselower = std::max(S[kRaiseLower].value.i, 1);
    const int64_t adaptations = S[kRangeExpand].value.i == 0 || generation < 1 ? 0 : (generation - 1) / raiselower;
    int64_t lowMoves = 0, highMoves = 0;
    for (int k = 0; k < kCoefficientCount; ++k) {
        const RangeEntry& saved = contents.run.ranges[static_cast<size_t>(k)];
        const RangeEntry& given = startRanges[static_cast<size_t>(k)];
        const int64_t low = endMoves(given.low, saved.low, given.high, ownMoves(-given.high, -saved.high));
        const int64_t high = endMoves(-given.high, -saved.high, -given.low, ownMoves(given.low, saved.low));
        lowMoves += low;
        highMoves += high;
        if (low < 0 || high < 0 || lowMoves > adaptations || highMoves > adaptations) {
            cause = corrupted(std::string("range ") + kCoefficientNames[static_cast<size_t>(k)]);
            return false;
        }
    }
    return true;
}

}  // namespace snapshot

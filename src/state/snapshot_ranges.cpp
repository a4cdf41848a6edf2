// The checks of a snapshot's range table: the ranges file's table, with only
// the ends that range adaptation can have moved in the generations behind
// it, moved as it moves them.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "settings/rangemoves.h"
#include "state/snapshot_codec.h"

namespace snapshot {

namespace {

// The steps computeInc gives for the range, or -1 where it refuses it.
int64_t stepsOf(const RangeEntry& range) {
    if (!hasValidSteps(range)) return -1;
    return static_cast<int64_t>(static_cast<int32_t>((range.high - range.low) / range.resolution)) + 1;
}

// More moves than any end can make: a finite end doubles to an infinity in
// fewer (from 2^-1074 to 2^1024), and a move from 0 or to 0 adds two.
constexpr int64_t kMaxMoves = 2200;

// One move of a low end (the other end, `other`, is the high end), and of a
// high end (the other end is the low end), as range adaptation makes them.
double lowMove(double at, double other) { return lowerEnd(at, other); }
double highMove(double at, double other) { return raiseEnd(other, at); }

// Whether `next` lies past `saved` on a way that only leads further off: a
// low end below a negative `saved` goes on doubling down, a high end above a
// positive one up.
bool pastReach(double next, double saved, bool low) { return low ? next < saved && next < 0 : next > saved && next > 0; }

// The values an end takes from `given` by its moves (the other end at
// `other`), up to `saved` or as far as it can go towards it: the values the
// other end of its range can stand at while this end moves.
std::vector<double> endValues(double given, double saved, double other, bool low) {
    std::vector<double> values{given};
    for (double at = given; values.size() <= static_cast<size_t>(kMaxMoves) && !(at == saved);) {
        const double next = low ? lowMove(at, other) : highMove(at, other);
        if (next == at || !std::isfinite(next) || pastReach(next, saved, low)) break;
        values.push_back(at = next);
    }
    return values;
}

// The fewest moves of range adaptation that take an end from `given` to
// `saved`, the other end standing at one of `others` when a move reads it
// (only a move from 0 does); -1 when no number of moves does.
int64_t endMoves(double given, double saved, const std::vector<double>& others, bool low) {
    if (sameBits(given, saved)) return 0;
    int64_t fewest = -1;
    for (const double other : others) {
        double at = given;
        for (int64_t n = 1; n <= kMaxMoves && (fewest < 0 || n < fewest); ++n) {
            const double next = low ? lowMove(at, other) : highMove(at, other);
            if (next == saved) {
                fewest = n;
                break;
            }
            if (next == at || !std::isfinite(next) || pastReach(next, saved, low)) break;
            at = next;
        }
    }
    return fewest;
}

}  // namespace

// Range adaptation moves only the ends of a range, and computeInc then
// derives its steps; the resolution and the minor grid stay as the ranges
// file gives them.
bool checkRanges(const Contents& contents, const SnapshotInputs& inputs, std::string& cause) {
    for (int k = 0; k < kCoefficientCount; ++k) {
        const RangeEntry& saved = contents.run.ranges[static_cast<size_t>(k)];
        const RangeEntry& given = inputs.startRanges[static_cast<size_t>(k)];
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
    return checkRangeMoves(contents, inputs.startRanges, cause);
}

// Without rangeexpand the ranges are those of the ranges file; with it,
// each adaptation (one every raiselower generations after the first)
// lowered at most one low end and raised at most one high end, each move
// one the adaptation makes.
bool checkRangeMoves(const Contents& contents, const RangeTable& startRanges, std::string& cause) {
    const int64_t generation = contents.generation;
    const int64_t raiselower = std::max(intSetting<kRaiseLower>(), 1);
    const int64_t adaptations = intSetting<kRangeExpand>() == 0 || generation < 1 ? 0 : (generation - 1) / raiselower;
    int64_t lowMoves = 0, highMoves = 0;
    for (int k = 0; k < kCoefficientCount; ++k) {
        const RangeEntry& saved = contents.run.ranges[static_cast<size_t>(k)];
        const RangeEntry& given = startRanges[static_cast<size_t>(k)];
        const int64_t low =
            endMoves(given.low, saved.low, endValues(given.high, saved.high, given.low, false), true);
        const int64_t high =
            endMoves(given.high, saved.high, endValues(given.low, saved.low, given.high, true), false);
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

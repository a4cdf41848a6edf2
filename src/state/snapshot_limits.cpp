// The lower bounds and the consistency of a snapshot's counters, ended flag,
// ranges and random state: checks on top of the upper bounds, so that a
// forged snapshot with a valid checksum can neither skip generations, jump
// to the final report, widen ranges the run never widened, nor make a
// counter overflow later.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "state/snapshot_codec.h"

namespace snapshot {

namespace {

// a * b, or the largest int64 when that would not fit; both are >= 0.
int64_t saturatingProduct(int64_t a, int64_t b) {
    int64_t product = 0;
    return __builtin_mul_overflow(a, b, &product) ? std::numeric_limits<int64_t>::max() : product;
}

int64_t saturatingSum(int64_t a, int64_t b) {
    int64_t sum = 0;
    return __builtin_add_overflow(a, b, &sum) ? std::numeric_limits<int64_t>::max() : sum;
}

// No counter starts above this: a run would need centuries of lookups to
// carry one from there to the end of its type.
constexpr int64_t kCounterCeiling = int64_t{1} << 62;
// Duplicate draws for one random set before the run gives up on the ranges.
constexpr int64_t kMaxDrawsPerRandomSet = 1000000;

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

// The library holds at least the start population; the rejected count
// stays below what the draws could have rejected, so it cannot overflow.
bool checkCounterLimits(const Contents& contents, const SnapshotInputs& inputs, std::string& cause) {
    const int64_t generation = contents.generation;
    const int64_t save = S[kSave].value.i;
    const int64_t tries = std::max(S[kTries].value.i, 1);
    const int64_t candidates = saturatingProduct(generation, inputs.candidatesPerGeneration);
    const int64_t rejectLimit =
        std::min(kCounterCeiling, saturatingSum(saturatingProduct(save + 1, kMaxDrawsPerRandomSet),
                                                saturatingProduct(candidates, std::max(tries, kMaxDrawsPerRandomSet))));
    const char* flaw = nullptr;
    if (tested > static_cast<uint64_t>(kCounterCeiling))
        flaw = "tested";
    else if (libCnt < save + 1)
        flaw = "libCnt";
    else if (rejects > rejectLimit)
        flaw = "rejects";
    if (flaw == nullptr) return true;
    cause = corrupted(flaw);
    return false;
}

// Each generation hands out at least the unconditional calls of its
// schedule: the jobs handed out (harvested plus outstanding, so known once
// the jobs are read) grow with the generations.
bool checkHandedOut(const Contents& contents, const SnapshotInputs& inputs, std::string& cause) {
    const uint64_t handedOut = tested + workerSlots.outstanding.size();
    const uint64_t fewest =
        static_cast<uint64_t>(contents.generation) * static_cast<uint64_t>(inputs.minCandidatesPerGeneration);
    if (handedOut >= fewest) return true;
    cause = corrupted("tested");
    return false;
}

// A run ends at maxgenerations (the one it was made with: a finished run may
// be continued to a larger one), at the stall limit (quitat generations
// without a better set), or at once when it has no generation to make;
// before either it goes on.
bool checkEndedFlag(const Contents& contents, int64_t maxgenerations, std::string& cause) {
    const int64_t generation = contents.generation;
    const int64_t quitat = S[kQuitAt].value.i;
    const bool stalled = quitat >= 0 && generation >= 1 && generation - 1 - lastgen > quitat;
    const bool atEnd = generation == std::max<int64_t>(maxgenerations, 0);
    if (contents.ended ? atEnd || stalled : !stalled) return true;
    cause = corrupted(contents.ended ? "ended before its end" : "went on past its stall limit");
    return false;
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
        const RangeEntry& saved = R[static_cast<size_t>(k)];
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

// A seeded generator never has every word zero: from there it would give
// nothing but zeros.
bool checkRandomNotZero(std::string& cause) {
    const auto& words = randomSource.words;
    if (std::any_of(words.begin(), words.end(), [](uint64_t word) { return word != 0; })) return true;
    cause = corrupted("random state");
    return false;
}

}  // namespace snapshot

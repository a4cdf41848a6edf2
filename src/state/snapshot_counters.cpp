// The checks of a snapshot's counters: its generation against the run's
// maxgenerations (a finished run may be continued to a larger one, a run
// still under way goes on to a new limit), the ended flag against the stop
// settings, and every counter between what the generations behind it can
// have handed out, at the least and at the most. So no counter of a
// snapshot taken can overflow later, and a forged one cannot jump to the
// final report or past its generations without counters, jobs and a library
// as large as those generations make (which the checks cannot tell from a
// real run's: they hold a snapshot to what a run can reach, not to what one
// did).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "state/snapshot_codec.h"

namespace snapshot {

namespace {

std::string number(int64_t value) { return std::to_string(value); }

// The way to continue a run that stands at `generation`: a larger
// maxgenerations, where one can be given (the setting is a 32-bit integer).
std::string continuation(int64_t generation) {
    if (generation >= std::numeric_limits<int32_t>::max())
        return "it cannot be continued, as no maxgenerations above " + number(generation) + " can be given";
    return "give maxgenerations above " + number(generation) + " to continue it";
}

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
// Whether the stall limit (quitat generations without a better set) ended
// the run at `generation`. The stall test comes before the generation count,
// at the end of the generation before, so it decides when both hold.
bool stalledAt(int64_t generation, int64_t lastgen) {
    return generation >= 1 && stalled(generation - 1, lastgen, intSetting<kQuitAt>());
}

// The first counter out of its bounds, or null. Each generation hands out
// at most candidatesPerGeneration candidates, each adding at most one set to
// the library beside the save + 1 sets of the start population; the rejected
// count stays below what the draws could have rejected.
const char* counterFlaw(const Contents& contents, const SnapshotInputs& inputs) {
    const SearchCounters& s = contents.run.counters;
    const int32_t lastgen = s.lastgen;
    const uint64_t tested = s.tested, lastTested = s.lastTested;
    const uint32_t accumCnt = s.accumCnt;
    const int64_t libCnt = s.libCnt, rejects = s.rejects;
    const double accumSeconds = s.accumSeconds;
    const int64_t generation = contents.generation;
    const int64_t save = intSetting<kSave>();
    const int64_t tries = std::max(intSetting<kTries>(), 1);
    const int64_t candidates = saturatingProduct(generation, inputs.candidatesPerGeneration);
    const int64_t rejectLimit =
        std::min(kCounterCeiling, saturatingSum(saturatingProduct(randomStartSets(save), kMaxDuplicateDraws),
                                                saturatingProduct(candidates, std::max(tries, kMaxDuplicateDraws))));
    if (lastgen < 0 || lastgen > generation) return "lastgen";
    if (tested > static_cast<uint64_t>(candidates) || tested > static_cast<uint64_t>(kCounterCeiling) ||
        lastTested > tested || accumCnt > tested)
        return "tested";
    if (libCnt < randomStartSets(save) || libCnt > saturatingSum(randomStartSets(save), candidates) ||
        static_cast<uint64_t>(libCnt) >= kMaxLibrarySets)
        return "libCnt";
    if (rejects < 0 || rejects > rejectLimit) return "rejects";
    if (!std::isfinite(accumSeconds)) return "accumSeconds";
    return nullptr;
}

}  // namespace

int64_t madeWithMaxGenerations(const Contents& contents) {
    for (const StoredSetting& stored : contents.settings)
        if (stored.name == S[kMaxGenerations].name) return static_cast<int32_t>(static_cast<uint32_t>(stored.bits));
    return intSetting<kMaxGenerations>();
}

// A snapshot read back under another maxgenerations than the one it was
// made with: a run still under way goes on to the new limit, and one that
// ended at its limit is continued to a larger one. A run that the stall
// limit ended cannot be continued: it would stop again at once.
bool checkContinuation(const Contents& contents, std::string& cause) {
    const int64_t now = intSetting<kMaxGenerations>();
    const int64_t made = madeWithMaxGenerations(contents);
    if (made == now) return true;
    const int64_t generation = contents.generation;
    const std::string differs = "it was made with maxgenerations " + number(made) + ", this run has " + number(now);
    if (!contents.ended) {
        if (generation < now) return true;
        cause = differs + ", and it stands at generation " + number(generation) + " already: " +
                continuation(generation);
        return false;
    }
    const int32_t lastgen = contents.run.counters.lastgen;
    if (stalledAt(generation, lastgen)) {
        cause = "its run ended at generation " + number(generation) + " because quitat " +
                number(intSetting<kQuitAt>()) + " stopped it (no better set since generation " + number(lastgen) +
                "), so a larger maxgenerations cannot continue it: set maxgenerations back to " + number(made) +
                " to see its final report, or remove it to start afresh";
        return false;
    }
    if (generation == made && now > generation) return true;
    cause = differs + "; its run ended at generation " + number(generation) + ": set maxgenerations back to " +
            number(made) + " to see its final report";
    cause += generation < std::numeric_limits<int32_t>::max()
                 ? ", or above " + number(generation) + " to continue it"
                 : "; " + continuation(generation);
    return false;
}

// A run ends at maxgenerations (the one it was made with), at the stall
// limit, or at once when it has no generation to make; before either it
// goes on.
bool checkEndedFlag(const Contents& contents, int64_t maxgenerations, std::string& cause) {
    const bool atEnd = contents.generation == std::max<int64_t>(maxgenerations, 0);
    const bool stall = stalledAt(contents.generation, contents.run.counters.lastgen);
    if (contents.ended ? atEnd || stall : !stall) return true;
    cause = corrupted(contents.ended ? "ended before its end" : "went on past its stall limit");
    return false;
}

// A snapshot not at the end of its run comes after generation 1 and before
// the last; one at the end, after at most maxgenerations (0 when the run
// had none to make).
bool checkCounters(const Contents& contents, const SnapshotInputs& inputs, std::string& cause) {
    if (!checkContinuation(contents, cause)) return false;
    const int64_t maxgenerations = intSetting<kMaxGenerations>();
    const int64_t generation = contents.generation;
    const bool inRange = contents.ended ? generation >= 0 && generation <= std::max<int64_t>(maxgenerations, 0)
                                        : generation >= 1 && generation < maxgenerations;
    if (!inRange) {
        cause = corrupted("generation " + number(generation) + ", maxgenerations is " + number(maxgenerations));
        return false;
    }
    if (const char* flaw = counterFlaw(contents, inputs)) {
        cause = corrupted(flaw);
        return false;
    }
    return checkEndedFlag(contents, madeWithMaxGenerations(contents), cause);
}

// Each generation hands out at least the unconditional calls of its
// schedule: the jobs handed out (harvested plus outstanding, so known once
// the jobs are read) grow with the generations.
bool checkHandedOut(const Contents& contents, const SnapshotInputs& inputs, std::string& cause) {
    const uint64_t handedOut = contents.run.counters.tested + contents.run.jobs.size();
    const uint64_t fewest =
        static_cast<uint64_t>(contents.generation) * static_cast<uint64_t>(inputs.minCandidatesPerGeneration);
    if (handedOut >= fewest) return true;
    cause = corrupted("tested");
    return false;
}

}  // namespace snapshot

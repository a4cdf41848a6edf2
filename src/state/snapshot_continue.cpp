// A snapshot read back under another maxgenerations than the one it was made
// with: a run still under way goes on to the new limit, and one that ended at
// its limit is continued to a larger one. A run that the stall limit
// (quitat) ended cannot be continued: it would stop again at once.
#include <string>

#include "state/snapshot_codec.h"

namespace snapshot {

namespace {

std::string number(int64_t value) { return std::to_string(value); }

// The stall test comes before the generation count, at the end of the
// generation before the snapshot's, so it decides when both hold.
bool endedByQuitat(const Contents& contents) {
    const int64_t quitat = S[kQuitAt].value.i;
    return quitat >= 0 && (static_cast<int64_t>(contents.generation) - 1) - lastgen > quitat;
}

}  // namespace

int64_t madeWithMaxGenerations(const Contents& contents) {
    for (const StoredSetting& stored : contents.settings)
        if (stored.name == S[kMaxGenerations].name) return static_cast<int32_t>(static_cast<uint32_t>(stored.bits));
    return S[kMaxGenerations].value.i;
}

bool checkContinuation(const Contents& contents, std::string& cause) {
    const int64_t now = S[kMaxGenerations].value.i;
    const int64_t made = madeWithMaxGenerations(contents);
    if (made == now) return true;
    const int64_t generation = contents.generation;
    const std::string differs =
        "it was made with maxgenerations " + number(made) + ", this run has " + number(now);
    if (!contents.ended) {
        if (generation < now) return true;
        cause = differs + ", and it stands at generation " + number(generation) +
                " already: give maxgenerations above " + number(generation) + " to continue it";
        return false;
    }
    if (endedByQuitat(contents)) {
        cause = "its run ended at generation " + number(generation) + " because quitat " +
                number(S[kQuitAt].value.i) + " stopped it (no better set since generation " +
                number(lastgen) + "), so a larger maxgenerations cannot continue it: set maxgenerations back to " +
                number(made) + " to see its final report, or remove it to start afresh";
        return false;
    }
    if (generation == made && now > generation) return true;
    cause = differs + "; its run ended at generation " + number(generation) + ": set maxgenerations back to " +
            number(made) + " to see its final report, or above " + number(generation) + " to continue it";
    return false;
}

}  // namespace snapshot

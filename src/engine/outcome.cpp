// The exit status of a run, from how its search ended.
#include "engine/outcome.h"

bool makesFinalReport(const RunOutcome& outcome) {
    switch (outcome.end) {
    case SearchEnd::completed:
    case SearchEnd::escape:
    case SearchEnd::signal: return true;
    case SearchEnd::byte3:
    case SearchEnd::noDistinctSets: return false;
    }
    return false;
}

// A file that could not be written is a failure whatever ended the search,
// except the byte 3, which ends the run with 0 and nothing said. A failure
// outranks an interruption: the run's output is not whole.
int exitStatus(const RunOutcome& outcome, const RunAftermath& after) {
    switch (outcome.end) {
    case SearchEnd::byte3: return 0;
    case SearchEnd::escape:
    case SearchEnd::noDistinctSets: return 255;
    case SearchEnd::signal: return after.fileFailed ? 255 : 128 + outcome.signal;
    case SearchEnd::completed:
        if (after.fileFailed) return 255;
        return after.lateSignal != 0 ? 128 + after.lateSignal : 0;
    }
    return 255;
}

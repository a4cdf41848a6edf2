// How the search of a run ended, and the exit status each end gives. The
// search returns its end as a value; the run sequence alone makes the final
// report, stops the workers and turns the end into the status.
#pragma once

#include <cstdint>

enum class SearchEnd : uint8_t {
    completed,       // maxgenerations, the stall limit, or a resumed run that had ended
    escape,          // the Escape key
    signal,          // SIGINT or SIGTERM
    byte3,           // the byte 3 read as a key: the run ends at once, silently
    noDistinctSets,  // the ranges admit no further distinct random sets (told on standard error)
};

struct RunOutcome {
    SearchEnd end = SearchEnd::completed;
    int signal = 0;  // the signal's number, for SearchEnd::signal
    // A snapshot could not be written during the search (the file keeps the
    // one before); the run then ends with status 255.
    bool snapshotFailed = false;
};

// A stop asked for while snapshots are on waits for the end of the
// generation, where the snapshot is written; Escape then only asks for it.
struct StopRequest {
    bool waitsForGenerationEnd = false;
    bool escape = false;
};

// Whether the run makes the final report for this end.
bool makesFinalReport(const RunOutcome& outcome);

// What the end of the run adds: whether a result, export, CSV, JSON or
// snapshot file could not be written, and the stop signal that came while
// the final report was made (0: none).
struct RunAftermath {
    bool fileFailed = false;
    int lateSignal = 0;
};

// The exit status, by the table in docs/output.md.
int exitStatus(const RunOutcome& outcome, const RunAftermath& after);

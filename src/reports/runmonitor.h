// What the driver reports beside the search: the live progress line and the
// CSV files of the generations and of the final coils.
#pragma once

#include <cstdint>

// Generations between rewrites of the checkpoint and of the generation log
// during the search.
inline constexpr int32_t kRewriteEvery = 100;

// The search starts, before the start population.
void monitorStart();
// The run continues from a snapshot at generation `gen` (after
// monitorStart): the generation log keeps the rows that the run before
// wrote for the generations before it, and its times go on from the last of
// them. A warning tells of rows the log no longer has.
void monitorResumed();
// A candidate goes out to a worker.
void monitorCandidate();
// The master is waiting for a worker's result.
void monitorWaiting();
// A generation has ended and its "gen =" line is printed.
void monitorGeneration();
// The run stops inside a generation: the generation log gets a row of where
// it stood, so that its last row holds the set the final report gives.
void monitorStopped();
// A message on standard error is about to end the run.
void monitorBeforeMessage();
// The final report begins: the progress line goes for good.
void monitorReportBegins();
// The final report has been made: the CSV files get the final set and every
// generation. True when one of them could not be written, now or during the
// search (the run then ends with status 255).
bool monitorReportEnds();

// The dispatch loop: candidates out to the workers, results ranked in.
#pragma once

#include <cstdint>
#include <optional>

#include "coils/records.h"
#include "engine/outcome.h"

// Hands `candidate` to a worker, ranking finished results first. While it
// waits for a worker it answers the keyboard and the stop signals; when one
// of them ends the search, the candidate is not handed over and the end is
// returned (Escape and a signal print their lines first). `stop`: whether a
// stop waits for the end of the generation; Escape records its request there.
std::optional<RunOutcome> runOne(ResultRecord* candidate, StopRequest& stop);
// Hands the jobs a snapshot saved (the worker slots' list, as read) back to
// their slots, oldest first, before the next generation begins; the workers
// started at the phases before them.
void handOutSavedJobs();

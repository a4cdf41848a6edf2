// The dispatch loop: candidates out to the workers, results ranked in.
#pragma once

#include <cstdint>

#include "coils/records.h"

// Hands `candidate` to a worker, ranking finished results first.
void runOne(ResultRecord* candidate);
// Hands the jobs a snapshot saved (the worker slots' list, as read) back to
// their slots, oldest first, before the next generation begins; the workers
// started at the phases before them.
void handOutSavedJobs();

// The program's one clock.
#pragma once

// Seconds on a clock that never jumps, to well under a microsecond, for the
// lengths of jobs, waits and the search; only differences of its readings
// mean anything.
double monotonicSeconds();

// SIGINT and SIGTERM: a stop asked of the run, which ends it with the final
// report, and a second one that ends the program at once.
#pragma once

// Before the workers start: ignores both signals, so that the workers, which
// inherit that, go on while the master ends the run (a Control-C at a
// terminal reaches the whole process group). A signal ignored when the
// program started stays ignored.
void holdStopSignals();
// After the workers have started: the master takes the first signal as a
// request to stop; a second one ends the program as the signal would.
void catchStopSignals();
// The signal that asked for the stop, or 0 while none has.
int stopSignalNumber();
// "SIGINT" or "SIGTERM".
const char* stopSignalName(int signal);

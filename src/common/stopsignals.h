// SIGINT and SIGTERM: a stop asked of the run, which ends it with the final
// report, and a second one that ends the program at once.
#pragma once

// Before the workers start: blocks both signals, so that one that comes
// while they start waits for catchStopSignals instead of reaching a worker
// that has not yet set itself to ignore it, or being lost. The master's
// handler is in place already (a library thread that does not block them
// then records the request as well). A signal ignored when the program
// started stays ignored.
void holdStopSignals();
// After the workers have started: the master takes the first signal, also
// one that came while they started, as a request to stop; a second one ends
// the program as the signal would.
void catchStopSignals();
// In a worker just forked from the master: ignores both signals, which a
// Control-C at a terminal sends to every process of the run (the master
// ends the run and its workers), and unblocks them.
void ignoreStopSignalsInWorker();
// The signal that asked for the stop, or 0 while none has.
int stopSignalNumber();
// "SIGINT" or "SIGTERM".
const char* stopSignalName(int signal);

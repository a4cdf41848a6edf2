// Standard input as seen by the master's wait for its workers.
#pragma once

// The descriptor the wait should watch for keys, or -1 when it should rely
// on its time-out (a terminal, or an input that has ended).
int keyWatchFd();
// To be called when the watched descriptor polled readable.
void keyWatchReadable();

// The master's keyboard and clock: keys read while it waits for its
// workers, and wall-clock time for job timing.
#pragma once

// The character waiting on standard input, or 0 when there is none.
int kbhit();
// Wall-clock time in seconds, to the microsecond.
double timeus();

// The descriptor the wait should watch for keys, or -1 when it should rely
// on its time-out (a terminal, or an input that has ended).
int keyWatchFd();
// To be called when the watched descriptor polled readable.
void keyWatchReadable();

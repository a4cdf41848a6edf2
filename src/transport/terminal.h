// The master's keyboard: keys read while it waits for its workers.
#pragma once

// The character waiting on standard input, or 0 when there is none.
int kbhit();

// The descriptor the wait should watch for keys, or -1 when it should rely
// on its time-out (a terminal, or an input that has ended).
int keyWatchFd();
// To be called when the watched descriptor polled readable.
void keyWatchReadable();

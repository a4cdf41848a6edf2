// One run per directory: the exchange files of two runs in one directory
// would mix their records.
#pragma once

// Takes an exclusive lock on "quelmo.lock" in the current directory and
// writes this process's pid into it. When another run holds the lock, ends
// the process with a message that names the directory and that run's pid;
// a link, a FIFO or anything but a regular file at the name is refused.
void lockRunDirectory();
// Warns on standard error when every user may write to the current
// directory, and so alter the exchange records.
void warnIfDirectoryShared();
// The lock's descriptor, which workers close so that the lock ends with the
// master; -1 before the lock is taken.
int runLockFd();

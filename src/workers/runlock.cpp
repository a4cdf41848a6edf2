// The run directory's lock file.
#include "workers/runlock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/fatal.h"

namespace {

constexpr const char* kLockName = "quelmo.lock";
int lockFd = -1;

const char* currentDirectory() {
    static char path[PATH_MAX];
    return getcwd(path, sizeof path) != nullptr ? path : ".";
}

// The pid that the holder wrote into the lock file, or 0.
long holderPid(int fd) {
    char text[32] = {};
    if (pread(fd, text, sizeof text - 1, 0) <= 0) return 0;
    return std::strtol(text, nullptr, 10);
}

[[noreturn]] void lockFailed(int cause) {
    fatal("Couldn't lock the run directory %s: %s: %s\n", currentDirectory(), kLockName, std::strerror(cause));
}

}  // namespace

void lockRunDirectory() {
    // The lock is held on a read-only descriptor, so that the run keeps no
    // file open for writing in its directory between exchanges.
    const int fd = open(kLockName, O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) lockFailed(errno);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int cause = errno;
        if (cause == EWOULDBLOCK) {
            fatal("Another run (pid %ld) is using the directory %s; run each fit in a directory of its own\n",
                  holderPid(fd), currentDirectory());
        }
        lockFailed(cause);
    }
    const int writer = open(kLockName, O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (writer < 0) lockFailed(errno);
    char pid[32];
    const int length = std::snprintf(pid, sizeof pid, "%ld\n", static_cast<long>(getpid()));
    const bool written = write(writer, pid, static_cast<size_t>(length)) == length;
    const int cause = errno;
    close(writer);
    if (!written) lockFailed(cause);
    lockFd = fd;
}

int runLockFd() { return lockFd; }

// The run directory's lock file.
#include "transport/runlock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/fatal.h"

namespace {

constexpr const char* kLockName = "quelmo.lock";
// Readable by all: another user can take the lock, on a read-only
// descriptor, once the run that made the file has ended.
constexpr mode_t kLockMode = 0644;
int lockFd = -1;

const char* currentDirectory() {
    static char path[PATH_MAX];
    return getcwd(path, sizeof path) != nullptr ? path : ".";
}

// The pid of the process that holds the lock on `fd`'s file, as the kernel
// lists it; failing that, the pid that the holder wrote into the file, or 0.
// The file may still name an earlier run when the holder could not write it.
long holderPid(int fd) {
    struct stat info;
    if (fstat(fd, &info) == 0) {
        if (FILE* locks = std::fopen("/proc/locks", "re")) {
            char line[256];
            long pid = 0;
            unsigned devMajor = 0;
            unsigned devMinor = 0;
            unsigned long inode = 0;
            while (std::fgets(line, sizeof line, locks) != nullptr) {
                if (std::sscanf(line, "%*d: FLOCK %*s %*s %ld %x:%x:%lu", &pid, &devMajor, &devMinor, &inode) == 4 &&
                    inode == info.st_ino && devMajor == major(info.st_dev) && devMinor == minor(info.st_dev)) {
                    std::fclose(locks);
                    return pid;
                }
            }
            std::fclose(locks);
        }
    }
    char text[32] = {};
    if (pread(fd, text, sizeof text - 1, 0) <= 0) return 0;
    return std::strtol(text, nullptr, 10);
}

[[noreturn]] void lockFailedBecause(const char* cause) {
    fatal("Couldn't lock the run directory %s: %s: %s\n", currentDirectory(), kLockName, cause);
}

[[noreturn]] void lockFailed(int cause) { lockFailedBecause(std::strerror(cause)); }

// Writes this process's pid into the lock file when the name still stands
// for the file locked and this user may open it for writing. Another user's lock file,
// or a name that someone has replaced since, keeps what it holds: the lock
// itself is what counts, and holderPid asks the kernel first.
void writePid(int locked) {
    const int writer = open(kLockName, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (writer < 0) return;
    struct stat held;
    struct stat named;
    if (fstat(locked, &held) != 0 || fstat(writer, &named) != 0 || held.st_dev != named.st_dev ||
        held.st_ino != named.st_ino) {
        close(writer);
        return;
    }
    char pid[32];
    const int length = std::snprintf(pid, sizeof pid, "%ld\n", static_cast<long>(getpid()));
    const bool written = ftruncate(writer, 0) == 0 && write(writer, pid, static_cast<size_t>(length)) == length;
    const int cause = errno;
    close(writer);
    if (!written) lockFailed(cause);
}

}  // namespace

void lockRunDirectory() {
    // The lock is held on a read-only descriptor, so that the run keeps no
    // file open for writing in its directory between exchanges. It is never
    // taken through a link, never waits on a FIFO and must be a regular file.
    const int fd = open(kLockName, O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, kLockMode);
    if (fd < 0) {
        if (errno == ELOOP) lockFailedBecause("Is a symbolic link; remove it if no run is using this directory");
        lockFailed(errno);
    }
    struct stat info;
    if (fstat(fd, &info) != 0) lockFailed(errno);
    if (!S_ISREG(info.st_mode))
        lockFailedBecause("Not a regular file; remove it if no run is using this directory");
    if (info.st_uid == geteuid() && (info.st_mode & 07777) != kLockMode) fchmod(fd, kLockMode);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int cause = errno;
        if (cause == EWOULDBLOCK) {
            fatal("Another run (pid %ld) is using the directory %s; run each fit in a directory of its own\n",
                  holderPid(fd), currentDirectory());
        }
        lockFailed(cause);
    }
    writePid(fd);
    lockFd = fd;
}

int runLockFd() { return lockFd; }

void warnIfDirectoryShared() {
    struct stat info;
    if (stat(".", &info) != 0 || (info.st_mode & S_IWOTH) == 0) return;
    clearForMessage();
    std::fprintf(stderr,
                 "Warning: the run directory %s is writable by every user: another user could alter or remove "
                 "the exchange records quelmoi.N and quelmor.N and so spoil the fit; run it in a directory of "
                 "your own to avoid this\n",
                 currentDirectory());
}

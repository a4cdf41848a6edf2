// Output files: replaced whole through a temporary file and a rename, or
// written into a device, FIFO or descriptor.
#include "common/outfile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int kMaxLinkHops = 40;  // as the kernel's own limit

std::string directoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

struct Target {
    OutWay way = OutWay::replace;
    bool throughLink = false;      // a stream reached through a link of one's own
    int descriptor = -1;           // >= 0: one of this process's descriptors
    const char* refusal = nullptr;
    int refusalErrno = 0;
};

Target refused(const char* why, int error) { return {OutWay::refused, false, -1, why, error}; }

// A device or FIFO is written into only when it is the user's own or root's:
// another user's FIFO at an output's name would hand that user what the run
// writes, or stall the run when it is never read.
bool trustedOwner(const struct stat& info) { return info.st_uid == geteuid() || info.st_uid == 0; }

Target foreignStream(const struct stat& info) {
    return refused(S_ISFIFO(info.st_mode) ? "Is a FIFO of another user" : "Is a device of another user", EPERM);
}

// The descriptor that a link in /proc/<this process>/fd stands for, or -1.
int descriptorNamed(const std::string& hop) {
    char directory[PATH_MAX];
    if (realpath(directoryOf(hop).c_str(), directory) == nullptr) return -1;
    if (std::string(directory) != "/proc/" + std::to_string(getpid()) + "/fd") return -1;
    const std::string name = hop.substr(hop.rfind('/') + 1);
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) return -1;
    return std::atoi(name.c_str());
}

// A link is followed only when it leads, through links of the user's own or
// root's alone, to a device or FIFO or to an open descriptor; any other link
// is replaced, never written through.
Target examineLink(const char* path) {
    std::string hop = path;
    for (int i = 0; i < kMaxLinkHops; ++i) {
        const int descriptor = descriptorNamed(hop);
        if (descriptor >= 0) return {OutWay::stream, true, descriptor};
        struct stat link;
        if (lstat(hop.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) break;
        if (link.st_uid != 0 && link.st_uid != geteuid()) return {};
        char text[PATH_MAX];
        const ssize_t length = readlink(hop.c_str(), text, sizeof text - 1);
        if (length < 0) break;
        text[length] = '\0';
        hop = text[0] == '/' ? std::string(text) : directoryOf(hop) + "/" + text;
    }
    struct stat target;
    if (stat(path, &target) == 0 && (S_ISCHR(target.st_mode) || S_ISFIFO(target.st_mode))) {
        if (!trustedOwner(target)) return foreignStream(target);
        return {OutWay::stream, true};
    }
    return {};
}

// What stands at the name, looked at without following a link.
Target examine(const char* path) {
    struct stat info;
    if (lstat(path, &info) != 0 || S_ISREG(info.st_mode)) return {};
    if (S_ISCHR(info.st_mode) || S_ISFIFO(info.st_mode))
        return trustedOwner(info) ? Target{OutWay::stream} : foreignStream(info);
    if (S_ISLNK(info.st_mode)) return examineLink(path);
    if (S_ISDIR(info.st_mode)) return refused(nullptr, EISDIR);
    if (S_ISSOCK(info.st_mode)) return refused("Is a socket", ENXIO);
    if (S_ISBLK(info.st_mode)) return refused("Is a block device", ENOTSUP);
    return {};
}

// Opens a device, FIFO or descriptor for writing. A FIFO with no reader
// fails at once (ENXIO) instead of waiting for one; writes block as usual.
int openStream(const char* path, const Target& target) {
    if (target.descriptor >= 0) {
        // What this process has written to the descriptor comes first.
        std::fflush(nullptr);
        return fcntl(target.descriptor, F_DUPFD_CLOEXEC, 0);
    }
    const int flags = O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC | (target.throughLink ? 0 : O_NOFOLLOW);
    const int fd = open(path, flags);
    if (fd < 0) return -1;
    // The name may have changed since it was looked at.
    struct stat info;
    if (fstat(fd, &info) != 0 || !(S_ISCHR(info.st_mode) || S_ISFIFO(info.st_mode))) {
        close(fd);
        errno = EAGAIN;
        return -1;
    }
    if (!trustedOwner(info)) {
        close(fd);
        errno = EPERM;
        return -1;
    }
    // A FIFO of the user's own is narrowed to what the user's umask gives a
    // new file, so that no one the umask leaves out opens it afterwards.
    if (S_ISFIFO(info.st_mode) && info.st_uid == geteuid()) {
        const mode_t mask = umask(0);
        umask(mask);
        const mode_t narrowed = (info.st_mode & 07777) & ~mask;
        if (narrowed != (info.st_mode & 07777)) fchmod(fd, narrowed);
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

// A new temporary file beside `target` under a name no one can guess,
// created exclusively (never through a link), with the mode a plain create
// would give. It is locked until it is renamed or removed, which tells a
// later run that its writer is alive.
int makeTemp(const std::string& target, std::string& tempPath) {
    std::string pattern = directoryOf(target) + "/.quelmo-XXXXXX";
    const int fd = mkostemp(pattern.data(), O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return -1;
    flock(fd, LOCK_EX | LOCK_NB);
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    tempPath = pattern;
    return fd;
}

#if defined(QUELMO_TEST_HOOKS)
void (*renameHook)(const std::string& tempPath) = nullptr;
#endif

bool syncDirectory(const std::string& path) {
    const int fd = open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool synced = fsync(fd) == 0;
    const int saved = errno;
    close(fd);
    errno = saved;
    return synced;
}

}  // namespace

#if defined(QUELMO_TEST_HOOKS)
void setOutFileRenameHook(void (*hook)(const std::string& tempPath)) { renameHook = hook; }
#endif

OutWay outWay(const char* path) { return examine(path).way; }

bool openOutFile(OutFile& file, const char* path) {
    file = OutFile{};
    file.path = path;
    const Target target = examine(path);
    if (target.way == OutWay::refused) {
        errno = target.refusalErrno;
        return false;
    }
    int fd;
    if (target.way == OutWay::stream) {
        fd = openStream(path, target);
    } else {
        fd = makeTemp(file.path, file.tempPath);
    }
    if (fd < 0) return false;
    file.stream = fdopen(fd, "wb");
    if (file.stream == nullptr) {
        const int saved = errno;
        close(fd);
        if (!file.tempPath.empty()) unlink(file.tempPath.c_str());
        errno = saved;
        return false;
    }
    return true;
}

bool closeChecked(FILE* stream) {
    bool ok = std::fflush(stream) == 0 && std::ferror(stream) == 0;
    int saved = ok ? 0 : (errno != 0 ? errno : EIO);
    if (std::fclose(stream) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    errno = saved;
    return ok;
}

bool commitOutFile(OutFile& file, bool durable) {
    // Only a file can be forced to disk; a device or pipe has nothing to force.
    durable = durable && !file.tempPath.empty();
    bool ok = true;
    int saved = 0;
    if (durable && (std::fflush(file.stream) != 0 || fsync(fileno(file.stream)) != 0)) {
        ok = false;
        saved = errno;
    }
    // The lock goes with the last descriptor of the file: a second one keeps
    // it held until the rename is done, so that a run clearing stale
    // temporaries never takes this one for a dead run's.
    const int lockHolder = file.tempPath.empty() ? -1 : fcntl(fileno(file.stream), F_DUPFD_CLOEXEC, 0);
    if (!closeChecked(file.stream) && ok) {
        ok = false;
        saved = errno;
    }
    file.stream = nullptr;
    if (!file.tempPath.empty()) {
#if defined(QUELMO_TEST_HOOKS)
        if (renameHook != nullptr) renameHook(file.tempPath);
#endif
        if (ok && std::rename(file.tempPath.c_str(), file.path.c_str()) != 0) {
            ok = false;
            saved = errno;
        }
        if (!ok) unlink(file.tempPath.c_str());
        if (lockHolder >= 0) close(lockHolder);
        if (ok && durable && !syncDirectory(file.path)) {
            ok = false;
            saved = errno;
        }
    }
    errno = saved;
    return ok;
}

void abandonOutFile(OutFile& file) {
    if (file.stream != nullptr) std::fclose(file.stream);
    file.stream = nullptr;
    if (!file.tempPath.empty()) unlink(file.tempPath.c_str());
}

const char* outFileErrorText(const char* path, int error) {
    struct stat info;
    if (error == ENXIO && stat(path, &info) == 0 && S_ISFIFO(info.st_mode)) return "No program reads this FIFO";
    return std::strerror(error);
}

const char* outFileProblem(const char* path) {
    const Target target = examine(path);
    if (target.way == OutWay::refused)
        return target.refusal != nullptr ? target.refusal : std::strerror(target.refusalErrno);
    if (target.way == OutWay::stream) {
        if (target.descriptor >= 0) {
            const int flags = fcntl(target.descriptor, F_GETFL);
            if (flags < 0) return std::strerror(errno);
            return (flags & O_ACCMODE) == O_RDONLY ? std::strerror(EBADF) : nullptr;
        }
        return access(path, W_OK) == 0 ? nullptr : std::strerror(errno);
    }
    std::string tempPath;
    const int fd = makeTemp(path, tempPath);
    if (fd < 0) return std::strerror(errno);
    close(fd);
    unlink(tempPath.c_str());
    return nullptr;
}

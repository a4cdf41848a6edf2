// Output files replaced whole, through a temporary file and a rename.
#include "common/outfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

namespace {

std::string directoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// The path to write: a symbolic link is followed to the file it names, as
// opening the link would have done, so the link itself stays in place.
std::string resolveTarget(const char* path) {
    struct stat info;
    if (lstat(path, &info) == 0 && S_ISLNK(info.st_mode)) {
        char resolved[PATH_MAX];
        if (realpath(path, resolved) != nullptr) return resolved;
    }
    return path;
}

// True when the target exists and is something other than a plain file.
bool isSpecial(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode);
}

// A new temporary file beside `target`, with the mode a plain create would give.
int makeTemp(const std::string& target, std::string& tempPath) {
    std::string pattern = directoryOf(target) + "/.quelmo-XXXXXX";
    const int fd = mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) return -1;
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    tempPath = pattern;
    return fd;
}

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

bool openOutFile(OutFile& file, const char* path, OutTarget target) {
    file = OutFile{};
    file.path = target == OutTarget::follow ? resolveTarget(path) : std::string(path);
    if (target == OutTarget::follow && isSpecial(file.path)) {
        file.stream = std::fopen(file.path.c_str(), "wb");
        return file.stream != nullptr;
    }
    const int fd = makeTemp(file.path, file.tempPath);
    if (fd < 0) return false;
    file.stream = fdopen(fd, "wb");
    if (file.stream == nullptr) {
        const int saved = errno;
        close(fd);
        unlink(file.tempPath.c_str());
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
    bool ok = true;
    int saved = 0;
    if (durable && (std::fflush(file.stream) != 0 || fsync(fileno(file.stream)) != 0)) {
        ok = false;
        saved = errno;
    }
    if (!closeChecked(file.stream) && ok) {
        ok = false;
        saved = errno;
    }
    file.stream = nullptr;
    if (!file.tempPath.empty()) {
        if (ok && std::rename(file.tempPath.c_str(), file.path.c_str()) != 0) {
            ok = false;
            saved = errno;
        }
        if (!ok) unlink(file.tempPath.c_str());
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

bool canCreateOutFile(const char* path) {
    const std::string target = resolveTarget(path);
    struct stat info;
    if (stat(target.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        errno = EISDIR;
        return false;
    }
    if (isSpecial(target)) return access(target.c_str(), W_OK) == 0;
    std::string tempPath;
    const int fd = makeTemp(target, tempPath);
    if (fd < 0) return false;
    close(fd);
    unlink(tempPath.c_str());
    return true;
}

// Temporaries of outputs left by runs that died before their rename.
#include "common/outtemps.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <ctime>

bool isOutTempName(const std::string& name) {
    constexpr size_t kPrefix = 8;  // ".quelmo-"
    return name.size() == kPrefix + 6 && name.compare(0, kPrefix, ".quelmo-") == 0 &&
           std::all_of(name.begin() + kPrefix, name.end(),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; });
}

int removeStaleOutTemps(const std::string& directory) {
    const int dirFd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) return 0;
    DIR* listing = fdopendir(dirFd);
    if (listing == nullptr) {
        close(dirFd);
        return 0;
    }
    int removed = 0;
    while (const dirent* entry = readdir(listing)) {
        if (!isOutTempName(entry->d_name)) continue;
        // Never through a link, never waiting on a FIFO.
        const int fd = openat(dirFd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat info;
        struct stat named;
        // A writer locks its file just after creating it: an empty file made
        // a moment ago may be one it has not locked yet. The lock tells a
        // dead writer from a live one, and the name must still be the file
        // locked when it goes.
        const bool stale = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid() &&
                           !(info.st_size == 0 && info.st_mtime + 2 >= std::time(nullptr)) &&
                           flock(fd, LOCK_EX | LOCK_NB) == 0 &&
                           fstatat(dirFd, entry->d_name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
                           named.st_dev == info.st_dev && named.st_ino == info.st_ino;
        if (stale && unlinkat(dirFd, entry->d_name, 0) == 0) ++removed;
        close(fd);
    }
    closedir(listing);
    return removed;
}

// Input files: only plain files and FIFOs hold text to read. A directory
// opens like a file but reads as empty, which would quietly give a run with
// no coils or no ranges.
#include "common/infile.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

FILE* openInputFile(const char* path, const char** reason) {
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        *reason = std::strerror(errno);
        return nullptr;
    }
    struct stat info;
    if (fstat(fileno(file), &info) != 0) {
        *reason = std::strerror(errno);
    } else if (S_ISDIR(info.st_mode)) {
        *reason = std::strerror(EISDIR);
    } else if (!S_ISREG(info.st_mode) && !S_ISFIFO(info.st_mode)) {
        *reason = "not a plain file or a FIFO";
    } else {
        return file;
    }
    std::fclose(file);
    return nullptr;
}

const char* inputReadFailure(FILE* file) {
    return std::ferror(file) != 0 ? std::strerror(errno != 0 ? errno : EIO) : nullptr;
}

void skipByteOrderMark(FILE* file) {
    static constexpr int kMark[] = {0xEF, 0xBB, 0xBF};
    int read[3];
    int count = 0;
    for (const int expected : kMark) {
        read[count] = std::getc(file);
        if (read[count] == EOF) break;
        ++count;
        if (read[count - 1] != expected) break;
    }
    if (count == 3 && read[2] == kMark[2]) return;
    // Not a mark: the bytes go back in reverse order (the C library keeps
    // more than one pushed-back byte).
    while (count > 0) std::ungetc(read[--count], file);
}

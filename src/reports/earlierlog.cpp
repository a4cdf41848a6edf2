// Reading back the generation log of an earlier run.
#include "reports/earlierlog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "reports/csvfiles.h"

namespace {

// Longer than any row the run writes (nine fields of at most 24 characters).
constexpr size_t kMaxRow = 512;
constexpr int kRowFields = 9;

// The generation and elapsed time of a row as the run writes it; false for
// anything else.
bool parseRow(const char* line, long long& generation, double& elapsed) {
    const size_t length = std::strlen(line);
    if (length == 0 || line[length - 1] != '\n') return false;
    if (std::strspn(line, "0123456789") == 0 || line[std::strspn(line, "0123456789")] != ',') return false;
    int commas = 0;
    const char* last = line;
    for (const char* c = line; *c != '\0'; ++c)
        if (*c == ',') {
            ++commas;
            last = c + 1;
        }
    if (commas != kRowFields - 1) return false;
    errno = 0;
    generation = std::strtoll(line, nullptr, 10);
    char* end = nullptr;
    elapsed = std::strtod(last, &end);
    return errno == 0 && end != last && *end == '\n' && std::isfinite(elapsed) && elapsed >= 0;
}

FILE* openOwnPlainFile(const char* path, std::string& why) {
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        why = errno == ENOENT ? "it does not exist"
              : errno == ELOOP ? "it is a symbolic link"
                               : std::string("it cannot be read: ") + std::strerror(errno);
        return nullptr;
    }
    struct stat info;
    FILE* file = nullptr;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        why = "it is not a plain file";
    else if (info.st_uid != geteuid())
        why = "it is another user's file";
    else
        file = fdopen(fd, "rb");
    if (file == nullptr) close(fd);
    return file;
}

}  // namespace

EarlierLog readEarlierLog(const char* path, int32_t generation) {
    EarlierLog log;
    log.text = kGenerationCsvHeader;
    if (generation <= 0) return log;
    FILE* file = openOwnPlainFile(path, log.shortBecause);
    if (file == nullptr) return log;
    char line[kMaxRow];
    if (std::fgets(line, sizeof line, file) == nullptr || std::strcmp(line, kGenerationCsvHeader) != 0) {
        log.shortBecause = "its first line is not the header of a generation log";
    } else {
        while (log.rows < generation) {
            long long rowGeneration = 0;
            double elapsed = 0;
            if (std::fgets(line, sizeof line, file) == nullptr) {
                log.shortBecause = std::ferror(file) != 0 ? std::string("it cannot be read: ") + std::strerror(errno)
                                                          : "it ends there";
                break;
            }
            if (!parseRow(line, rowGeneration, elapsed) || rowGeneration != log.rows) {
                log.shortBecause = "its line " + std::to_string(log.rows + 2) + " is not the row of generation " +
                                   std::to_string(log.rows);
                break;
            }
            log.text += line;
            log.elapsed = elapsed;
            ++log.rows;
        }
    }
    std::fclose(file);
    return log;
}

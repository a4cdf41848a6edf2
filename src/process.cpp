// Worker processes and the file exchange between the master and its workers.
//
// Each worker slot N has a request file "quelmoi.N", written by the master
// (one 144-byte record, or a single zero byte that stops the worker), and a
// reply file "quelmor.N", written by the worker. A file is created, written
// in one go and closed, so a reader that sees a size of 0 waits for it.
#include "process.h"

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "fatal.h"
#include "geneticproc.h"
#include "readind.h"
#include "storage.h"
#include "symtab.h"

ProcSlot P[kProcSlots];

namespace {

constexpr useconds_t kIdlePoll = 1000;     // between looks while nothing is there
constexpr useconds_t kWritingPoll = 10000; // while a file is being written
constexpr double kStopWaitSeconds = 1.0;   // longest wait for a busy worker to take its job

pid_t masterPid = 0;

char* formatSlotText(const char* format, int slot) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, format, slot);
    char* copy = strdup(buffer);
    if (copy == nullptr) fatal("Out of space for result\n");
    return copy;
}

// -1 when the file does not exist.
off_t fileSize(const char* path) {
    struct stat status;
    if (stat(path, &status) != 0) return -1;
    return status.st_size;
}

// Serves one slot's jobs until the stop byte arrives or the master has gone.
[[noreturn]] void workerLoop(int slot) {
    const ProcSlot& self = P[slot];
    while (true) {
        if (getppid() != masterPid) std::exit(0);
        off_t size = fileSize(self.requestPath);
        if (size < 0) {
            usleep(kIdlePoll);
            continue;
        }
        if (size == 0) {
            usleep(kWritingPoll);
            size = fileSize(self.requestPath);
        }
        if (size == 1) std::exit(0);

        FILE* in = std::fopen(self.requestPath, "rb");
        if (in == nullptr) {
            usleep(kWritingPoll);
            continue;
        }
        ResultRecord* request = readResult(in);
        std::fclose(in);
        if (request == nullptr) {
            usleep(kWritingPoll);
            continue;
        }
        unlink(self.requestPath);

        ResultRecord* best = runMajor(theInductors, request);
        freeResult(request);
        FILE* out = std::fopen(self.replyPath, "wb");
        if (out == nullptr) fatal("%s (%s:%d) should never happen\n", "process", "evaluatePolynomial", 69);
        writeResult(best, out);
        std::fclose(out);
        freeResult(best);

        checkRangeTable();
        std::fflush(stdout);
        usleep(kIdlePoll);
    }
}

}  // namespace

double timeus() {
    struct timeval now;
    gettimeofday(&now, nullptr);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_usec) * 0.000001;
}

void initProcs() {
    masterPid = getpid();
    const int processes = S[kProcesses].value.i;
    for (int i = 0; i < processes; ++i) {
        ProcSlot& slot = P[i];
        slot.replyPath = formatSlotText("quelmor.%d", i);
        slot.replyRemove = formatSlotText("rm -rf quelmor.%d", i);
        std::error_code ignored;
        std::filesystem::remove_all(slot.replyPath, ignored);
        slot.requestPath = formatSlotText("quelmoi.%d", i);
        slot.requestRemove = formatSlotText("rm -f quelmoi.%d", i);
        unlink(slot.requestPath);
        slot.startTime = timeus();

        // Text still buffered would otherwise be written again by the worker.
        std::fflush(stdout);
        std::fflush(stderr);
        const pid_t pid = fork();
        if (pid < 0) {
            fatal("%s (%s:%d) couldn't start process because %s\n", "process", "startProcess", 179,
                  std::strerror(errno));
        }
        if (pid == 0) workerLoop(i);
    }
}

bool hasFinished(int slot) {
    while (true) {
        const off_t size = fileSize(P[slot].replyPath);
        if (size < 0) return false;
        if (size > 0) return true;
        usleep(kWritingPoll);
    }
}

void handOver(int slot, const ResultRecord* candidate) {
    FILE* out = std::fopen(P[slot].requestPath, "wb");
    if (out == nullptr) fatal("%s (%s:%d) should never happen\n", "geneticproc", "runOne", 160);
    writeResult(candidate, out);
    std::fclose(out);
}

ResultRecord* takeResult(int slot) {
    const char* path = P[slot].replyPath;
    while (true) {
        FILE* in = std::fopen(path, "rb");
        if (in == nullptr) {
            std::printf("%s fails because %s\n", path, std::strerror(errno));
            fatal("%s (%s:%d) should never happen\n", "geneticproc", "runOne", 88);
        }
        ResultRecord* record = readResult(in);
        std::fclose(in);
        if (record != nullptr) {
            unlink(path);
            return record;
        }
        std::printf("*****rval for %s is NULL\n", path);
        usleep(kIdlePoll);
    }
}

void terminateProcesses() {
    const int processes = S[kProcesses].value.i;
    for (int i = 0; i < processes; ++i) {
        ProcSlot& slot = P[i];
        // A stop byte written while the worker is between reading its job and
        // removing the request file would be removed with it: wait until the
        // worker has taken the job.
        if (slot.busy) {
            const double deadline = timeus() + kStopWaitSeconds;
            while (fileSize(slot.requestPath) >= 0 && timeus() < deadline) usleep(kIdlePoll);
        }
        FILE* out = std::fopen(slot.requestPath, "wb");
        if (out == nullptr) fatal("%s (%s:%d) should never happen\n", "process", "terminateProcesses", 275);
        std::fputc(0, out);
        std::fclose(out);
    }
}

int kbhit() {
    // Unbuffered, so that a byte read here is never held back in the stream
    // while the byte count below says nothing is waiting.
    static const bool unbuffered = std::setvbuf(stdin, nullptr, _IONBF, 0) == 0;
    (void)unbuffered;

    struct termios kept;
    const bool terminal = tcgetattr(STDIN_FILENO, &kept) == 0;
    if (terminal) {
        struct termios immediate = kept;
        immediate.c_lflag &= ~static_cast<tcflag_t>(ICANON);
        tcsetattr(STDIN_FILENO, TCSANOW, &immediate);
    }
    int waiting = 0;
    if (ioctl(STDIN_FILENO, FIONREAD, &waiting) != 0) waiting = 0;
    if (terminal) tcsetattr(STDIN_FILENO, TCSANOW, &kept);
    if (waiting <= 0) return 0;
    const int key = std::getc(stdin);
    return key == EOF ? 0 : static_cast<unsigned char>(key);
}

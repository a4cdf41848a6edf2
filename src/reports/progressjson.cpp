// The progress stream: JSON lines to a file or an inherited descriptor.
//
// Each line goes out in one write(2), so that a reader polling the file
// sees whole lines only (or a line being written, which it waits for). A
// reader that goes away (a pipe closed early) must not end the run: SIGPIPE
// is held back around the write and taken off again, and after any failed
// write the stream is closed for good, with one warning.
#include "reports/progressjson.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "coils/storage.h"
#include "common/stopsignals.h"
#include "search/searchstate.h"
#include "search/sort.h"
#include "settings/symtab.h"

namespace {

int streamFd = -1;
pid_t writer = 0;  // the process that opened the stream: forked children never write
double started = 0;

void warn(int error) {
    std::fflush(stdout);
    std::fprintf(stderr, "Warning: progressjson %s: %s; the run goes on without its progress stream\n",
                 S[kProgressJson].value.s, std::strerror(error));
}

void closeStream() {
    if (streamFd > STDERR_FILENO) close(streamFd);
    streamFd = -1;
}

// Writes all of `text`; false on a failure (errno set), SIGPIPE included.
bool writeWhole(const std::string& text) {
    sigset_t pipeSignal, previous;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
    size_t done = 0;
    bool written = true;
    while (done < text.size()) {
        const ssize_t n = write(streamFd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            written = false;
            break;
        }
        done += static_cast<size_t>(n);
    }
    const int error = errno;
    if (!written && error == EPIPE && !sigismember(&previous, SIGPIPE)) {
        // Take the pending SIGPIPE off before the mask goes back.
        const timespec none{0, 0};
        while (sigtimedwait(&pipeSignal, nullptr, &none) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = error;
    return written;
}

void emit(const ProgressEvent& event) {
    if (streamFd < 0 || getpid() != writer) return;
    if (writeWhole(progressEventLine(event))) return;
    const int error = errno;
    closeStream();
    warn(error);
}

ProgressEvent current(const char* name, double now) {
    ProgressEvent event;
    event.event = name;
    event.generation = gen;
    event.limit = S[kMaxGenerations].value.i;
    event.withGoodness = true;
    const ResultRecord* best = memberAt(1);
    event.goodness = best != nullptr ? best->goodness : kNoValue;
    event.tested = static_cast<long long>(tested);
    event.elapsed = now - started;
    return event;
}

void number(std::string& line, const char* name, double value) {
    char text[40];
    if (value == kNoValue || !std::isfinite(value))
        std::snprintf(text, sizeof text, "null");
    else
        std::snprintf(text, sizeof text, "%.17g", value);
    line += ",\"";
    line += name;
    line += "\":";
    line += text;
}

}  // namespace

std::string progressEventLine(const ProgressEvent& event) {
    std::string line = "{\"event\":\"";
    line += event.event;
    line += '"';
    if (event.generation >= 0) line += ",\"generation\":" + std::to_string(event.generation);
    if (event.limit >= 0) line += ",\"limit\":" + std::to_string(event.limit);
    if (event.withGoodness) number(line, "goodness", event.goodness);
    if (event.tested >= 0) line += ",\"tested\":" + std::to_string(event.tested);
    if (event.elapsed >= 0) number(line, "elapsed", event.elapsed);
    if (std::strcmp(event.event, "end") == 0) {
        line += ",\"stopped\":";
        if (event.stopped == nullptr) {
            line += "null";
        } else {
            line += '"';
            line += event.stopped;
            line += '"';
        }
    }
    return line + "}\n";
}

void progressStreamBegin(double now) {
    closeStream();
    const char* target = S[kProgressJson].value.s;
    if (target == nullptr) return;
    started = now;
    writer = getpid();
    if (std::strncmp(target, "fd:", 3) == 0) {
        char* end = nullptr;
        errno = 0;
        const long fd = std::strtol(target + 3, &end, 10);
        if (end == target + 3 || *end != '\0' || errno != 0 || fd < 0 || fd > 1 << 20 ||
            fcntl(static_cast<int>(fd), F_GETFD) < 0) {
            warn(EBADF);
            return;
        }
        streamFd = static_cast<int>(fd);
    } else {
        streamFd = open(target, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (streamFd < 0) {
            warn(errno);
            return;
        }
    }
    ProgressEvent event;
    event.event = "start";
    event.limit = S[kMaxGenerations].value.i;
    emit(event);
}

void progressStreamGeneration(double now) { emit(current("generation", now)); }

void progressStreamEnd(double now) {
    ProgressEvent event = current("end", now);
    event.limit = -1;
    const int signal = stopSignalNumber();
    event.stopped = signal != 0 ? stopSignalName(signal) : nullptr;
    emit(event);
    closeStream();
}

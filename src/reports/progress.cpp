// The live progress line. Drawing costs one clock read per candidate and,
// at most ten times a second, one formatted write to the terminal.
#include "reports/progress.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/fatal.h"
#include "common/version.h"
#include "search/searchstate.h"
#include "search/sort.h"
#include "settings/symtab.h"

namespace {

constexpr double kRedrawInterval = 0.1;  // at most ten draws a second
constexpr double kMinRateSpan = 0.5;     // seconds of history before a rate is shown
constexpr int kRateSamples = 32;         // the rate covers the last ~3 s of draws
constexpr int kDefaultColumns = 80;
constexpr double kLongestClock = 360000000;  // beyond this a time is shown as unknown
// Carriage return, then erase to the end of the line.
constexpr char kClearLine[] = "\r\x1b[K";
constexpr size_t kClearLineSize = sizeof kClearLine - 1;

// Shared with the signal handler, hence plain sig_atomic_t values.
volatile sig_atomic_t lineFd = -1;
volatile sig_atomic_t lineOwner = 0;
volatile sig_atomic_t lineShown = 0;

struct Sample {
    double time;
    uint64_t jobs;
};

struct Tally {
    double start = 0;
    double nextDraw = 0;
    uint64_t jobs = 0;
    uint64_t jobsAtGenerationStart = 0;
    uint64_t jobsPerGeneration = 0;  // 0 until a generation has ended
    std::array<Sample, kRateSamples> samples{};
    int sampleCount = 0;
    int sampleNext = 0;
};

Tally tally;
bool hooksInstalled = false;

// Whether this process's group is in the terminal's foreground: a run sent
// to the background must not draw over the shell's prompt. A terminal that
// is not this process's controlling terminal has no say, and is drawn on.
bool inForeground(int fd) {
    const pid_t group = tcgetpgrp(fd);
    return group < 0 || group == getpgrp();
}

bool isOwner() { return lineFd >= 0 && getpid() == lineOwner; }

// False when the terminal refuses the text.
bool writeAll(int fd, const char* text, size_t size) {
    while (size > 0) {
        const ssize_t written = write(fd, text, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        text += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

void removeLine() {
    if (!lineShown || !isOwner()) return;
    lineShown = 0;
    if (inForeground(lineFd)) writeAll(lineFd, kClearLine, kClearLineSize);
}

void onTerminatingSignal(int number) {
    const int saved = errno;
    if (lineShown && lineFd >= 0 && getpid() == lineOwner && inForeground(lineFd)) {
        const ssize_t ignored = write(lineFd, kClearLine, kClearLineSize);
        (void)ignored;
        lineShown = 0;
    }
    errno = saved;
    // Ends the process as the signal would have without the handler.
    std::signal(number, SIG_DFL);
    std::raise(number);
}

// Only a signal that would end the process gets the handler: one the user
// ignores (a run started with nohup) stays ignored.
void clearOnSignal(int number) {
    struct sigaction old {};
    if (sigaction(number, nullptr, &old) != 0 || old.sa_handler != SIG_DFL) return;
    struct sigaction action {};
    action.sa_handler = onTerminatingSignal;
    sigemptyset(&action.sa_mask);
    sigaction(number, &action, nullptr);
}

void installHooks() {
    if (hooksInstalled) return;
    hooksInstalled = true;
    std::atexit(removeLine);
    FatalHooks::clearLineWith(removeLine);
    clearOnSignal(SIGINT);
    clearOnSignal(SIGTERM);
}

// Candidates per second over the last few seconds of draws; -1 until the
// history spans kMinRateSpan.
double jobsPerSecond(double now) {
    const int oldestIndex = tally.sampleCount < kRateSamples ? 0 : tally.sampleNext;
    const Sample oldest = tally.samples[oldestIndex];
    tally.samples[tally.sampleNext] = {now, tally.jobs};
    tally.sampleNext = (tally.sampleNext + 1) % kRateSamples;
    if (tally.sampleCount < kRateSamples) ++tally.sampleCount;
    const double span = now - oldest.time;
    if (!(span >= kMinRateSpan)) return -1;
    return static_cast<double>(tally.jobs - oldest.jobs) / span;
}

// Seconds to the generation limit at `rate`: the candidates of the
// generations not yet ended, less those of the current one already out.
double timeLeft(double rate, int32_t limit) {
    if (!(rate > 0) || tally.jobsPerGeneration == 0) return -1;
    const double generations = static_cast<double>(limit) - gen;
    const double done = static_cast<double>(tally.jobs - tally.jobsAtGenerationStart);
    const double remaining = generations * static_cast<double>(tally.jobsPerGeneration) - done;
    return remaining > 0 ? remaining / rate : 0;
}

int terminalColumns(int fd) {
    struct winsize size {};
    if (ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return kDefaultColumns;
}

void draw(double now) {
    tally.nextDraw = now + kRedrawInterval;
    const int fd = lineFd;
    if (!inForeground(fd)) {
        // Whatever was drawn before is no longer ours to clear.
        lineShown = 0;
        return;
    }
    const int32_t limit = S[kMaxGenerations].value.i;
    const double rate = jobsPerSecond(now);
    const ProgressFigures figures{gen, limit, collected != nullptr ? collected->goodness : kNoValue,
                                  rate, now - tally.start, timeLeft(rate, limit)};
    std::string text = "\r";
    text += formatProgress(figures, terminalColumns(fd));
    text += "\x1b[K";
    lineShown = 1;
    if (!writeAll(fd, text.data(), text.size())) {
        // The terminal has gone: stop drawing.
        lineShown = 0;
        lineFd = -1;
    }
}

std::string clockText(double seconds) {
    if (!(seconds >= 0 && seconds < kLongestClock)) return "-";
    const long whole = static_cast<long>(seconds);
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", whole / 3600, whole / 60 % 60, whole % 60);
    return text;
}

}  // namespace

std::string formatProgress(const ProgressFigures& figures, int columns) {
    char best[32] = "-";
    if (figures.best != kNoValue && !std::isnan(figures.best)) std::snprintf(best, sizeof best, "%g", figures.best);
    char rate[32] = "-";
    if (figures.jobsPerSecond >= 0 && std::isfinite(figures.jobsPerSecond))
        std::snprintf(rate, sizeof rate, "%.1f", figures.jobsPerSecond);
    char text[256];
    std::snprintf(text, sizeof text, "gen %d/%d  best %s  %s jobs/s  elapsed %s  left %s", figures.generation,
                  figures.limit, best, rate, clockText(figures.elapsed).c_str(),
                  clockText(figures.left).c_str());
    std::string line = text;
    const size_t room = columns > 1 ? static_cast<size_t>(columns - 1) : 0;
    if (line.size() > room) line.resize(room);
    return line;
}

bool progressWanted() {
    if (!isatty(STDERR_FILENO) || isatty(STDOUT_FILENO)) return false;
    // A "dumb" terminal (an editor's shell buffer) cannot erase a line.
    const char* term = std::getenv("TERM");
    return term == nullptr || std::strcmp(term, "dumb") != 0;
}

void progressBegin(int fd, double now) {
    tally = Tally{};
    tally.start = now;
    tally.nextDraw = now;
    tally.samples[0] = {now, 0};
    tally.sampleCount = 1;
    tally.sampleNext = 1;
    lineShown = 0;
    lineOwner = getpid();
    lineFd = fd;
    installHooks();
}

bool progressActive() { return lineFd >= 0; }

void progressJob(double now) {
    if (lineFd < 0) return;
    ++tally.jobs;
    if (now < tally.nextDraw || getpid() != lineOwner) return;
    draw(now);
}

void progressTick(double now) {
    if (lineFd < 0 || now < tally.nextDraw || getpid() != lineOwner) return;
    draw(now);
}

void progressGeneration() {
    if (lineFd < 0) return;
    tally.jobsPerGeneration = tally.jobs - tally.jobsAtGenerationStart;
    tally.jobsAtGenerationStart = tally.jobs;
}

void progressClear() { removeLine(); }

void progressEnd() {
    removeLine();
    lineFd = -1;
}

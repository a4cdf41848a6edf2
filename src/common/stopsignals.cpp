// SIGINT and SIGTERM.
#include "common/stopsignals.h"

#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <iterator>

#if defined(QUELMO_TEST_HOOKS)
#include <fcntl.h>
#include <time.h>

#include <cstdlib>
#endif

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM};

volatile sig_atomic_t stopSignal = 0;
// The master; a worker forked before it ignores the signals takes none.
volatile pid_t handlerOwner = 0;
bool ignoredAtStart[std::size(kStopSignals)] = {};

void onStopSignal(int signal) {
    if (getpid() != handlerOwner) return;
    if (stopSignal != 0) {
        // The second request: the default action, at once.
        struct sigaction action {};
        action.sa_handler = SIG_DFL;
        sigaction(signal, &action, nullptr);
        raise(signal);
        return;
    }
    stopSignal = signal;
}

sigset_t stopSignalSet() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : kStopSignals) sigaddset(&set, signal);
    return set;
}

#if defined(QUELMO_TEST_HOOKS)
// Test builds only: with QUELMO_TEST_PAUSE_IN_WORKER_START naming a file, the
// master creates it once its workers have started and waits there, with the
// signals still held, until one is pending (at most 10 s).
void pauseInWorkerStart() {
    const char* marker = std::getenv("QUELMO_TEST_PAUSE_IN_WORKER_START");
    if (marker == nullptr) return;
    const int fd = open(marker, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) close(fd);
    for (int waited = 0; waited < 10000; ++waited) {
        sigset_t pending;
        sigpending(&pending);
        for (const int signal : kStopSignals)
            if (sigismember(&pending, signal) != 0) return;
        const timespec millisecond{0, 1000000};
        nanosleep(&millisecond, nullptr);
    }
}
#endif

}  // namespace

void holdStopSignals() {
    const sigset_t held = stopSignalSet();
    pthread_sigmask(SIG_BLOCK, &held, nullptr);
    handlerOwner = getpid();
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < std::size(kStopSignals); ++i) {
        struct sigaction before {};
        sigaction(kStopSignals[i], nullptr, &before);
        ignoredAtStart[i] = before.sa_handler == SIG_IGN;
        if (!ignoredAtStart[i]) sigaction(kStopSignals[i], &action, nullptr);
    }
}

void catchStopSignals() {
#if defined(QUELMO_TEST_HOOKS)
    pauseInWorkerStart();
#endif
    const sigset_t held = stopSignalSet();
    pthread_sigmask(SIG_UNBLOCK, &held, nullptr);
}

void ignoreStopSignalsInWorker() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    // Ignoring a pending signal discards it, so none waits for the unblock.
    for (const int signal : kStopSignals) sigaction(signal, &ignore, nullptr);
    const sigset_t held = stopSignalSet();
    pthread_sigmask(SIG_UNBLOCK, &held, nullptr);
}

int stopSignalNumber() { return stopSignal; }

const char* stopSignalName(int signal) { return signal == SIGINT ? "SIGINT" : "SIGTERM"; }

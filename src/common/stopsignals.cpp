// SIGINT and SIGTERM.
#include "common/stopsignals.h"

#include <csignal>
#include <iterator>

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM};

volatile sig_atomic_t stopSignal = 0;
bool ignoredAtStart[std::size(kStopSignals)] = {};

void onStopSignal(int signal) {
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

}  // namespace

void holdStopSignals() {
    for (size_t i = 0; i < std::size(kStopSignals); ++i) {
        struct sigaction ignore {};
        struct sigaction before {};
        ignore.sa_handler = SIG_IGN;
        sigaction(kStopSignals[i], &ignore, &before);
        ignoredAtStart[i] = before.sa_handler == SIG_IGN;
    }
}

void catchStopSignals() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < std::size(kStopSignals); ++i)
        if (!ignoredAtStart[i]) sigaction(kStopSignals[i], &action, nullptr);
}

int stopSignalNumber() { return stopSignal; }

const char* stopSignalName(int signal) { return signal == SIGINT ? "SIGINT" : "SIGTERM"; }

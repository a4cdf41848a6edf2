// The durable background write: at most one at a time, on a thread that
// takes no signals, completed before the process exits.
#include "common/backgroundwrite.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "common/outfile.h"

namespace {

// The background write in progress, at most one.
struct PendingWrite {
    bool active = false;
    pthread_t thread{};
    pid_t owner = 0;
    OutFile file;
    std::vector<uint8_t> bytes;
    bool killBeforeRename = false;
    bool ok = true;
    int error = 0;
};
PendingWrite pending;
// errno of a write that failed and has not yet been reported by endBackgroundWrite.
int unreportedError = 0;
std::vector<uint8_t> spareBuffer;

void keepBuffer() {
    spareBuffer = std::move(pending.bytes);
    pending.bytes = std::vector<uint8_t>();
}

// Waits for the write in progress, if any, and keeps its outcome.
void joinPending() {
    if (!pending.active) return;
    pthread_join(pending.thread, nullptr);
    pending.active = false;
    keepBuffer();
    if (!pending.ok) unreportedError = pending.error;
}

void* writeInBackground(void*) {
    bool ok = std::fwrite(pending.bytes.data(), 1, pending.bytes.size(), pending.file.stream) ==
              pending.bytes.size();
    int error = ok ? 0 : errno;
#if defined(QUELMO_TEST_HOOKS)
    if (pending.killBeforeRename) {
        // Dies as a crash would, with the new file complete under its
        // temporary name and the old one still in place.
        std::fflush(pending.file.stream);
        fsync(fileno(pending.file.stream));
        raise(SIGKILL);
    }
#endif
    if (!commitOutFile(pending.file, /*durable=*/true)) {
        if (ok) error = errno;
        ok = false;
    }
    pending.ok = ok;
    pending.error = error;
    return nullptr;
}

// The process ends only after the write in progress, so a file being
// written at exit is completed rather than left under its temporary name.
void finishWriteAtExit() {
    if (pending.active && pending.owner == getpid()) joinPending();
}

#if defined(QUELMO_TEST_HOOKS)
// Test builds only: the number of the write (1 = first) that kills
// the process before its rename, from QUELMO_TEST_KILL_IN_SNAPSHOT; 0: none.
bool killInThisWrite() {
    static int writesBegun = 0;
    static const int which = [] {
        const char* value = std::getenv("QUELMO_TEST_KILL_IN_SNAPSHOT");
        return value != nullptr ? std::atoi(value) : 0;
    }();
    return ++writesBegun == which;
}
#else
bool killInThisWrite() { return false; }
#endif

}  // namespace

std::vector<uint8_t> reusableWriteBuffer() {
    joinPending();
    std::vector<uint8_t> buffer = std::move(spareBuffer);
    spareBuffer = std::vector<uint8_t>();
    return buffer;
}

bool beginBackgroundWrite(const std::string& path, std::vector<uint8_t>&& bytes) {
    joinPending();
    // The temporary file is made here, on the calling thread: making it
    // changes the process's umask for a moment.
    OutFile file;
    if (!openOutFile(file, path.c_str())) return false;
    static const bool registered = std::atexit(finishWriteAtExit) == 0;
    (void)registered;
    pending.file = file;
    pending.bytes = std::move(bytes);
    pending.killBeforeRename = killInThisWrite();
    pending.ok = true;
    pending.error = 0;
    pending.owner = getpid();

    // The writer takes no signals: SIGINT and SIGTERM belong to the thread
    // that runs the search.
    sigset_t all;
    sigset_t kept;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &kept);
    const int started = pthread_create(&pending.thread, nullptr, writeInBackground, nullptr);
    pthread_sigmask(SIG_SETMASK, &kept, nullptr);
    if (started != 0) {
        // No thread: write here and now.
        writeInBackground(nullptr);
        keepBuffer();
        if (!pending.ok) unreportedError = pending.error;
        return true;
    }
    pending.active = true;
    return true;
}

bool endBackgroundWrite() {
    joinPending();
    const int error = unreportedError;
    unreportedError = 0;
    if (error == 0) return true;
    errno = error;
    return false;
}

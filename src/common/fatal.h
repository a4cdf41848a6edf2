// Every failure is fatal: one message on standard error, then exit status -1.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

// What messages on standard error and fatal errors do beyond writing, kept
// here alone and changed only through this class and FatalThrowing: the
// layers above set it, this one reads it.
class FatalHooks {
  public:
    // Has `clear` called before each message goes to standard error, so
    // that a status line drawn on the terminal can be removed and the
    // message starts a line of its own (null: nothing is called).
    static void clearLineWith(void (*clear)()) { state().clearLine = clear; }
    static void clearLine() {
        if (void (*clear)() = state().clearLine) clear();
    }
    static bool throws() { return state().throws; }

  private:
    struct State {
        void (*clearLine)() = nullptr;
        bool throws = false;
    };
    static State& state() {
        static State hooks;
        return hooks;
    }
    friend class FatalThrowing;
};

// To be called before anything is written to standard error.
inline void clearForMessage() { FatalHooks::clearLine(); }

#if defined(QUELMO_FUZZ_HOOKS) || defined(QUELMO_FATAL_THROWS)
// Builds that run the readers inside another process only: the fuzzing
// harnesses (fuzz/, QUELMO_FUZZ_HOOKS) and the Python extension (python/,
// QUELMO_FATAL_THROWS). While a FatalThrowing lives, a fatal error throws
// FatalError once its message is written, instead of ending the process, so
// that the caller can go on. Code that fails this way must not leave
// anything behind (open files, records that are not linked anywhere); the
// harnesses check that with LeakSanitizer.
struct FatalError {};
class FatalThrowing {
  public:
    FatalThrowing() : before_(FatalHooks::state().throws) { FatalHooks::state().throws = true; }
    ~FatalThrowing() { FatalHooks::state().throws = before_; }
    FatalThrowing(const FatalThrowing&) = delete;
    FatalThrowing& operator=(const FatalThrowing&) = delete;

  private:
    bool before_;
};
#endif

// Ends the process after a fatal error's message has been written.
[[noreturn]] inline void fatalExit() {
#if defined(QUELMO_FUZZ_HOOKS) || defined(QUELMO_FATAL_THROWS)
    if (FatalHooks::throws()) throw FatalError{};
#endif
    std::exit(-1);
}

// Writes the message and ends the process.
//
// Many messages begin "<module> (<function>:<line>)" and pass those three as
// literals, as in fatal("%s (%s:%d) ...", "symtab", "computeInc", 207). They
// are fixed texts of the messages, byte for byte what users and their
// scripts have always seen: they do not name this program's files,
// functions or lines, and must not be "corrected" when code moves or is
// renamed.
[[noreturn]] [[gnu::format(printf, 1, 2)]] inline void fatal(const char* format, ...) {
    clearForMessage();
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    fatalExit();
}

// The cause of a failure, "<path> fails because <reason>" on standard error,
// written before the failure's own message.
inline void reportCause(const char* path, const char* reason) {
    clearForMessage();
    std::fprintf(stderr, "%s fails because %s\n", path, reason);
}

// A mistake in the user's input, told as a plain sentence on a line of its
// own on standard error before the failure's own message: what to fix.
[[gnu::format(printf, 1, 2)]] inline void reportMistake(const char* format, ...) {
    clearForMessage();
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
}

// Every failure is fatal: one message on standard error, then exit status -1.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

[[noreturn]] [[gnu::format(printf, 1, 2)]] inline void fatal(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::exit(-1);
}

// The cause of a failure, "<path> fails because <reason>" on standard error,
// written before the failure's own message.
inline void reportCause(const char* path, const char* reason) {
    std::fprintf(stderr, "%s fails because %s\n", path, reason);
}

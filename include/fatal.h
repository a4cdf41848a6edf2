// Every failure is fatal: one message on standard error, then exit status -1.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

// Called, when set, before the message is written, so that a status line
// drawn on the terminal can be removed and the message starts a line of its own.
inline void (*beforeFatalMessage)() = nullptr;

[[noreturn]] [[gnu::format(printf, 1, 2)]] inline void fatal(const char* format, ...) {
    if (beforeFatalMessage != nullptr) beforeFatalMessage();
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::exit(-1);
}

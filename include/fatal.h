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

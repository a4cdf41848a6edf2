#include "common/textformat.h"

#include <cstdarg>
#include <cstdio>

namespace {

std::string formattedList(const char* format, va_list args) {
    char text[1024];
    std::vsnprintf(text, sizeof text, format, args);
    return text;
}

}  // namespace

std::string formatted(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = formattedList(format, args);
    va_end(args);
    return text;
}

void appendFormatted(std::string& text, const char* format, ...) {
    va_list args;
    va_start(args, format);
    text += formattedList(format, args);
    va_end(args);
}

// printf-style formatting into std::string, for the text blocks of reports.
#pragma once

#include <string>

// The formatted text; at most 1023 characters.
[[gnu::format(printf, 1, 2)]] std::string formatted(const char* format, ...);
// Appends the formatted text (at most 1023 characters) to `text`.
[[gnu::format(printf, 2, 3)]] void appendFormatted(std::string& text, const char* format, ...);

// Warnings about values read from part of what was written: a number
// followed by more text in the same token (`2OO` reads as 2, `11.9` as a
// whole number reads as 11). The values stay as read; the warning says what
// was read, on standard error, naming the line of the file as an editor
// counts it. The ranges file and the coil file share it.
#pragma once

#include <string>

// Where a value was read: the file, the line counting newlines, and what the
// value sets ("maxgenerations", "r2 high", "turns").
struct ValueSite {
    const char* path;
    int line;
    std::string what;
};

// The warning, a line, that only a part of `token` was read, as `value`,
// with `note` (when not empty) in parentheses after the sentence.
std::string partlyReadWarning(const ValueSite& site, const char* token, const std::string& value,
                              const std::string& note);
// Writes a warning of this kind on standard error; those beyond the first
// few are counted (common/warnlimit.h).
void reportPartlyRead(const std::string& warning);

// "(numbers take a decimal point, not a comma)" when the rest at `end`
// begins with a comma and a digit, otherwise empty.
std::string decimalCommaNote(const char* end);

// Warnings about ranges-file text that reads otherwise than it looks: a
// number followed by more text in the same token (`2OO` reads as 2), a
// decimal comma, a name that matches nothing. The values stay as read; the
// warnings only say what was read, on standard error, naming the line of the
// file as an editor counts it.
#pragma once

#include <string>

#include "common/partlyread.h"

// Warns when the number at the start of `token` ended at `end` short of the
// token's end. A rest that begins with white space (a tab, a carriage
// return) is a comment and gets no warning. `value` is the value as read.
void warnPartlyRead(const ValueSite& site, const char* token, const char* end, const std::string& value);

// Warns when a coefficient line `text` holds a number with a decimal comma,
// which the comma splits into two values: in a line whose values are
// separated by blanks, or that held more than five values (`extra`).
void warnDecimalComma(const ValueSite& site, const std::string& text, bool extra);

// The known name (coefficient or setting) closest to `token`, or empty when
// none is close.
std::string closestName(const char* token);

// The sentence to tell before the message for a name that matches nothing,
// or empty when there is nothing to add.
std::string unknownNameHint(const char* token);

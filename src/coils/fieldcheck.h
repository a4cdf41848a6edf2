// Coil-file fields that are not wholly the number read from them: `11.9`
// turns read as 11, `15.9268mm` read as 15.9268 m, a `-` or a byte-order
// mark where the inductance belongs read as 0. The values stay as read; these
// say what was read.
#pragma once

#include <string>

#include "common/partlyread.h"

// The fields of a coil line that hold numbers, in order.
enum class CoilField { measured, radius, wire, gauge, turns, length };

// What the field is, as a message names it ("the number of turns").
const char* coilFieldName(CoilField field);

// The warning when the number read from `token` ended at `end` before the
// field's end (blanks and line ends after it aside), or empty; `value` is
// the value as read.
std::string fieldReadInPart(const ValueSite& site, CoilField field, const char* token, const char* end,
                            const std::string& value);

// The sentence, without the line's place, that says field `token` holds no
// number and was read as 0; empty when `end` shows a number was read.
std::string noNumberSentence(CoilField field, const char* token, const char* end);

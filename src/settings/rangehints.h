// What to fix when the ranges cannot give a search grid: one plain sentence
// on standard error, written just before the failure's own message.
#pragma once

#include <array>
#include <string>

#include "coils/records.h"

// Tells what to fix in the first range of R whose step count cannot be
// derived, as read from the ranges file `path`; `given[k]` says whether the
// file named coefficient k. Tells nothing when every range is valid.
void explainBadRange(const char* path, const std::array<bool, kCoefficientCount>& given);
// The same after range adaptation has moved a range end during the run.
void explainAdaptedRange();


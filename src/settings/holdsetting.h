// The setting hold, coefficients that stay at their range's low in every
// draw, walk and fit, and the check of the setting uncertainty.
#pragma once

#include <cstdint>

#include "coils/records.h"

// The coefficients hold names, comma-separated (bit k: coefficient k). An
// unknown name, or a name given twice, is refused through fatal().
int32_t heldBySetting();
// Refuses a faulty list of hold through heldBySetting.
void refuseUnusableHold();
// Makes each held range the single value low with no draw above it (high =
// low, no steps), so that the draws give low and the grid walk keeps it.
void holdRanges();
// Sets the held coefficients of `set` to their range's low.
void holdCoefficients(ResultRecord* set);
// One warning on standard error naming the ranges whose low equals their
// high without hold: their draws give low or low + resolution.
void warnAboutUnheldSingleValues();
// Refuses an uncertainty that is negative, not a finite number, or 1 or more.
void refuseUnusableUncertainty();

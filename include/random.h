// The random source: MT19937-64, a closed-interval real draw and a grid draw.
#pragma once

#include <cstdint>

#include "symtab.h"

void init_genrand64(uint64_t seed);
uint64_t genrand64_int64();
double uniform();
// y rounded to a whole number, halves away from zero (0.5 gives 1, 2.5 gives
// 3); magnitudes of 2^52 and more, and non-numbers, are returned unchanged.
double roundHalfAway(double y);
double genUniform(const RangeEntry* range);

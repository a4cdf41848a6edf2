// The random source: MT19937-64, a closed-interval real draw and a grid draw.
#pragma once

#include <cstdint>

#include "symtab.h"

void init_genrand64(uint64_t seed);
uint64_t genrand64_int64();
double uniform();
double genUniform(const RangeEntry* range);

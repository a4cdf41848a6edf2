// The random source: MT19937-64, a closed-interval real draw and a grid draw.
#pragma once

#include <array>
#include <cstdint>

struct RangeEntry;

void init_genrand64(uint64_t seed);
uint64_t genrand64_int64();
double uniform();
// y rounded to a whole number, halves away from zero (0.5 gives 1, 2.5 gives
// 3); magnitudes of 2^52 and more, and non-numbers, are returned unchanged.
double roundHalfAway(double y);
double genUniform(const RangeEntry* range);

// The generator's whole state: its 312 words and the index of the next word
// to temper (0 to 312; 313 for a generator never seeded). Restoring a saved
// state continues the stream exactly.
inline constexpr int kRandomStateWords = 312;
struct RandomState {
    std::array<uint64_t, kRandomStateWords> words;
    int32_t index;
};
// The generator's state itself, which snapshots save and restore.
extern RandomState randomSource;
RandomState saveRandomState();
void restoreRandomState(const RandomState& state);

// The random source: the 64-bit Mersenne Twister MT19937-64 with its
// published constants, a closed-interval real draw and a grid draw over a
// coefficient range.
#include "search/random.h"

#include <algorithm>
#include <cmath>

#include "settings/symtab.h"

RandomState randomSource{{}, kRandomStateWords + 1};

namespace {

constexpr int kStateWords = kRandomStateWords;
constexpr int kMiddle = 156;
constexpr uint64_t kUpperMask = 0xFFFFFFFF80000000ULL;  // most significant 33 bits
constexpr uint64_t kLowerMask = 0x7FFFFFFFULL;          // least significant 31 bits
constexpr uint64_t kMag01[2] = {0ULL, 0xB5026F5AA96619E9ULL};

// The words, and the index of the next word to temper; kStateWords + 1
// marks a stream that was never seeded.
auto& mt = randomSource.words;
int32_t& mti = randomSource.index;

uint64_t twist(uint64_t upper, uint64_t lower, uint64_t distant) {
    const uint64_t x = (upper & kUpperMask) | (lower & kLowerMask);
    return distant ^ (x >> 1) ^ kMag01[x & 1ULL];
}

// Regenerates all state words in place.
void regenerate() {
    int i = 0;
    for (; i < kStateWords - kMiddle; ++i) mt[i] = twist(mt[i], mt[i + 1], mt[i + kMiddle]);
    for (; i < kStateWords - 1; ++i) mt[i] = twist(mt[i], mt[i + 1], mt[i + kMiddle - kStateWords]);
    mt[kStateWords - 1] = twist(mt[kStateWords - 1], mt[0], mt[kMiddle - 1]);
    mti = 0;
}

}  // namespace

void init_genrand64(uint64_t seed) {
    mt[0] = seed;
    for (int i = 1; i < kStateWords; ++i) {
        const uint64_t w = mt[i - 1];
        mt[i] = 6364136223846793005ULL * (w ^ (w >> 62)) + static_cast<uint64_t>(i);
    }
    mti = kStateWords;
}

uint64_t genrand64_int64() {
    if (mti >= kStateWords) {
        if (mti == kStateWords + 1) init_genrand64(5489ULL);
        regenerate();
    }
    uint64_t x = mt[mti++];
    x ^= (x >> 29) & 0x5555555555555555ULL;
    x ^= (x << 17) & 0x71D67FFFEDA60000ULL;
    x ^= (x << 37) & 0xFFF7EEE000000000ULL;
    x ^= x >> 43;
    return x;
}

// The top 53 bits of one output over 2^53 - 1: both 0.0 and 1.0 are reachable.
double uniform() {
    return static_cast<double>(genrand64_int64() >> 11) * 1.1102230246251568e-16;
}

double roundHalfAway(double y) {
    const double magnitude = std::fabs(y);
    if (!(magnitude < 4503599627370496.0)) return y;  // 2^52 and above are whole already
    // 0.49999999999999994 is the largest double below 0.5; adding 0.5 itself
    // would carry 0.49999999999999994 up to 1.
    return std::copysign(std::trunc(magnitude + 0.49999999999999994), y);
}

double genUniform(const RangeEntry* range) {
    const double y = uniform() * static_cast<double>(range->steps);
    return roundHalfAway(y) * range->resolution + range->low;
}

RandomState saveRandomState() { return randomSource; }

void restoreRandomState(const RandomState& state) { randomSource = state; }

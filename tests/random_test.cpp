// The random source: the generator against the published reference values
// and the standard library's engine of the same recurrence, the closed
// interval real draw, and the grid draw with its rounding.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <random>
#include <string>

#include "search/random.h"
#include "settings/symtab.h"

namespace {

// The real draw as published: the top 53 bits over 2^53 - 1.
double realDraw(uint64_t output) {
    return static_cast<double>(output >> 11) * 1.1102230246251568e-16;
}

// Seeds the program's stream and `reference` alike.
void seedBoth(uint64_t seed, std::mt19937_64& reference) {
    init_genrand64(seed);
    reference.seed(seed);
}

}  // namespace

TEST(Generator, PublishedValuesForSeed5489) {
    init_genrand64(5489);
    EXPECT_EQ(genrand64_int64(), 14514284786278117030ULL);
    for (int n = 2; n < 10000; ++n) genrand64_int64();
    EXPECT_EQ(genrand64_int64(), 9981545732273789042ULL);
}

TEST(Generator, UnseededStreamIsSeed5489) {
    // Runs in a freshly started copy of the test program, where nothing has
    // seeded the stream yet.
    const std::string style = GTEST_FLAG_GET(death_test_style);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            std::mt19937_64 reference(5489);
            bool same = true;
            for (int n = 0; n < 1000; ++n) same = same && genrand64_int64() == reference();
            std::exit(same ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
    GTEST_FLAG_SET(death_test_style, style);
}

TEST(Generator, MatchesStandardEngineForManySeeds) {
    const uint64_t seeds[] = {0, 1, 5489, 1033888277, 0xFFFFFFFFULL, (uint64_t{1} << 32) + 7,
                              0x9E3779B97F4A7C15ULL, UINT64_MAX};
    std::mt19937_64 reference;
    for (uint64_t seed : seeds) {
        seedBoth(seed, reference);
        for (int n = 0; n < 1000; ++n) ASSERT_EQ(genrand64_int64(), reference()) << "seed " << seed << " output " << n;
    }
}

TEST(Generator, LongRunMatchesStandardEngine) {
    std::mt19937_64 reference;
    seedBoth(0x0123456789ABCDEFULL, reference);
    for (int n = 0; n < 2000000; ++n) {
        if (genrand64_int64() != reference()) FAIL() << "output " << n;
    }
}

TEST(Uniform, OneOutputPerDrawOnTheClosedInterval) {
    std::mt19937_64 reference;
    seedBoth(42, reference);
    for (int n = 0; n < 100000; ++n) {
        const double u = uniform();
        ASSERT_EQ(u, realDraw(reference())) << "draw " << n;
        ASSERT_GE(u, 0.0);
        ASSERT_LE(u, 1.0);
    }
    // The extremes of the output map onto the ends of the interval exactly,
    // which a factor of 2^-53 would not do at the top.
    EXPECT_EQ(realDraw(0x7FFULL), 0.0);
    EXPECT_EQ(realDraw(~uint64_t{0x7FF}), 1.0);
}

TEST(GridDraw, RoundsHalvesAwayFromZero) {
    EXPECT_EQ(roundHalfAway(2.5), 3.0);
    EXPECT_EQ(roundHalfAway(0.5), 1.0);
    EXPECT_EQ(roundHalfAway(-2.5), -3.0);
    EXPECT_EQ(roundHalfAway(0.49999999999999994), 0.0);
    EXPECT_EQ(roundHalfAway(2.4999999999999996), 2.0);
    EXPECT_EQ(roundHalfAway(4503599627370495.5), 4503599627370496.0);  // just below 2^52
    EXPECT_EQ(roundHalfAway(1e300), 1e300);
}

TEST(GridDraw, ZeroStepsGivesLowAndStillDraws) {
    RangeEntry range{"r0", -3.25, 0, 0.5, 0, 0, 0};
    std::mt19937_64 reference;
    seedBoth(9, reference);
    for (int n = 0; n < 10; ++n) EXPECT_EQ(genUniform(&range), -3.25);
    for (int n = 0; n < 10; ++n) reference();
    EXPECT_EQ(genrand64_int64(), reference());
}

TEST(GridDraw, HalfStepGridOverZeroToOne) {
    // Steps 3 over low 0, resolution 0.5: the end points come half as often
    // as the inner points, and the top point lies above high.
    RangeEntry range{"r0", 0, 1, 0.5, 3, 0, 0};
    init_genrand64(20240611);
    std::map<double, int> counts;
    const int draws = 60000;
    for (int n = 0; n < draws; ++n) ++counts[genUniform(&range)];
    ASSERT_EQ(counts.size(), 4u);
    EXPECT_NEAR(counts[0.0] / double(draws), 1.0 / 6, 0.01);
    EXPECT_NEAR(counts[0.5] / double(draws), 1.0 / 3, 0.01);
    EXPECT_NEAR(counts[1.0] / double(draws), 1.0 / 3, 0.01);
    EXPECT_NEAR(counts[1.5] / double(draws), 1.0 / 6, 0.01);
}

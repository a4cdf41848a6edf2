// Range adaptation during a run and the workers' range table check.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "coils/records.h"
#include "settings/symtab.h"
#include "testhooks.h"

namespace {

// Every entry 0..1 by 0.01, and a best set in the middle of every range, so
// only the entries a test changes can move.
ResultRecord middleTable(int rangeexpand = 1) {
    resetTables();
    for (RangeEntry& entry : R) {
        entry.low = 0;
        entry.high = 1;
        entry.resolution = 0.01;
        entry.minorInc = 0.001;
        entry.mcount = 2;
    }
    S[kRangeExpand].value.i = rangeexpand;
    ResultRecord best{};
    best.coefficients.fill(0.5);
    computeInc();
    return best;
}

void setRange(int k, double low, double high, double resolution = 0.01) {
    R[k].low = low;
    R[k].high = high;
    R[k].resolution = resolution;
    computeInc();
}

std::string adapt(const ResultRecord& best) {
    testing::internal::CaptureStdout();
    fixOneRange(&best);
    return testing::internal::GetCapturedStdout();
}

}  // namespace

TEST(FixOneRange, ExampleChangesMoveTheEndTheBestSetTouches) {
    struct Example {
        int k;
        double low, high, best;
        const char* line;
        double newLow, newHigh;
    };
    const Example examples[] = {
        {cR0, 0.001, 2, 0.001, "  Lowered r0 from 0.001, 2 to  0, 2\n", 0, 2},
        {cW1, -0.5, 1.5, -0.5, "  Lowered w1 from -0.5, 1.5 to  -1, 1.5\n", -1, 1.5},
        {cT2, 0, 3, 0, "  Lowered t2 from 0, 3 to  -3, 3\n", -3, 3},
        {cL3, -2, 4, 4, "  Raised l3 from -2, 4 to  -2, 8\n", -2, 8},
        {cL3, -2, -1, -1, "  Raised l3 from -2, -1 to  -2, 0\n", -2, 0},
        {cL3, -2, 0, 0, "  Raised l3 from -2, 0 to  -2, 2\n", -2, 2},
    };
    for (const Example& example : examples) {
        SCOPED_TRACE(example.line);
        ResultRecord best = middleTable();
        setRange(example.k, example.low, example.high);
        best.coefficients[example.k] = example.best;
        EXPECT_EQ(adapt(best), example.line);
        EXPECT_EQ(R[example.k].low, example.newLow);
        EXPECT_EQ(R[example.k].high, example.newHigh);
        EXPECT_EQ(R[example.k].steps, static_cast<int>((example.newHigh - example.newLow) / 0.01) + 1);
        EXPECT_EQ(R[example.k].resolution, 0.01);
        EXPECT_EQ(R[example.k].mcount, 2);
    }
}

TEST(FixOneRange, BestNearLowEndDoublesTheRangeAndItsSteps) {
    ResultRecord best = middleTable();
    setRange(cR0, 0, 2);
    best.coefficients[cR0] = 0.012;
    EXPECT_EQ(R[cR0].steps, 201);
    EXPECT_EQ(adapt(best), "  Lowered r0 from 0, 2 to  -2, 2\n");
    EXPECT_EQ(R[cR0].steps, 401);
    EXPECT_EQ(R[cR1].steps, 101);
}

TEST(FixOneRange, NothingHappensWhileRangeExpandIsOff) {
    ResultRecord best = middleTable(0);
    best.coefficients[cR0] = 0;  // at its low end
    best.coefficients[cL3] = 1;  // at its high end
    const auto before = R;
    EXPECT_EQ(adapt(best), "");
    for (int k = 0; k < kCoefficientCount; ++k) {
        EXPECT_EQ(R[k].low, before[k].low);
        EXPECT_EQ(R[k].high, before[k].high);
    }
}

TEST(FixOneRange, LowersOneEntryThenRaisesAnotherInOneCall) {
    ResultRecord best = middleTable();
    best.coefficients[cR0] = 0.005;
    best.coefficients[cL3] = 0.995;
    EXPECT_EQ(adapt(best),
              "  Lowered r0 from 0, 1 to  -1, 1\n"
              "  Raised l3 from 0, 1 to  0, 2\n");
    EXPECT_EQ(R[cR0].steps, 201);
    EXPECT_EQ(R[cL3].steps, 201);
}

TEST(FixOneRange, RaisingSearchSeesTheWidthTheLoweringGave) {
    // r0 is close to its low end of a very narrow range; once the low end
    // drops to 0 the same value lies within 1 % of the high end.
    ResultRecord best = middleTable();
    setRange(cR0, 1, 1.0001, 1e-5);
    best.coefficients[cR0] = 1.0000005;
    EXPECT_EQ(adapt(best),
              "  Lowered r0 from 1, 1.0001 to  0, 1.0001\n"
              "  Raised r0 from 0, 1.0001 to  0, 2.0002\n");
}

TEST(FixOneRange, TiesGoToTheEarlierEntry) {
    ResultRecord best = middleTable();
    best.coefficients[cW0] = 0.005;
    best.coefficients[cT1] = 0.005;
    best.coefficients[cR2] = 0.995;
    best.coefficients[cL0] = 0.995;
    EXPECT_EQ(adapt(best),
              "  Lowered w0 from 0, 1 to  -1, 1\n"
              "  Raised r2 from 0, 1 to  0, 2\n");
}

TEST(FixOneRange, DistanceIsTakenWithoutSign) {
    ResultRecord best = middleTable();
    setRange(cR0, 1, 2);
    best.coefficients[cR0] = 0.5;  // below low by half the width
    EXPECT_EQ(adapt(best), "");
    EXPECT_EQ(R[cR0].low, 1);
}

TEST(FixOneRange, NaNRatioNeverWins) {
    // r0 has width 0 with the best value on it: 0/0. w0 sits on its low end.
    ResultRecord best = middleTable();
    setRange(cR0, 0.5, 0.5);
    best.coefficients[cW0] = 0;
    EXPECT_EQ(adapt(best), "  Lowered w0 from 0, 1 to  -1, 1\n");
    EXPECT_EQ(R[cR0].low, 0.5);
}

TEST(FixOneRange, HighBelowLowBeatsEveryNormalRangeInBothSearches) {
    // l0 and l1 have high below low by less than one resolution; their
    // ratios are negative. r0 sits on its low end with ratio 0 and still loses.
    ResultRecord best = middleTable();
    setRange(cL0, 1, 0.995);
    setRange(cL1, 1, 0.995);
    best.coefficients[cL0] = 1.2;
    best.coefficients[cL1] = 1.2;
    best.coefficients[cR0] = 0;
    EXPECT_EQ(adapt(best),
              "  Lowered l0 from 1, 0.995 to  0, 0.995\n"
              "  Raised l1 from 1, 0.995 to  1, 1.99\n");
    EXPECT_EQ(R[cR0].low, 0);
    EXPECT_EQ(R[cL1].steps, 100);
}

TEST(CheckRangeTable, ListsNonPositiveMinorCountsWithTheProcessId) {
    middleTable();
    const std::string pid = std::to_string(getpid());
    testing::internal::CaptureStdout();
    checkRangeTable();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    R[cR1].mcount = -3;
    R[cL3].mcount = 0;
    testing::internal::CaptureStdout();
    checkRangeTable();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Range table error pid " + pid + " r1 has mcount of -3\n" +
                  "Range table error pid " + pid + " l3 has mcount of 0\n" + "Task " + pid +
                  " abort\n");
}

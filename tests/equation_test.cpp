// The inductance equation and the goodness of a set.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "coils/equation.h"
#include "coils/storage.h"

namespace {

// The ideal long solenoid: L = mu0 * a^2 * N^2 * pi / len with
// R = pi a^2, T = N^2, Lambda = len, W = 1.
ResultRecord solenoid() {
    ResultRecord set{};
    set.coefficients[cR2] = 3.14159;
    set.coefficients[cT2] = 1;
    set.coefficients[cL1] = 1;
    set.coefficients[cW0] = 1;
    return set;
}

InductorRecord coil(double measured, double radius = 0.01, int turns = 10, double length = 0.02) {
    InductorRecord c{};
    c.measuredInductance = measured;
    c.radius = radius;
    c.wire = 0.0002;
    c.gauge = 24;
    c.turns = turns;
    c.length = length;
    return c;
}

// Links the coils in the given order.
InductorRecord* link(std::vector<InductorRecord>& coils) {
    for (size_t i = 0; i + 1 < coils.size(); ++i) coils[i].next = &coils[i + 1];
    return coils.empty() ? nullptr : &coils[0];
}

}  // namespace

TEST(Equation, ComputesTheInductanceInTheWrittenOrder) {
    ResultRecord set = solenoid();
    set.coefficients[cR3] = 0.5;
    set.coefficients[cL3] = 2;
    InductorRecord c = coil(1e-6);
    const double a = 0.01, n = 10, len = 0.02, w = 0.0002;
    const double lambda = ((2 * len + 0) * len + 1) * len + 0;
    const double wire = (0 * w + 0) * w + 1;
    const double radius = ((0.5 * a + 3.14159) * a + 0) * a + 0;
    const double turns = ((0 * n + 1) * n + 0) * n + 0;
    const double expected = (radius * 1.256637061435916e-6) * turns / (lambda * wire);
    EXPECT_EQ(evalInductorAbs(&c, &set), expected);

    // Every coefficient non-zero and a coil of odd sizes, so that another
    // grouping of the operations would show in the last bits. The grid walk
    // shares these operations, so this is what pins them down.
    const double k[kCoefficientCount] = {-8.73e-6, 0.00996, 1.985,  -4.98, 1.03, 427.9, -3.36e5, -2.14,
                                         0.250,    1.01,    -9.1e-4, 0.0065, 0.97, -2.24, -0.27};
    for (int i = 0; i < kCoefficientCount; ++i) set.coefficients[i] = k[i];
    InductorRecord odd = coil(1e-6, 0.0123456789, 37, 0.0456789);
    odd.wire = 0.000321;
    const double a2 = odd.radius, n2 = 37, len2 = odd.length, w2 = odd.wire;
    const double lambda2 = ((k[cL3] * len2 + k[cL2]) * len2 + k[cL1]) * len2 + k[cL0];
    const double wire2 = (k[cW2] * w2 + k[cW1]) * w2 + k[cW0];
    const double radius2 = ((k[cR3] * a2 + k[cR2]) * a2 + k[cR1]) * a2 + k[cR0];
    const double turns2 = ((k[cT3] * n2 + k[cT2]) * n2 + k[cT1]) * n2 + k[cT0];
    EXPECT_EQ(evalInductorAbs(&odd, &set), (radius2 * 1.256637061435916e-6) * turns2 / (lambda2 * wire2));
    // mu0 is the decimal literal, not 4 pi 1e-7 worked out in floating point.
    EXPECT_EQ(kMu0, 1.256637061435916e-6);
    EXPECT_NE(kMu0, 4 * 3.141592653589793 * 1e-7);
}

TEST(Equation, RefusesZeroAndNaNButNotNegativesOrInfinities) {
    InductorRecord c = coil(1e-6);
    ResultRecord zero{};
    EXPECT_EQ(evalInductorAbs(&c, &zero), 1e208);

    ResultRecord noWire = solenoid();
    noWire.coefficients[cW0] = 0;
    EXPECT_EQ(evalInductorAbs(&c, &noWire), 1e208);
    EXPECT_EQ(evalInductor(&c, &noWire), 1e208);

    ResultRecord noTurns = solenoid();
    noTurns.coefficients[cT2] = 0;
    EXPECT_EQ(evalInductorAbs(&c, &noTurns), 1e208);

    ResultRecord nan = solenoid();
    nan.coefficients[cL0] = std::nan("");
    EXPECT_EQ(evalInductorAbs(&c, &nan), 1e208);

    ResultRecord bothNegative = solenoid();
    bothNegative.coefficients[cW0] = -1;
    bothNegative.coefficients[cT2] = -1;
    const ResultRecord plain = solenoid();
    EXPECT_EQ(evalInductorAbs(&c, &bothNegative), evalInductorAbs(&c, &plain));
    ResultRecord oneNegative = solenoid();
    oneNegative.coefficients[cW0] = -1;
    EXPECT_LT(evalInductorAbs(&c, &oneNegative), 0);
    EXPECT_GT(evalInductor(&c, &oneNegative), 1);

    ResultRecord huge = solenoid();
    huge.coefficients[cR2] = 1e308;
    huge.coefficients[cT2] = 1e308;
    EXPECT_EQ(evalInductorAbs(&c, &huge), std::numeric_limits<double>::infinity());
}

TEST(Goodness, IsTheRmsOfTheCountedCoils) {
    ResultRecord set = solenoid();
    InductorRecord probe = coil(1);
    const double l = evalInductorAbs(&probe, &set);
    std::vector<InductorRecord> pair = {coil(l / 1.1), coil(l / 0.9)};
    evalInductors(link(pair), &set);
    EXPECT_NEAR(set.goodness, 0.1, 1e-15);

    // A refused coil (its zero-turn polynomial gives M = 0) is left out.
    ResultRecord cubic = set;
    cubic.coefficients[cT2] = 0;
    cubic.coefficients[cT0] = -10;
    cubic.coefficients[cT1] = 1;  // T(N) = N - 10: zero at ten turns
    InductorRecord eleven = coil(1, 0.01, 11);
    const double l11 = evalInductorAbs(&eleven, &cubic);
    std::vector<InductorRecord> mixed = {coil(l11 / 1.5, 0.01, 11), coil(1, 0.01, 10)};
    evalInductors(link(mixed), &cubic);
    EXPECT_DOUBLE_EQ(cubic.goodness, 0.5);
}

TEST(Goodness, SentinelAndInfinity) {
    ResultRecord set = solenoid();
    evalInductors(nullptr, &set);
    EXPECT_EQ(set.goodness, 1e208);

    ResultRecord zero{};
    std::vector<InductorRecord> two = {coil(1e-6), coil(2e-6)};
    evalInductors(link(two), &zero);
    EXPECT_EQ(zero.goodness, 1e208);

    // A coil measured at 0 gives an infinite error, which counts.
    std::vector<InductorRecord> measuredZero = {coil(1e-6), coil(0)};
    evalInductors(link(measuredZero), &set);
    EXPECT_EQ(set.goodness, std::numeric_limits<double>::infinity());
}

TEST(Goodness, SumsInListOrder) {
    // Three errors whose sum depends on the order of addition.
    ResultRecord set = solenoid();
    InductorRecord probe = coil(1);
    const double l = evalInductorAbs(&probe, &set);
    std::vector<InductorRecord> coils = {coil(l / (1 + 1e-8)), coil(l / (1 + 1e-8)), coil(l / 2)};
    double e[3];
    for (int i = 0; i < 3; ++i) e[i] = evalInductor(&coils[i], &set);
    const double inOrder = (e[0] + e[1]) + e[2];
    const double reversed = (e[2] + e[1]) + e[0];
    ASSERT_NE(inOrder, reversed);  // the data is sensitive to the order
    evalInductors(link(coils), &set);
    EXPECT_EQ(set.goodness, std::sqrt(inOrder / 3));
}

// Normalisation of the equation's free scales: the held coefficients become
// 1, the inductances stay to the last bits, bad held values leave the set as
// it was, and the polish ends differently scaled sets at the same one.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <string>

#include "cli_util.h"
#include "coils/equation.h"
#include "coils/readind.h"
#include "refine/normalize.h"
#include "refine/polish.h"
#include "settings/symtab.h"
#include "testhooks.h"

namespace {

int32_t bit(int k) { return int32_t{1} << k; }
const int32_t kScales = bit(cW0) | bit(cT2) | bit(cL1);

// A set of the search on the example coils, off the optimum and off the
// normalisation (w0 1.247, t2 1.020, l1 1.135).
constexpr Coefficients kFound = {
    0.00002442312341, 0.00009804970108, 3.76357191414569, -31.69034624432601, 1.24672884299402,
    -280.72249376538269, 277172.27999999996973, -0.70913176626091, 0.0, 1.01986636527706,
    -0.00054010473582, 0.00887910499358, 1.13531389598634, -0.63392294585783, -11.01539417776527};

const InductorRecord* exampleCoils() {
    static const InductorRecord* coils = [] {
        theInductors = nullptr;
        readTestInductors(sourcePath("examples/coils-example.txt").c_str());
        return theInductors;
    }();
    return coils;
}

ResultRecord setOf(const Coefficients& c) {
    ResultRecord set{};
    set.coefficients = c;
    evalInductors(exampleCoils(), &set);
    return set;
}

// The largest relative difference of the two sets' inductances over the coils.
double largestInductanceChange(const ResultRecord& a, const ResultRecord& b) {
    double largest = 0;
    for (const InductorRecord* coil = exampleCoils(); coil != nullptr; coil = coil->next) {
        const double la = evalInductorAbs(coil, &a);
        largest = std::max(largest, std::fabs(evalInductorAbs(coil, &b) - la) / std::fabs(la));
    }
    return largest;
}

}  // namespace

// The scales change exactly as far as rounding each coefficient once allows:
// every inductance within a few units in the last place, the goodness alike.
TEST(Normalize, PutsTheHeldCoefficientsAtOneAndKeepsTheInductances) {
    const ResultRecord before = setOf(kFound);
    Coefficients c = kFound;
    ASSERT_EQ(normalizeScales(c, kScales, 0), "");
    EXPECT_EQ(c[cW0], 1.0);
    EXPECT_EQ(c[cT2], 1.0);
    EXPECT_EQ(c[cL1], 1.0);
    EXPECT_EQ(c[cT1], 0.0);
    const ResultRecord after = setOf(c);
    const double eps = std::numeric_limits<double>::epsilon();
    EXPECT_LE(largestInductanceChange(before, after), 8 * eps);
    EXPECT_LE(std::fabs(after.goodness - before.goodness), 8 * eps * before.goodness);
    // A second normalisation changes nothing.
    Coefficients again = c;
    ASSERT_EQ(normalizeScales(again, kScales, 0), "");
    EXPECT_EQ(again, c);
}

TEST(Normalize, RefusesAndLeavesTheSetAsItWas) {
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        const char* name;
        int coefficient;  // set to `value`; -1: none
        double value;
        int32_t held;
        int32_t pinned;
        const char* why;
    };
    const Case cases[] = {
        {"held 0", cT2, 0.0, kScales, 0, "t2 is 0"},
        {"held inf", cW0, inf, kScales, 0, "w0 is not a finite number"},
        {"held nan", cL1, std::nan(""), kScales, 0, "l1 is not a finite number"},
        {"two of T", -1, 0, kScales | bit(cT0), 0, "two coefficients of one polynomial are held"},
        {"R holds", -1, 0, kScales | bit(cR2), 0, "r2 holds a scale of R"},
        {"pinned r2", -1, 0, kScales, bit(cR2), "r2 is pinned at a value other than 0"},
        {"pinned l2", -1, 0, kScales, bit(cL2), "l2 is pinned at a value other than 0"},
    };
    for (const Case& t : cases) {
        SCOPED_TRACE(t.name);
        Coefficients c = kFound;
        if (t.coefficient >= 0) c[t.coefficient] = t.value;
        const Coefficients given = c;
        EXPECT_EQ(normalizeScales(c, t.held, t.pinned), t.why);
        for (int k = 0; k < kCoefficientCount; ++k)
            EXPECT_TRUE(c[k] == given[k] || (std::isnan(c[k]) && std::isnan(given[k]))) << k;
    }
    // A pinned 0 scales with nothing and keeps its sign.
    Coefficients c = kFound;
    c[cT1] = -0.0;
    ASSERT_EQ(normalizeScales(c, kScales, bit(cT1)), "");
    EXPECT_TRUE(std::signbit(c[cT1]));
    EXPECT_EQ(coefficientList(kScales), "w0, t2 and l1");
}

// Two starts of one family (the same set with its three scales changed) end
// at the same normalised set: the solve no longer keeps where each started.
TEST(Normalize, ThePolishEndsDifferentlyScaledStartsAtOneSet) {
    resetTables();
    for (RangeEntry& range : R) range.high = range.low + 1;  // nothing pinned
    Coefficients scaled = kFound;
    const double t = 0.8, l = 1.3, w = 0.7;
    for (int k = cT0; k <= cT3; ++k) scaled[k] *= t;
    for (int k = cL0; k <= cL3; ++k) scaled[k] *= l;
    for (int k = cW0; k <= cW2; ++k) scaled[k] *= w;
    for (int k = cR0; k <= cR3; ++k) scaled[k] *= l * w / t;
    ResultRecord first = setOf(kFound), second = setOf(scaled);
    const PolishOutcome a = polishSet(exampleCoils(), &first, 0, true);
    const PolishOutcome b = polishSet(exampleCoils(), &second, 0, true);
    ASSERT_TRUE(a.replaced && b.replaced) << a.kept << b.kept;
    EXPECT_TRUE(a.normalised && b.normalised);
    EXPECT_EQ(a.held, kScales);
    EXPECT_NEAR(first.goodness, 0.0772456, 1e-7);
    for (int k = 0; k < kCoefficientCount; ++k)
        EXPECT_NEAR(second.coefficients[k], first.coefficients[k], 1e-7 * std::fabs(first.coefficients[k]))
            << kCoefficientNames[k];
    resetTables();
}

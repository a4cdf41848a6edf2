// The least-squares polish: what it does to crafted sets on the example
// coils, the rule that decides whether its set is taken, and the final
// report of a polished set.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "cli_util.h"
#include "coils/equation.h"
#include "coils/readind.h"
#include "refine/normalize.h"
#include "refine/polish.h"
#include "reports/finalreport.h"
#include "search/sort.h"
#include "common/stopsignals.h"
#include "settings/symtab.h"
#include "testhooks.h"

namespace {

// The least-squares optimum on the example coils (examples/ranges-check.txt)
// and its goodness.
constexpr std::array<double, kCoefficientCount> kBestKnown = {
    -8.732781689279856e-06, 0.009955939075009634, 1.9850171547235633, -4.984484737436539,
    1.0, 427.8619018317577, -336246.1873987322,
    -2.1439263288092216, 0.24952814200376455, 1.0, -0.0009084954525924058,
    0.006500111725152886, 1.0, -2.2350988138900956, -0.26797532377414307};
constexpr double kBestGoodness = 0.0772456;

// The best set of the first 20 generations of the example fit with one
// worker (goodness 0.087488), as the report lists it.
constexpr std::array<double, kCoefficientCount> kFoundAfter20Generations = {
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

ResultRecord setOf(const std::array<double, kCoefficientCount>& coefficients) {
    ResultRecord set{};
    set.coefficients = coefficients;
    set.changeMask = 0x1234;
    evalInductors(exampleCoils(), &set);
    return set;
}

int32_t bit(int k) { return int32_t{1} << k; }

// Pins the coefficients of `mask` in the range table at the set's values
// and gives every other one a range of nonzero width.
void pinInRanges(const ResultRecord& set, int32_t mask) {
    resetTables();
    for (int k = 0; k < kCoefficientCount; ++k) {
        const double value = set.coefficients[k];
        R[k].low = (mask & bit(k)) != 0 ? value : value - 1;
        R[k].high = (mask & bit(k)) != 0 ? value : value + 1;
    }
}

}  // namespace

// Sets a solve should improve, or must leave alone. Whatever happens, the set
// that comes back is never worse, its goodness is what evalInductors gives it,
// and pinned coefficients keep every bit.
TEST(Polish, ImprovesOrKeepsAndHoldsPinnedCoefficients) {
    // Every coefficient off the optimum by up to 5 %.
    std::array<double, kCoefficientCount> perturbed = kBestKnown;
    for (int k = 0; k < kCoefficientCount; ++k) perturbed[k] *= 1 + 0.025 * ((k * 7) % 5 - 2);
    // Pins on r2, w0 and t2 fix three scales of the equation, so the optimum
    // stays in reach; Λ scaled by 1.1 must then come back by itself.
    std::array<double, kCoefficientCount> lambdaScaled = kBestKnown;
    for (int k = cL0; k <= cL3; ++k) lambdaScaled[k] *= 1.1;
    // r3 pinned at zero: the optimum is out of reach, a better set is not.
    std::array<double, kCoefficientCount> noCubic = kBestKnown;
    noCubic[cR3] = 0;
    // No wire polynomial: no coil can be evaluated.
    std::array<double, kCoefficientCount> noWire = kBestKnown;
    noWire[cW0] = noWire[cW1] = noWire[cW2] = 0;

    struct Case {
        const char* name;
        std::array<double, kCoefficientCount> start;
        int32_t pinned;
        bool reachesOptimum;
        bool mustReplace;
        const char* kept;  // expected reason when the found set must stay
    };
    const Case cases[] = {
        {"perturbed", perturbed, 0, true, true, nullptr},
        {"scale pins", lambdaScaled, bit(cR2) | bit(cW0) | bit(cT2), true, true, nullptr},
        {"r3 pinned at 0", noCubic, bit(cR3), false, true, nullptr},
        {"optimum", kBestKnown, 0, true, false, nullptr},
        {"no coil", noWire, 0, false, false, "the found set evaluates no coil"},
        {"all pinned", perturbed, (1 << kCoefficientCount) - 1, false, false,
         "every coefficient is pinned or holds a scale"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ResultRecord start = setOf(c.start);
        ResultRecord set = start;
        pinInRanges(start, c.pinned);
        const PolishOutcome outcome = polishSet(exampleCoils(), &set, pinnedCoefficients());
        EXPECT_EQ(outcome.found, start.goodness);
        EXPECT_EQ(set.changeMask, start.changeMask);
        for (int k = 0; k < kCoefficientCount; ++k) {
            if ((c.pinned & bit(k)) != 0) {
                EXPECT_EQ(std::memcmp(&set.coefficients[k], &start.coefficients[k], sizeof(double)), 0) << k;
            }
        }
        if (outcome.replaced) {
            EXPECT_EQ(outcome.kept, "");
            EXPECT_LT(set.goodness, start.goodness);
            EXPECT_EQ(set.goodness, outcome.polished);
            ResultRecord again = set;
            evalInductors(exampleCoils(), &again);
            EXPECT_EQ(again.goodness, set.goodness);
        } else {
            EXPECT_EQ(std::memcmp(&set, &start, sizeof set), 0);
            EXPECT_NE(outcome.kept, "");
        }
        if (c.kept != nullptr) {
            EXPECT_EQ(outcome.kept, c.kept);
        }
        if (c.reachesOptimum) {
            EXPECT_NEAR(set.goodness, kBestGoodness, 1e-6);
        }
        if (c.mustReplace) {
            EXPECT_TRUE(outcome.replaced);
        }
    }
    resetTables();
}

// The polished set is taken only when it scores strictly lower and evaluates
// every coil the found set evaluates.
TEST(Polish, TakesOnlyALowerGoodnessThatKeepsEveryCoil) {
    // Three coils of lengths 1, 2 and 3 cm with the ideal long solenoid; a
    // root of Λ at a coil's length leaves that coil out.
    std::vector<InductorRecord> coils(3);
    const char* names[] = {"one", "two", "three"};
    for (int i = 0; i < 3; ++i) {
        coils[i].measuredInductance = 1e-6;
        coils[i].radius = 0.01;
        coils[i].wire = 0.0002;
        coils[i].turns = 10;
        coils[i].length = 0.01 * (i + 1);
        coils[i].fileName = const_cast<char*>(names[i]);
        if (i > 0) coils[i - 1].next = &coils[i];
    }
    const auto set = [](double goodness, double lambdaRoot) {
        ResultRecord s{};
        s.coefficients[cR2] = 3.14159;
        s.coefficients[cT2] = 1;
        s.coefficients[cL1] = 1;
        s.coefficients[cL0] = -lambdaRoot;
        s.coefficients[cW0] = 1;
        s.goodness = goodness;
        return s;
    };
    struct Case {
        const char* name;
        ResultRecord found;
        ResultRecord polished;
        std::string refusal;
    };
    const Case cases[] = {
        {"lower", set(0.2, 0), set(0.1, 0), ""},
        {"equal", set(0.2, 0), set(0.2, 0), "the polished set is no better (goodness 0.2 against 0.2)"},
        {"no value", set(0.2, 0), set(kNoValue, 0),
         "the polished set is no better (goodness 1e+208 against 0.2)"},
        {"loses a coil", set(0.2, 0), set(0.1, 0.02), "the polished set cannot evaluate coil two"},
        {"gains a coil", set(0.2, 0.02), set(0.1, 0), ""},
        {"same coil out", set(0.2, 0.03), set(0.1, 0.03), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(polishRefusal(&coils[0], &c.found, &c.polished), c.refusal);
    }
}

namespace {

// The set listing that begins at `from` in `text`: the goodness line and 15
// coefficient lines.
std::string listingAt(const std::string& text, size_t from) {
    size_t end = from;
    for (int line = 0; line < 16 && end != std::string::npos; ++line) end = text.find('\n', end) + 1;
    return text.substr(from, end - from);
}

}  // namespace

// The final report polishes first: its lines, the result file and the
// exports are then those of a report of the polished set without the polish,
// and the checkpoint holds the polished set.
TEST(Polish, EveryOutputShowsThePolishedSet) {
    CliRun scratch;
    struct Outputs {
        std::string out, checkpoint;
        std::vector<std::string> files;
    };
    const std::pair<int, const char*> files[] = {
        {kResultFile, "result.txt"}, {kResultC, "table.c"}, {kResultJa, "table.ja"}};
    const ResultRecord start = setOf(kFoundAfter20Generations);
    const auto report = [&](ResultRecord* best, int polish) {
        pinInRanges(start, 0);
        S[kPolish].value.i = polish;
        for (const auto& [setting, name] : files) S[setting].value.s = strdup((scratch.dir() / name).c_str());
        S[kCheckpoint].value.s = strdup((scratch.dir() / "checkpoint.txt").c_str());
        theInductors = nullptr;  // the report relinks the coils it ranks
        readTestInductors(sourcePath("examples/coils-example.txt").c_str());
        collected = best;
        Outputs o;
        testing::internal::CaptureStdout();
        EXPECT_TRUE(finalReport(true));
        o.checkpoint = scratch.read("checkpoint.txt");
        o.out = testing::internal::GetCapturedStdout();
        for (const auto& [setting, name] : files) o.files.push_back(scratch.read(name));
        collected = nullptr;
        resetTables();
        return o;
    };
    ResultRecord best = start;
    const Outputs polished = report(&best, 1);
    ResultRecord again = best;
    const Outputs plain = report(&again, 0);

    const std::string line = "Polished: goodness 0.087488 -> 0.0772456 in ";
    ASSERT_EQ(polished.out.rfind(line, 0), 0u) << polished.out;
    // The ranges hold the found set alone, so the next line names what the
    // polish moved out of them.
    const std::string after = polished.out.substr(polished.out.find('\n') + 1);
    ASSERT_EQ(after.rfind("Polished coefficients outside their ranges: r2 2.75492 (range 2.76357 to 4.76357), ", 0),
              0u);
    EXPECT_EQ(after.substr(after.find('\n') + 1), plain.out);
    EXPECT_EQ(plain.out.rfind("// Goodness = 0.0772456\n", 0), 0u);
    EXPECT_EQ(polished.files, plain.files);
    EXPECT_EQ(polished.checkpoint, listingAt(plain.out, 0));
}

// A stop signal that came before the polish (a run stopped by SIGINT, whose
// final report polishes) leaves the polish whole: the same set, bit for bit,
// as without it. Coils measured 0 are left out of the solve and counted.
TEST(Polish, EarlierStopSignalAndUnusableCoilsLeaveTheSolveAlone) {
    const ResultRecord start = setOf(kFoundAfter20Generations);
    pinInRanges(start, 0);
    ResultRecord plain = start;
    const PolishOutcome before = polishSet(exampleCoils(), &plain, pinnedCoefficients());
    ASSERT_TRUE(before.replaced);
    EXPECT_EQ(before.leftOut, 0);

    // The coils with one measured 0 at the head of the list.
    InductorRecord zero = *exampleCoils();
    zero.measuredInductance = 0;
    zero.next = const_cast<InductorRecord*>(exampleCoils());
    ResultRecord withZero = start;
    const PolishOutcome left = polishSet(&zero, &withZero, pinnedCoefficients());
    EXPECT_TRUE(left.replaced) << left.kept;
    EXPECT_EQ(left.leftOut, 1);
    EXPECT_EQ(left.usedPolished, before.polished);
    EXPECT_EQ(withZero.coefficients, plain.coefficients);

    holdStopSignals();
    catchStopSignals();
    std::raise(SIGINT);
    ASSERT_EQ(stopSignalNumber(), SIGINT);
    ResultRecord signalled = start;
    const PolishOutcome after = polishSet(exampleCoils(), &signalled, pinnedCoefficients());
    EXPECT_FALSE(after.interrupted);
    EXPECT_EQ(after.iterations, before.iterations);
    EXPECT_EQ(signalled.coefficients, plain.coefficients);
    resetTables();
}

namespace {

const int32_t kScales = bit(cW0) | bit(cT2) | bit(cL1);

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
TEST(PolishNormalize, PutsTheHeldCoefficientsAtOneAndKeepsTheInductances) {
    const ResultRecord before = setOf(kFoundAfter20Generations);
    Coefficients c = kFoundAfter20Generations;
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

TEST(PolishNormalize, RefusesAndLeavesTheSetAsItWas) {
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
        Coefficients c = kFoundAfter20Generations;
        if (t.coefficient >= 0) c[t.coefficient] = t.value;
        const Coefficients given = c;
        EXPECT_EQ(normalizeScales(c, t.held, t.pinned), t.why);
        for (int k = 0; k < kCoefficientCount; ++k)
            EXPECT_TRUE(c[k] == given[k] || (std::isnan(c[k]) && std::isnan(given[k]))) << k;
    }
    // A pinned 0 scales with nothing and keeps its sign.
    Coefficients c = kFoundAfter20Generations;
    c[cT1] = -0.0;
    ASSERT_EQ(normalizeScales(c, kScales, bit(cT1)), "");
    EXPECT_TRUE(std::signbit(c[cT1]));
    EXPECT_EQ(coefficientList(kScales), "w0, t2 and l1");
}

// Two starts of one family (the same set with its three scales changed) end
// at the same normalised set: the solve no longer keeps where each started.
TEST(PolishNormalize, ThePolishEndsDifferentlyScaledStartsAtOneSet) {
    resetTables();
    for (RangeEntry& range : R) range.high = range.low + 1;  // nothing pinned
    Coefficients scaled = kFoundAfter20Generations;
    const double t = 0.8, l = 1.3, w = 0.7;
    for (int k = cT0; k <= cT3; ++k) scaled[k] *= t;
    for (int k = cL0; k <= cL3; ++k) scaled[k] *= l;
    for (int k = cW0; k <= cW2; ++k) scaled[k] *= w;
    for (int k = cR0; k <= cR3; ++k) scaled[k] *= l * w / t;
    ResultRecord first = setOf(kFoundAfter20Generations), second = setOf(scaled);
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

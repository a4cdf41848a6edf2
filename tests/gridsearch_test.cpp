// The local grid search: the windows, the walk on every variant against a
// plain literal walk, the record and order rules, each variant's quotient
// routine against the division, and the choice of variant. Every walk test
// runs once per variant (scalar, avx2, avx512, and the test-only builds
// avx512_simde and scalar_fma); a variant that cannot run here is reported
// as skipped, with the reason.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "cli_util.h"
#include "coils/baseformulas.h"
#include "coils/equation.h"
#include "coils/storage.h"
#include "common/version.h"
#include "gridsearch_reference.h"
#include "settings/symtab.h"
#include "testhooks.h"
#include "grid/gridsearch.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A good fit of the example coils; realistic coils are made to agree with it.
constexpr double kFit[kCoefficientCount] = {-8.73e-6, 0.00996, 1.985, -4.98, 1,    427.9, -3.36e5, -2.14,
                                            0.250,    1,       -9.1e-4, 0.00650, 1, -2.24, -0.27};

// A walk variant under test, its quotient routine, whether that divides
// through reciprocals, and why the variant cannot run here (empty: it can).
struct WalkCase {
    std::string name;
    GridWalk walk;
    GridQuotients quotients;
    bool reciprocals;
    std::string skipReason;
};

std::vector<WalkCase> walkCases() {
    std::vector<WalkCase> cases;
    for (GridPath path : {GridPath::scalar, GridPath::avx2, GridPath::avx512}) {
        const std::string name = gridPathName(path);
        std::string reason;
        if (gridWalkFor(path) == nullptr)
            reason = "the " + name + " walk is not built for this architecture";
        else if (!gridPathSupported(path))
            reason = "this CPU cannot run the " + name + " walk";
#if defined(FP_FAST_FMA)
        const bool reciprocals = true;
#else
        const bool reciprocals = path != GridPath::scalar;  // the scalar walk divides
#endif
        cases.push_back({name, gridWalkFor(path), gridQuotientsFor(path), reciprocals, reason});
    }
#if defined(QUELMO_TEST_SIMDE)
    cases.push_back({"avx512_simde", gridWalkAvx512Simde, gridQuotientsAvx512Simde, true, ""});
#else
    cases.push_back({"avx512_simde", nullptr, nullptr, true,
                     "the SIMDe-built avx512 walk is not part of this build (it needs x86-64 and libsimde-dev)"});
#endif
    cases.push_back({"scalar_fma", gridWalkScalarFma, gridQuotientsScalarFma, true, ""});
    return cases;
}

void PrintTo(const WalkCase& walkCase, std::ostream* out) { *out << walkCase.name; }

// A test run once per walk variant; skipped, with the reason, where the
// variant cannot run.
class GridWalkTest : public testing::TestWithParam<WalkCase> {
protected:
    void SetUp() override {
        if (!GetParam().skipReason.empty()) GTEST_SKIP() << GetParam().skipReason;
    }
    GridWalk walk() const { return GetParam().walk; }
};

std::string walkName(const testing::TestParamInfo<WalkCase>& info) { return info.param.name; }

ResultRecord makeSet(const double (&values)[kCoefficientCount]) {
    ResultRecord set{};
    for (int k = 0; k < kCoefficientCount; ++k) set.coefficients[k] = values[k];
    return set;
}

// Coils kept in a vector; link() chains them in vector order.
struct CoilList {
    std::vector<InductorRecord> coils;
    InductorRecord* link() {
        for (size_t i = 0; i < coils.size(); ++i)
            coils[i].next = i + 1 < coils.size() ? &coils[i + 1] : nullptr;
        return coils.empty() ? nullptr : coils.data();
    }
    InductorRecord& add(double measured, double radius, double wire, int32_t turns, double length) {
        InductorRecord coil{};
        coil.measuredInductance = measured;
        coil.radius = radius;
        coil.wire = wire;
        coil.turns = turns;
        coil.length = length;
        return coils.emplace_back(coil);
    }
    // A plausible coil whose measured value is the fit's inductance with noise.
    void addRealistic(std::mt19937_64& rng, double noise = 0.05) {
        std::uniform_real_distribution<double> unit(0, 1);
        const double w = 1e-4 + 9e-4 * unit(rng);
        const int32_t turns = 1 + static_cast<int32_t>(150 * unit(rng));
        InductorRecord& coil = add(0, 0.003 + 0.05 * unit(rng), w, turns, turns * w * (2.1 + unit(rng)));
        const ResultRecord fit = makeSet(kFit);
        coil.measuredInductance = evalInductorAbs(&coil, &fit) * (1 + noise * (2 * unit(rng) - 1));
    }
};

void setRange(int k, double low, double high, double minorInc, int32_t mcount) {
    R[k].low = low;
    R[k].high = high;
    R[k].minorInc = minorInc;
    R[k].mcount = mcount;
}

std::string describe(const ResultRecord* r) {
    char text[64];
    std::string out;
    std::snprintf(text, sizeof text, "goodness %a mask %d next %p\n", r->goodness, r->changeMask,
                  static_cast<void*>(r->next));
    out += text;
    for (double c : r->coefficients) {
        std::snprintf(text, sizeof text, " %a", c);
        out += text;
    }
    return out;
}

void expectSameBytes(const ResultRecord* expected, const ResultRecord* actual) {
    EXPECT_EQ(std::memcmp(expected, actual, sizeof(ResultRecord)), 0)
        << "expected " << describe(expected) << "\nactual   " << describe(actual);
}

// Runs the reference and the walk from the same swapper and compares the
// records byte for byte. Returns the reference's goodness.
double expectMatchesReference(GridWalk walk, const InductorRecord* coils, const ResultRecord& candidate) {
    const uint8_t before = swapper;
    ResultRecord* expected = reference::runMajor(coils, &candidate);
    const uint8_t after = swapper;
    swapper = before;
    ResultRecord* actual = runMajorWith(walk, coils, &candidate);
    EXPECT_EQ(swapper, after);
    expectSameBytes(expected, actual);
    freeResult(actual);
    const double goodness = expected->goodness;
    freeResult(expected);
    return goodness;
}

// The result of one call of the walk, as a value.
ResultRecord runOnce(GridWalk walk, const InductorRecord* coils, const ResultRecord& candidate) {
    ResultRecord* result = runMajorWith(walk, coils, &candidate);
    const ResultRecord value = *result;
    freeResult(result);
    return value;
}

// ---------------------------------------------------------------------------
// Randomised equivalence with the literal walk.

// One random grid. `oddity` is the chance that a value is replaced by a
// special one (0, -0, NaN, inf, overflowing, negative, clipped ...).
struct RandomCase {
    std::mt19937_64 rng;
    double oddity;
    explicit RandomCase(uint64_t seed) : rng(seed) {
        static constexpr double kOddities[] = {0, 0.03, 0.1, 0.3};
        oddity = kOddities[pick(4)];
    }
    double unit() { return std::uniform_real_distribution<double>(0, 1)(rng); }
    int pick(int n) { return static_cast<int>(rng() % static_cast<uint64_t>(n)); }
    bool odd() { return unit() < oddity; }

    void coils(CoilList& list) {
        const int count = pick(10) == 0 ? 0 : 1 + pick(pick(4) == 0 ? 30 : 6);
        for (int i = 0; i < count; ++i) {
            list.addRealistic(rng, 0.3);
            if (!odd()) continue;
            InductorRecord& coil = list.coils.back();
            switch (pick(7)) {
            case 0: coil.measuredInductance = 0; break;  // infinite error
            case 1: coil.measuredInductance *= -1; break;
            case 2: coil.radius = 0; break;  // r1..r3 without effect: ties
            case 3: coil.length = 1e200; break;  // overflow to inf
            case 4: coil.wire = 1e120; break;
            case 5: coil.measuredInductance = kNaN; break;
            case 6: coil.measuredInductance = 1e-300; break;
            }
        }
    }

    double coefficient(int k) {
        if (!odd()) return kFit[k] * (0.9 + 0.2 * unit());
        switch (pick(6)) {
        case 0: return 0.0;
        case 1: return -0.0;
        case 2: return -kFit[k];
        case 3: return kFit[k] * 1e150;
        case 4: return std::numeric_limits<double>::infinity();
        default: return kNaN;
        }
    }

    void range(int k, double centre) {
        const double scale = std::isfinite(centre) && centre != 0 ? std::fabs(centre) : 1.0;
        double inc = scale * (0.001 + 0.05 * unit());
        if (odd()) {
            static constexpr double kIncs[] = {0, -1, kNaN};
            inc = kIncs[pick(3)] * inc;
        }
        static constexpr int32_t kCounts[] = {-3, 1, 2, 3, 4, 5, 6, 6, 7, 10, 11, 16};
        const int32_t mcount = kCounts[pick(12)];
        const double span = scale * (pick(3) == 0 ? 0.01 : 10.0);
        double low = centre - span;
        double high = centre + span;
        if (odd()) {
            switch (pick(5)) {
            case 0: low = centre; break;  // centre on low
            case 1: high = centre; break;
            case 2: low = high = centre; break;
            case 3: std::swap(low, high); break;
            case 4: low = centre + 5 * span; high = centre + 9 * span; break;  // centre outside
            }
        }
        setRange(k, low, high, inc, mcount);
    }
};

using GridSearchEquivalence = GridWalkTest;
INSTANTIATE_TEST_SUITE_P(Walk, GridSearchEquivalence, testing::ValuesIn(walkCases()), walkName);

TEST_P(GridSearchEquivalence, RandomGridsMatchTheLiteralWalk) {
    constexpr int kCases = 1000;
    static constexpr int32_t kCaps[] = {-5, 0, 1, 2, 3, 7, 40, 200, 1000, 3000, 3000, 5000};
    int evaluated = 0;
    for (int n = 0; n < kCases; ++n) {
        SCOPED_TRACE("case " + std::to_string(n));
        RandomCase random(0x5eed0000 + n);
        resetTables();
        CoilList list;
        random.coils(list);
        ResultRecord candidate{};
        for (int k = 0; k < kCoefficientCount; ++k) candidate.coefficients[k] = random.coefficient(k);
        // Now and then a whole group centred on 0: its windows then hold 0.0
        // exactly, which makes M or D zero at some grid points.
        if (random.pick(5) == 0) {
            static constexpr int kGroups[][2] = {{cR0, cR3}, {cW0, cW2}, {cT0, cT3}, {cL0, cL3}};
            const auto& group = kGroups[random.pick(4)];
            for (int k = group[0]; k <= group[1]; ++k) candidate.coefficients[k] = 0;
        }
        for (int k = 0; k < kCoefficientCount; ++k) random.range(k, candidate.coefficients[k]);
        candidate.goodness = 0.5;
        candidate.changeMask = 0x7fff;
        S[kMinorMax].value.i = kCaps[random.pick(12)];
        swapper = static_cast<uint8_t>(random.rng());
        if (expectMatchesReference(walk(), list.link(), candidate) != kNoValue) ++evaluated;
        if (HasFailure()) break;
    }
    // The generator must mostly produce grids with evaluable points.
    EXPECT_GT(evaluated, kCases / 4);
}

// Realistic coils and a grid large enough to need several chunks of lanes,
// once with the numerator side across lanes and once with the denominator.
TEST_P(GridSearchEquivalence, LargeGridsOfRealisticCoilsMatch) {
    std::mt19937_64 rng(7);
    CoilList list;
    for (int i = 0; i < 64; ++i) list.addRealistic(rng);
    ResultRecord candidate = makeSet(kFit);
    for (bool forward : {true, false}) {
        resetTables();
        for (int k = 0; k < kCoefficientCount; ++k) {
            const double c = kFit[k];
            setRange(k, c - std::fabs(c), c + std::fabs(c), std::fabs(c) * 0.004, 8);
        }
        // 8 values for five coefficients (forward r0..w0, backward l3..t3)
        // and a clipped one after them: 8^5 * 3 points.
        setRange(forward ? cW1 : cT2, kFit[forward ? cW1 : cT2], 1e9, std::fabs(kFit[cW1]) * 0.001, 6);
        S[kMinorMax].value.i = 8 * 8 * 8 * 8 * 8 * 3 + 1;
        swapper = forward ? 1 : 0;
        EXPECT_NE(expectMatchesReference(walk(), list.link(), candidate), kNoValue);
    }
}

// Coils whose targets are the measured inductance over the sheet's base
// factor (setting base sheet), one of them a coil the base cannot evaluate
// (NaN target), and a set near the sheet correction's optimum: every walk
// gives the literal walk's result bit for bit.
TEST_P(GridSearchEquivalence, CorrectionToTheSheetMatches) {
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> unit(0, 1);
    CoilList list;
    for (int i = 0; i < 48; ++i) {
        const double a = 0.003 + 0.04 * unit(rng), w = 1e-4 + 6e-4 * unit(rng);
        const int32_t turns = 2 + static_cast<int32_t>(100 * unit(rng));
        const double length = turns * 2 * w * (1.05 + 3 * unit(rng));
        const double factor = baseFactor(BaseFormula::sheet, a, turns, length, w);
        InductorRecord& coil = list.add(factor * kMu0 * (1 + 0.02 * (2 * unit(rng) - 1)), a, w, turns, length);
        coil.givenInductance = coil.measuredInductance;
        coil.baseFactor = factor;
        coil.measuredInductance = coil.givenInductance / factor;
    }
    list.coils[5].baseFactor = NAN;
    list.coils[5].measuredInductance = NAN;
    constexpr double kSheetFit[kCoefficientCount] = {1.0233, 7.82, -393.05, 6171.7, 1, 394.6, -2.3378e5, 1,
                                                     -3.2196e-3, 3.592e-5, -1.4995e-7, 1, -4.036, 44.256, -157.87};
    ResultRecord candidate = makeSet(kSheetFit);
    for (bool forward : {true, false}) {
        resetTables();
        for (int k = 0; k < kCoefficientCount; ++k) {
            const double c = kSheetFit[k];
            setRange(k, c - std::fabs(c), c + std::fabs(c), std::fabs(c) * 0.003, 7);
        }
        S[kMinorMax].value.i = 7 * 7 * 7 * 7 * 7 + 1;
        swapper = forward ? 1 : 0;
        EXPECT_NE(expectMatchesReference(walk(), list.link(), candidate), kNoValue);
    }
}

// ---------------------------------------------------------------------------
// The quotient routine against the division, on every variant.

uint64_t bitsOf(double x) {
    uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return bits;
}

class GridQuotientRoutine : public GridWalkTest {
protected:
    // The routine's quotients of a[i] / b must be the division's, bit for
    // bit; `byRoutine`: the routine, not its fallback division, forms them.
    void expectDivision(const std::vector<double>& a, double b, bool byRoutine, const std::string& what) {
        std::vector<double> q(a.size());
        const int64_t given = GetParam().quotients(a.data(), static_cast<int64_t>(a.size()), b, q.data());
        for (size_t i = 0; i < a.size(); ++i) {
            char text[96];
            std::snprintf(text, sizeof text, "%a / %a", a[i], b);
            EXPECT_EQ(bitsOf(q[i]), bitsOf(a[i] / b)) << what << ": " << text << " gave " << q[i];
        }
        EXPECT_EQ(given, byRoutine && GetParam().reciprocals ? static_cast<int64_t>(a.size()) : 0) << what;
    }
};
INSTANTIATE_TEST_SUITE_P(Walk, GridQuotientRoutine, testing::ValuesIn(walkCases()), walkName);

TEST_P(GridQuotientRoutine, EqualsTheDivisionOnAdversarialOperands) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    struct Case {
        const char* what;
        double a, b;
        bool inDomain;
    };
    const Case kCases[] = {
        {"a third", 1, 3, true},
        {"an inductance", 2.7e-6, 1.3, true},
        {"a relative error", 1.2e-7, 2.1e-6, true},
        {"an exact quotient", 6, 3, true},
        {"a power-of-two divisor", 5, 0.25, true},
        {"a quotient just below one", std::nextafter(3.0, 0.0), 3, true},
        {"a quotient just above one", std::nextafter(3.0, kInf), 3, true},
        {"a dividend whose significand is all ones", 0x1.fffffffffffffp0, 1.5, true},
        {"the largest divisor significand", 1.5, 0x1.ffffffff00000p0, true},
        {"a divisor significand beyond it", 1.5, 0x1.ffffffff00001p0, false},
        {"a divisor significand all ones", 1.5, 0x1.fffffffffffffp0, false},
        {"the smallest operands", 0x1p-100, 0x1p-100, true},
        {"the smallest over the largest", 0x1p-100, 0x1p100, true},
        {"the largest over the smallest", 0x1p100, 0x1p-100, true},
        {"a dividend below the domain", 0x1.fffffffffffffp-101, 3, false},
        {"a dividend above it", 0x1.0000000000001p100, 3, false},
        {"a divisor below it", 3, 0x1.8p-101, false},
        {"a divisor above it", 3, 0x1.8p100, false},
        {"zero", 0.0, 3, false},
        {"a zero divisor", 3, 0.0, false},
        {"an infinite dividend", kInf, 3, false},
        {"an infinite divisor", 3, kInf, false},
        {"a NaN dividend", kNaN, 3, false},
        {"a NaN divisor", 3, kNaN, false},
        {"a subnormal dividend", 0x1p-1070, 3, false},
        {"a subnormal divisor", 3, 0x1p-1070, false},
    };
    for (const Case& c : kCases)
        for (double signA : {1.0, -1.0})
            for (double signB : {1.0, -1.0}) expectDivision({signA * c.a}, signB * c.b, c.inDomain, c.what);

    // Quotients a few units of 2^-105 (relative) from a midpoint between two
    // doubles, the hardest to round: for an odd divisor significand B and a
    // small odd r, the odd 54-bit M with B*M = -r (mod 2^54) makes
    // A = (B*M + r)/2^54 an integer of at most 53 bits, and A/B = (M + r/B)/2^54
    // lies r/B units of 2^-54 off the midpoint M/2^54. Every fifth divisor
    // lies next to the largest significand allowed.
    std::mt19937_64 rng(24);
    std::uniform_int_distribution<int> exponent(-45, 45);
    int made = 0;
    for (int n = 0; made < 4000; ++n) {
        const uint64_t limit = 0x1ffffffff00000u;  // the largest significand allowed, as an integer
        const uint64_t B = n % 5 == 0 ? limit - 1 - 2 * (rng() % 64) : (rng() >> 11) | (uint64_t{1} << 52) | 1;
        uint64_t inverse = B;  // B^-1 mod 2^64 by Newton's iteration
        for (int k = 0; k < 6; ++k) inverse *= 2 - B * inverse;
        const int64_t r = static_cast<int64_t>(rng() % 7) * 2 - 7;  // odd, -7 to 5
        const uint64_t M = (static_cast<uint64_t>(-r) * inverse) & ((uint64_t{1} << 54) - 1);
        if (M < (uint64_t{1} << 53)) continue;
        const unsigned __int128 product = static_cast<unsigned __int128>(B) * M + static_cast<__int128>(r);
        const auto A = static_cast<uint64_t>(product >> 54);
        const int eb = exponent(rng);
        const double b = std::ldexp(static_cast<double>(B), eb - 52);
        const double a = std::ldexp(static_cast<double>(A), eb - 52 + exponent(rng));
        for (double signA : {1.0, -1.0})
            expectDivision({signA * a, std::nextafter(signA * a, 0.0)}, (rng() & 1) != 0 ? -b : b, true,
                           "next to a midpoint");
        ++made;
        if (HasFailure()) break;
    }
}

// ---------------------------------------------------------------------------
// Windows.

class GridWindowsTest : public testing::Test {
protected:
    void SetUp() override {
        resetTables();
        for (int k = 0; k < kCoefficientCount; ++k) setRange(k, -100, 100, 1, 10);
    }
    ResultRecord centre_{};  // all zero
};

TEST_F(GridWindowsTest, DefaultCapGrantsSixWindowsOfTenInOfferOrder) {
    ASSERT_EQ(S[kMinorMax].value.i, 8388608);
    R[cL2].mcount = 11;  // an odd count gives the window of the even one below
    const GridWindows forward = planGridWindows(&centre_, true);
    const GridWindows backward = planGridWindows(&centre_, false);
    for (int k = 0; k < kCoefficientCount; ++k) {
        EXPECT_EQ(forward.count[k], k <= cW1 ? 10 : 1) << kCoefficientNames[k];
        EXPECT_EQ(backward.count[k], k >= cT2 ? 10 : 1) << kCoefficientNames[k];
        EXPECT_EQ(forward.start[k], k <= cW1 ? -5.0 : 0.0);
    }
    // A later window clipped to 5 values still fits: 10^6 * 5 < 8388608.
    R[cL3].low = 0;
    const GridWindows clipped = planGridWindows(&centre_, true);
    EXPECT_EQ(clipped.count[cL3], 5);
    EXPECT_EQ(clipped.count[cL2], 1);
    EXPECT_EQ(clipped.start[cL3], 0.0);
}

TEST_F(GridWindowsTest, CentreOnLowGetsHalfTheValuesStartingAtLow) {
    setRange(cT1, 0.25, 9, 0.05, 10);
    centre_.coefficients[cT1] = 0.25;
    const GridWindows windows = planGridWindows(&centre_, true);
    EXPECT_EQ(windows.start[cT1], 0.25);
    EXPECT_EQ(windows.count[cT1], 5);
    EXPECT_DOUBLE_EQ(gridValue(windows, cT1, 4), 0.45);
}

TEST_F(GridWindowsTest, UnwalkableCountsHoldTheCoefficientAtItsCentre) {
    for (int k = 0; k < kCoefficientCount; ++k) centre_.coefficients[k] = 3;
    setRange(cR0, 3, 3, 1, 10);      // low == high: count 0
    R[cR1].mcount = 1;               // half 0
    R[cR2].mcount = -6;              // negative half
    R[cR3].minorInc = 0;             // quotient not a number
    setRange(cW0, 50, 100, 1, 10);   // centre 47 below low: negative count
    setRange(cW1, 1e12, 1e13, -1, 10);  // a negative step: count beyond 2^31
    const GridWindows windows = planGridWindows(&centre_, true);
    for (int k : {cR0, cR1, cR2, cR3, cW0, cW1}) {
        EXPECT_EQ(windows.count[k], 1) << kCoefficientNames[k];
        EXPECT_EQ(windows.start[k], 3.0) << kCoefficientNames[k];
    }
    // Holding does not stop later coefficients from getting windows.
    EXPECT_EQ(windows.count[cW2], 10);

    for (int32_t cap : {1, 0, -7}) {
        S[kMinorMax].value.i = cap;
        const GridWindows none = planGridWindows(&centre_, false);
        for (int k = 0; k < kCoefficientCount; ++k) EXPECT_EQ(none.count[k], 1);
    }
}

// ---------------------------------------------------------------------------
// The walk's record and order rules, on every variant.

class GridSearchRules : public GridWalkTest {
protected:
    void SetUp() override {
        GridWalkTest::SetUp();
        if (IsSkipped()) return;
        resetTables();
        std::mt19937_64 rng(11);
        for (int i = 0; i < 12; ++i) list_.addRealistic(rng);
        // Held everywhere unless a test opens a window.
        for (int k = 0; k < kCoefficientCount; ++k) {
            const double c = kFit[k];
            setRange(k, c - std::fabs(c), c + std::fabs(c), std::fabs(c) * 0.01, 1);
        }
        candidate_ = makeSet(kFit);
    }
    CoilList list_;
    ResultRecord candidate_{};
};
INSTANTIATE_TEST_SUITE_P(Walk, GridSearchRules, testing::ValuesIn(walkCases()), walkName);

TEST_P(GridSearchRules, CapOfOneOrLessReturnsTheCandidateAloneWithoutMaskOrLink) {
    for (int k = 0; k < kCoefficientCount; ++k) R[k].mcount = 10;
    ResultRecord linked{};
    candidate_.next = &linked;
    candidate_.changeMask = 0x1234;
    candidate_.goodness = 42;
    const ResultRecord before = candidate_;
    ResultRecord scored = candidate_;
    evalInductors(list_.link(), &scored);
    for (int32_t cap : {1, 0}) {
        S[kMinorMax].value.i = cap;
        const ResultRecord result = runOnce(walk(), list_.link(), candidate_);
        EXPECT_EQ(result.goodness, scored.goodness);
        EXPECT_EQ(result.coefficients, candidate_.coefficients);
        EXPECT_EQ(result.changeMask, 0);
        EXPECT_EQ(result.next, nullptr);
    }
    EXPECT_EQ(std::memcmp(&before, &candidate_, sizeof before), 0);
}

TEST_P(GridSearchRules, NoEvaluablePointGivesNoValueAndZeroCoefficients) {
    R[cR2].mcount = 10;
    for (int k : {cW0, cW1, cW2}) candidate_.coefficients[k] = 0;  // every D is 0
    const ResultRecord result = runOnce(walk(), list_.link(), candidate_);
    EXPECT_EQ(result.goodness, kNoValue);
    for (double c : result.coefficients) EXPECT_TRUE(c == 0.0 && !std::signbit(c));
    CoilList none;
    EXPECT_EQ(runOnce(walk(), none.link(), candidate_).goodness, kNoValue);
}

TEST_P(GridSearchRules, WhenEveryGoodnessIsInfiniteTheFirstPointWins) {
    setRange(cR2, 0, 10, 0.01, 20);
    setRange(cL3, -1e3, 1e3, 0.01, 40);
    list_.coils[5].measuredInductance = 0;  // an infinite error that counts
    const ResultRecord result = runOnce(walk(), list_.link(), candidate_);
    EXPECT_EQ(result.goodness, std::numeric_limits<double>::infinity());
    EXPECT_EQ(result.coefficients[cR2], kFit[cR2] - 0.01 * 10);
    EXPECT_EQ(result.coefficients[cL3], kFit[cL3] - 0.01 * 20);
}

// The coefficients in which `result` differs from `candidate`.
std::vector<int> changed(const ResultRecord* result, const ResultRecord& candidate) {
    std::vector<int> ks;
    for (int k = 0; k < kCoefficientCount; ++k)
        if (result->coefficients[k] != candidate.coefficients[k]) ks.push_back(k);
    return ks;
}

TEST_P(GridSearchRules, ConsecutiveCallsAlternateTheOfferOrderAndSwapperWraps) {
    for (int k = 0; k < kCoefficientCount; ++k) R[k].mcount = 10;
    S[kMinorMax].value.i = 11;  // room for one window of 10
    candidate_.coefficients[cR0] += 3 * R[cR0].minorInc;
    candidate_.coefficients[cL3] -= 3 * R[cL3].minorInc;
    for (uint8_t first : {uint8_t{0}, uint8_t{254}}) {
        swapper = first;
        const ResultRecord backward = runOnce(walk(), list_.link(), candidate_);
        const ResultRecord forward = runOnce(walk(), list_.link(), candidate_);
        EXPECT_EQ(swapper, static_cast<uint8_t>(first + 2));
        EXPECT_EQ(changed(&backward, candidate_), std::vector<int>{cL3});
        EXPECT_EQ(changed(&forward, candidate_), std::vector<int>{cR0});
    }
    EXPECT_EQ(swapper, 0);  // 254 + 2 wrapped
}

TEST_P(GridSearchRules, TakesThreeRecordsFromThePoolAndGivesTwoBack) {
    R[cT1].mcount = 6;
    ResultRecord* c = newResult();
    ResultRecord* b = newResult();
    ResultRecord* a = newResult();
    ResultRecord* rest = FreeResults;
    freeResult(c);
    freeResult(b);
    freeResult(a);  // pool: a, b, c, rest
    ResultRecord* result = runMajorWith(walk(), list_.link(), &candidate_);
    EXPECT_EQ(result, a);  // the best record is taken first
    // The grid point (b) goes back first, then the base record (c).
    EXPECT_EQ(FreeResults, c);
    EXPECT_EQ(c->next, b);
    EXPECT_EQ(b->next, rest);
    EXPECT_EQ(result->next, nullptr);
    freeResult(result);
}

// ---------------------------------------------------------------------------
// Ties and the exact sentinel, where a tiled walk could differ from an
// in-order one.

// A coil of zero geometry sees only r0, t0, w0 and l0: L = r0*mu0*t0 / (l0*w0).
InductorRecord bareCoil(double measured) {
    InductorRecord coil{};
    coil.measuredInductance = measured;
    return coil;
}

// Two points tie exactly (doubling numerator and denominator), and the tie
// that comes first in walk order is visited last by the tiled walk. Either a
// third value of the lane side makes M or D zero, refused in that lane only,
// or every value lies in the quotient routine's domain and the tie, off the
// measured value, has a goodness the screen must not skip.
using GridSearchTies = GridWalkTest;
INSTANTIATE_TEST_SUITE_P(Walk, GridSearchTies, testing::ValuesIn(walkCases()), walkName);

TEST_P(GridSearchTies, EqualGoodnessKeepsTheEarliestPointInWalkOrder) {
    struct Tie {
        const char* name;
        int lane;      // r0 (numerator across lanes) or w0 (denominator across lanes)
        int other;     // w0 or t0, broadcast
        bool refused;  // a third lane value with M or D zero
        double expectedLane, expectedOther;
    };
    const Tie kTies[] = {
        {"numerator lanes", cR0, cW0, true, 1, -1},
        {"denominator lanes", cW0, cT0, true, -2, 2},
        {"numerator lanes, screened", cR0, cW0, false, 1, -1},
        {"denominator lanes, screened", cW0, cT0, false, -2, 2},
    };
    for (const Tie& tie : kTies) {
        SCOPED_TRACE(tie.name);
        resetTables();
        for (int k = 0; k < kCoefficientCount; ++k) setRange(k, -100, 100, 1, 1);
        ResultRecord candidate{};
        candidate.coefficients[cR0] = candidate.coefficients[cT0] = candidate.coefficients[cL0] = 1;
        candidate.coefficients[cW0] = -1;
        if (tie.lane == cR0) {
            setRange(cR0, tie.refused ? 0 : 1, tie.refused ? 100 : 3, 1, 4);  // r0 (0,) 1, 2
            R[cW0].mcount = 2;                                                // w0 -2, -1
        } else {
            setRange(cW0, -2, tie.refused ? 1 : 0, 1, 4);  // w0 -2, -1(, 0)
            candidate.coefficients[cT0] = 2;
            R[cT0].mcount = 2;  // t0 1, 2
        }
        // L = -mu0 where r0*t0 = -w0.
        const double measured = tie.refused ? -kMu0 : -1.01 * kMu0;
        CoilList list;
        list.coils.push_back(bareCoil(measured));
        const ResultRecord result = runOnce(walk(), list.link(), candidate);
        const double relative = (-kMu0 - measured) / measured;
        EXPECT_EQ(result.goodness, std::sqrt(relative * relative));
        EXPECT_EQ(result.coefficients[tie.lane], tie.expectedLane);
        EXPECT_EQ(result.coefficients[tie.other], tie.expectedOther);
        expectMatchesReference(walk(), list.link(), candidate);
    }
}

// The x with x * mu0 == target exactly.
double timesMu0Gives(double target) {
    double x = target / kMu0;
    for (int i = 0; i < 64 && x * kMu0 != target; ++i)
        x = std::nextafter(x, x * kMu0 < target ? HUGE_VAL : 0.0);
    return x;
}

// A computed inductance of exactly 1e208, or a squared error of exactly 1e208
// (1e104 squared), leaves the coil out like a refused one. A second coil
// sees windows on t1 and l2 (the bare one does not), across lanes or
// broadcast depending on which is larger.
using GridSearchSentinels = GridWalkTest;
INSTANTIATE_TEST_SUITE_P(Walk, GridSearchSentinels, testing::ValuesIn(walkCases()), walkName);

TEST_P(GridSearchSentinels, InductanceOrErrorOfExactlyNoValueLeavesTheCoilOut) {
    struct Sentinel {
        double inductance, measured;
    };
    for (const Sentinel& sentinel : {Sentinel{kNoValue, kNoValue}, Sentinel{1e104, 1}}) {
        for (int32_t tCount : {4, 16}) {
            SCOPED_TRACE(std::to_string(sentinel.inductance) + " " + std::to_string(tCount));
            resetTables();
            for (int k = 0; k < kCoefficientCount; ++k) setRange(k, -1e300, 1e300, 1, 1);
            ResultRecord candidate{};
            candidate.coefficients[cR0] = timesMu0Gives(sentinel.inductance);
            ASSERT_EQ(candidate.coefficients[cR0] * kMu0, sentinel.inductance);
            candidate.coefficients[cT0] = candidate.coefficients[cW0] = candidate.coefficients[cL0] = 1;
            candidate.coefficients[cT1] = 0.5;
            candidate.coefficients[cL1] = 1e200;
            setRange(cT1, -10, 10, 0.01, tCount);
            setRange(cL2, -1e300, 1e300, 1e197, 24 - tCount);

            CoilList list;
            list.coils.push_back(bareCoil(sentinel.measured));
            InductorRecord& coil = list.add(0, 0, 1, 1, 1);
            coil.measuredInductance = 1.01 * evalInductorAbs(&coil, &candidate);
            InductorRecord* coils = list.link();
            const ResultRecord result = runOnce(walk(), coils, candidate);
            ResultRecord alone = result;
            evalInductors(coils->next, &alone);  // the second coil only
            EXPECT_EQ(result.goodness, alone.goodness);
            EXPECT_LT(result.goodness, 0.01);
            expectMatchesReference(walk(), coils, candidate);
        }
    }
}

// ---------------------------------------------------------------------------
// The choice of variant.

// QUELMO_GRID_PATH forces a variant, and every variant gives the same run; a
// name that this CPU cannot run is refused before the search starts.
TEST(GridPathChoice, TheEnvironmentForcesAVariantAndEveryVariantGivesTheSameRun) {
    const auto forcing = [](const std::string& name) {
        std::vector<std::string> command = programCommand({"coils-small.txt", "ranges.txt"});
        command.insert(command.begin(), {"/usr/bin/env", "QUELMO_GRID_PATH=" + name});
        return command;
    };
    std::string accepted;
    std::string first;
    for (GridPath path : {GridPath::scalar, GridPath::avx2, GridPath::avx512}) {
        if (!gridPathSupported(path)) continue;
        accepted += (accepted.empty() ? "" : ", ") + std::string(gridPathName(path));
        CliRun run;
        prepareQuickRun(run, "minormax 2000\n");
        const CliResult result = run.runCommand(forcing(gridPathName(path)));
        ASSERT_EQ(result.status, 0) << result.err;
        const std::string outputs = result.out + run.read("result.txt");
        if (first.empty()) first = outputs;
        EXPECT_EQ(outputs, first) << gridPathName(path);
    }
    for (std::string name : {"avx", "AVX2", "avx512"}) {
        if (name == "avx512" && gridPathSupported(GridPath::avx512)) continue;
        CliRun run;
        prepareQuickRun(run);
        const CliResult result = run.runCommand(forcing(name));
        EXPECT_EQ(result.status, 255);
        EXPECT_EQ(afterFewCoilsWarning(result.err),
                  "QUELMO_GRID_PATH is " + name + ", accepted on this CPU: " + accepted + "\n");
        EXPECT_FALSE(run.exists("result.txt"));
    }
}

}  // namespace

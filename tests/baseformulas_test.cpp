// The classical coil formulas, the base a fit corrects, and the classical
// formulas' goodness on a coil set.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <string>
#include <vector>

#include "cli_util.h"
#include "coils/baseformulas.h"
#include "coils/equation.h"
#include "coils/readind.h"
#include "reports/baselines.h"
#include "settings/basesetting.h"
#include "settings/symtab.h"
#include "testhooks.h"

namespace {

constexpr double kPi = std::numbers::pi;

// Nagaoka's coefficient straight from the textbook form, with the standard
// library's elliptic integrals: an independent computation of the sheet.
double textbookNagaoka(double a, double l) {
    const double k = 2 * a / std::sqrt(4 * a * a + l * l);
    const double kPrime = l / std::sqrt(4 * a * a + l * l);
    const double bigK = std::comp_ellint_1(k), bigE = std::comp_ellint_2(k);
    return 4 / (3 * kPi * kPrime) * ((kPrime * kPrime / (k * k)) * (bigK - bigE) + bigE - k);
}

struct Coil {
    double measured, a, w, n, l;
};

// The four classical formulas written out independently, in henries.
double textbook(const std::string& name, const Coil& c) {
    const double sheet = kMu0 * kPi * c.a * c.a * c.n * c.n / c.l * textbookNagaoka(c.a, c.l);
    if (name == "solenoid") return kMu0 * kPi * c.a * c.a * c.n * c.n / c.l;
    if (name == "wheeler") {
        const double ai = c.a / 0.0254, li = c.l / 0.0254;  // inches
        return ai * ai * c.n * c.n / (9 * ai + 10 * li) * 1e-6;
    }
    if (name == "sheet") return sheet;
    const double p = c.l / c.n, d = 2 * c.w;
    if (p > 0.3 * c.a || d > p) return NAN;
    const double g = 1.25 - std::log(2 * p / d);
    const double n = c.n;
    const double h = std::log(2 * kPi) - 1.5 - std::log(n) / (6 * n) - 0.33084236 / n - 1 / (120 * std::pow(n, 3)) +
                     1 / (504 * std::pow(n, 5)) - 0.0011923 / std::pow(n, 7) + 0.0005068 / std::pow(n, 9);
    return sheet - kMu0 * c.a * c.n * (g + h);
}

double textbookGoodness(const std::string& name, const std::vector<Coil>& coils, int& leftOut) {
    double sum = 0;
    int count = 0;
    for (const Coil& c : coils) {
        const double r = (textbook(name, c) - c.measured) / c.measured;
        if (std::isnan(r)) continue;
        sum += r * r;
        ++count;
    }
    leftOut = static_cast<int>(coils.size()) - count;
    return std::sqrt(sum / count);
}

// Coil records in the given order, linked.
std::vector<InductorRecord> records(const std::vector<Coil>& coils) {
    std::vector<InductorRecord> list(coils.size());
    for (size_t i = 0; i < coils.size(); ++i) {
        const Coil& c = coils[i];
        list[i] = InductorRecord{};
        list[i].measuredInductance = c.measured;
        list[i].radius = c.a;
        list[i].wire = c.w;
        list[i].turns = static_cast<int32_t>(c.n);
        list[i].length = c.l;
        list[i].fileName = const_cast<char*>("coil");
        if (i > 0) list[i - 1].next = &list[i];
    }
    return list;
}

// Coils of every shape, made with a small generator of their own: the
// measured value is the sheet with Rosa's correction off by a few per cent.
std::vector<Coil> madeCoils(int count, unsigned seed, double widestPitch) {
    std::vector<Coil> coils;
    unsigned state = seed;
    const auto next = [&state] {
        state = state * 1103515245u + 12345u;
        return ((state >> 8) & 0xffff) / 65535.0;
    };
    for (int i = 0; i < count; ++i) {
        Coil c{};
        c.a = 0.002 + 0.05 * next();
        c.n = std::floor(2 + 150 * next());
        c.w = 5e-5 + 8e-4 * next();
        const double pitch = 2 * c.w * (1 + widestPitch * next());
        c.l = c.n * pitch;
        const double truth = currentSheetInductance(c.a, c.n, c.l);
        c.measured = truth * (1 + 0.06 * (next() - 0.5));
        coils.push_back(c);
    }
    return coils;
}

std::vector<Coil> exampleCoils() {
    theInductors = nullptr;
    readTestInductors(sourcePath("examples/coils-example.txt").c_str());
    std::vector<Coil> coils;
    for (const InductorRecord* c = theInductors; c != nullptr; c = c->next)
        coils.push_back({c->measuredInductance, c->radius, c->wire, static_cast<double>(c->turns), c->length});
    return coils;
}

}  // namespace

TEST(BaseFormulas, NagaokaCoefficientMatchesTheTables) {
    // l / 2a, the published coefficient, and how closely it is published.
    const struct {
        double shape, expected, tolerance;
    } cases[] = {
        {1, 0.688423, 1e-6}, {10, 0.95881, 1e-5}, {100, 0.99577, 1e-5}, {1e4, 0.999958, 1e-6},
        {0.1, 0.2033, 1e-4},  // a flat coil: K grows like ln(4/k')
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shape);
        EXPECT_NEAR(nagaokaCoefficient(0.01, 0.02 * c.shape), c.expected, c.tolerance);
    }
}

// Against values to 60 digits, rounded to double, made with mpmath by
//   kl = lambda x: (lambda s: (lambda k, kp: 4 / (3 * mp.pi * kp) * ((kp * kp / (k * k)) *
//       (mp.ellipk(k * k) - mp.ellipe(k * k)) + mp.ellipe(k * k) - k))(1 / s, x / s))(mp.sqrt(1 + x * x))
// at mp.dps = 60 for each length over diameter x (printed with mp.nstr(kl(mp.mpf(x)), 17)).
// Short coils, where E - k cancels, come from the series and keep full
// precision; from 0.2 on the closed form gives the bits it always gave.
TEST(BaseFormulas, NagaokaCoefficientToFullPrecisionForEveryShape) {
    const struct {
        double shape, expected;
    } cases[] = {
        {1e-12, 1.8154686887533081e-11},
        {1e-10, 1.5222944492015371e-9},
        {1e-09, 1.3757073294256516e-8},
        {1e-07, 1.0825330898738818e-6},
        {1e-05, 7.8935885033257319e-5},
        {0.001, 4.9618467876171735e-3},
        {0.01, 3.4960245774116153e-2},
        {0.05, 1.2361480970476301e-1},
        {0.1, 2.0332351752191327e-1},
        {0.15, 2.6674351010992514e-1},
        {0.199, 3.1884412986463879e-1},
        {0.25, 3.6543189740035402e-1},
        {0.5, 5.2551002425192748e-1},
        {1, 6.8842260732037669e-1},
        {2, 8.1813575193470316e-1},
        {10, 9.5880712420372293e-1},
        {100, 9.9576836802797101e-1},
        {10000.0, 9.9995755993184216e-1},
        {100000000.0, 9.999999957558682e-1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shape);
        const double tolerance = c.shape < 0.2 ? 1e-15 : 1.5e-14;
        EXPECT_LT(std::fabs(nagaokaCoefficient(0.5, c.shape) / c.expected - 1), tolerance);
    }
    // Shapes far beyond any coil stay finite and positive: the coefficient
    // goes like 2x/pi (ln(4/x) - 1/2), the flat coil's mu0 a N^2 (ln(8a/l) - 1/2),
    // and tends to 1.
    for (const double shape : {1e-100, 1e-300, 1e20, 1e160, 1e300}) {
        const double value = nagaokaCoefficient(0.5, shape);
        EXPECT_TRUE(std::isfinite(value) && value > 0 && value <= 1) << shape << " " << value;
    }
    EXPECT_NEAR(nagaokaCoefficient(0.5, 1e-100) / (2e-100 / kPi * (std::log(4e100) - 0.5)), 1, 2e-15);
    EXPECT_EQ(nagaokaCoefficient(0.5, 1e300), 1);
}

TEST(BaseFormulas, SheetAgreesWithLundinAndWithTheLibrarysEllipticIntegrals) {
    double worstLundin = 0, worstLibrary = 0;
    for (double exponent = -2; exponent <= 2.0001; exponent += 0.01) {
        const double shape = std::pow(10, exponent), a = 0.013, l = 2 * a * shape;
        const double sheet = currentSheetInductance(a, 17, l);
        worstLundin = std::max(worstLundin, std::fabs(lundinInductance(a, 17, l) / sheet - 1));
        worstLibrary = std::max(worstLibrary, std::fabs(textbookNagaoka(a, l) / nagaokaCoefficient(a, l) - 1));
    }
    EXPECT_LT(worstLundin, 1e-5);
    EXPECT_LT(worstLibrary, 1e-8);
}

TEST(BaseFormulas, KnownValuesAndTheRangeWhereEachHolds) {
    const double inch = 0.0254;
    // One inch radius and length, 10 turns: 100 / 19 uH.
    EXPECT_NEAR(wheelerInductance(inch, 10, inch), 100.0 / 19 * 1e-6, 1e-18);
    EXPECT_DOUBLE_EQ(idealSolenoidInductance(0.01, 10, 0.02), kMu0 * kPi * 1e-4 * 100 / 0.02);
    // H(2) = 3/2 - 2 ln 2 exactly; G = 5/4 - ln(p / w).
    const double a = 0.01, l = 0.002, w = 0.0003;
    EXPECT_NEAR(rosaCorrection(a, 2, l, w) / (kMu0 * a * 2), 1.25 - std::log(0.001 / w) + 1.5 - 2 * std::log(2.0), 1e-7);
    // H(1) = 0: a single turn has no mutual inductance to correct.
    EXPECT_NEAR(rosaCorrection(a, 1, 0.001, w) / (kMu0 * a), 1.25 - std::log(0.001 / w), 1e-7);

    const struct {
        const char* what;
        double a, n, l, w;
        bool sheet, rosa;
    } coils[] = {
        {"ordinary coil", 0.01, 20, 0.02, 0.0002, true, true},
        {"pitch exactly 0.3 a", 0.01, 10, 0.03, 0.0002, true, true},
        {"pitch above 0.3 a", 0.01, 10, 0.0301, 0.0002, true, false},
        {"wire exactly the pitch", 0.01, 10, 0.004, 0.0002, true, true},
        {"wire thicker than the pitch", 0.01, 10, 0.0039, 0.0002, true, false},
        {"zero length", 0.01, 10, 0, 0.0002, false, false},
        {"zero radius", 0, 10, 0.02, 0.0002, false, false},
        {"no turns", 0.01, 0, 0.02, 0.0002, false, false},
        {"NaN length", 0.01, 10, NAN, 0.0002, false, false},
    };
    for (const auto& c : coils) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(!std::isnan(currentSheetInductance(c.a, c.n, c.l)), c.sheet);
        EXPECT_EQ(!std::isnan(wheelerInductance(c.a, c.n, c.l)), c.sheet);
        EXPECT_EQ(!std::isnan(idealSolenoidInductance(c.a, c.n, c.l)), c.sheet);
        EXPECT_EQ(!std::isnan(currentSheetRosaInductance(c.a, c.n, c.l, c.w)), c.rosa);
        EXPECT_EQ(!std::isnan(baseFactor(BaseFormula::sheetrosa, c.a, c.n, c.l, c.w)), c.rosa);
        EXPECT_EQ(baseFactor(BaseFormula::none, c.a, c.n, c.l, c.w), 1);
    }
}

TEST(BaseFormulas, NamesAndTheCorrectedEquation) {
    EXPECT_EQ(baseFormulaNames(), "none, wheeler, sheet, sheetrosa");
    for (const BaseFormula base : kBaseFormulas) EXPECT_EQ(baseFormulaNamed(baseFormulaInfo(base).name), base);
    EXPECT_FALSE(baseFormulaNamed("Sheet"));
    EXPECT_FALSE(baseFormulaNamed(""));
    EXPECT_EQ(correctedEquation(BaseFormula::none), "L = mu0 R(a) T(N) / (Lambda(l) W(w))");
    EXPECT_EQ(correctedEquation(BaseFormula::sheetrosa).rfind("L = sheetrosa(a, N, l, w) R(a) T(N) / (Lambda(l) W(w)), ", 0), 0u);
    EXPECT_EQ(correctedEquation(BaseFormula::wheeler).rfind("L = wheeler(a, N, l) R(a)", 0), 0u);
}

TEST(Baselines, ReproduceTheExampleCoilsTable) {
    const std::vector<Coil> coils = exampleCoils();
    std::vector<InductorRecord> list = records(coils);
    ResultRecord fitted{};
    fitted.goodness = 0.0772456;
    const Baselines b = classicalBaselines(&list[0], &fitted, 15, nullptr);
    ASSERT_EQ(b.rows.size(), 5u);
    const double expected[] = {0.8290, 0.0374, 0.0407, 0.0060};
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(b.rows[i].name);
        EXPECT_NEAR(b.rows[i].goodness, expected[i], 1e-4);
        EXPECT_EQ(b.rows[i].leftOut, 0);
    }
    EXPECT_STREQ(b.rows[4].name, "fitted");
    EXPECT_EQ(b.rows[4].goodness, 0.0772456);
    // The fitted set's own coils: the all-zero set evaluates none of them.
    EXPECT_EQ(b.rows[4].leftOut, 60);
}

TEST(Baselines, AgreeWithAnIndependentComputationOnOtherCoils) {
    const struct {
        const char* what;
        std::vector<Coil> coils;
    } sets[] = {
        {"close-wound", madeCoils(80, 7, 0.5)},
        {"spaced, some beyond Rosa's pitch", madeCoils(120, 11, 20)},
        {"one coil", madeCoils(1, 3, 1)},
    };
    for (const auto& set : sets) {
        SCOPED_TRACE(set.what);
        std::vector<InductorRecord> list = records(set.coils);
        ResultRecord fitted{};
        const Baselines b = classicalBaselines(&list[0], &fitted, 12, "sheet");
        for (int i = 0; i < 4; ++i) {
            SCOPED_TRACE(b.rows[i].name);
            int leftOut = 0;
            const double expected = textbookGoodness(b.rows[i].name, set.coils, leftOut);
            EXPECT_NEAR(b.rows[i].goodness, expected, 1e-6 * expected);
            EXPECT_EQ(b.rows[i].leftOut, leftOut);
        }
        EXPECT_EQ(b.rows[4].label, "fitted set (corrects sheet)");
    }
    // The widely spaced set has coils Rosa's correction leaves out, and only
    // that row loses them.
    std::vector<InductorRecord> spaced = records(sets[1].coils);
    ResultRecord fitted{};
    const Baselines b = classicalBaselines(&spaced[0], &fitted, 15, nullptr);
    EXPECT_GT(b.rows[3].leftOut, 0);
    EXPECT_EQ(b.rows[2].leftOut, 0);
}

TEST(Baselines, BlockListsEveryRowAndThePrediction) {
    Baselines b;
    b.rows = {{"solenoid", "ideal long solenoid", 0, 0.828972, 0},
              {"sheetrosa", "current sheet + Rosa's round-wire correction", 0, kNoValue, 3},
              {"fitted", "fitted set", 15, 0.0772456, 0}};
    b.predicted = true;
    b.folds = 10;
    b.prediction = 0.106;
    const std::string text = baselinesBlock(b);
    EXPECT_EQ(text.rfind("\n\nClassical formulas on these coils\n", 0), 0u);
    EXPECT_NE(text.find("  ideal long solenoid                                       0     0.828972         0\n"),
              std::string::npos);
    EXPECT_NE(text.find("none         3\n"), std::string::npos);
    EXPECT_NE(text.find("\n  fitted set, unseen coils (10-fold)  "), std::string::npos);
    EXPECT_TRUE(text.ends_with(" 0.106\n"));
}

TEST(BaseSetting, TargetsBecomeTheMeasuredOverTheBaseFactor) {
    CliRun scratch;
    scratch.write("coils.txt",
                  "1e-06,0.01,0.0002,24,10,0.02,ordinary\n"
                  "2e-06,0.01,0.0002,24,10,0.0301,spaced\n");
    theInductors = nullptr;
    readTestInductors((scratch.dir() / "coils.txt").c_str());
    resetTables();
    S[kBase].value.s = strdup("sheetrosa");
    testing::internal::CaptureStderr();
    applyBase();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Warning: base sheetrosa cannot evaluate 1 coil (spaced): it counts in no goodness\n");
    const InductorRecord* spaced = theInductors;  // reverse file order
    const InductorRecord* ordinary = spaced->next;
    const double b = currentSheetRosaInductance(0.01, 10, 0.02, 0.0002) / kMu0;
    EXPECT_EQ(ordinary->baseFactor, b);
    EXPECT_EQ(ordinary->measuredInductance, 1e-6 / b);
    EXPECT_EQ(measuredAsGiven(ordinary), 1e-6);
    EXPECT_EQ(correctedInductance(ordinary, 3.0), 3.0 * b);
    EXPECT_EQ(correctedInductance(ordinary, kNoValue), kNoValue);
    EXPECT_EQ(measuredAsGiven(spaced), 2e-6);
    EXPECT_TRUE(std::isnan(spaced->measuredInductance));
    EXPECT_TRUE(std::isnan(correctedInductance(spaced, 3.0)));

    // `base none` is the default: nothing changes, and it is not listed.
    theInductors = nullptr;
    readTestInductors((scratch.dir() / "coils.txt").c_str());
    free(S[kBase].value.s);
    S[kBase].value.s = strdup("none");
    EXPECT_TRUE(isDefaultSetting(kBase));
    applyBase();
    EXPECT_EQ(theInductors->baseFactor, 0);
    EXPECT_EQ(measuredAsGiven(theInductors), 2e-6);
    EXPECT_EQ(correctedInductance(theInductors, 3.0), 3.0);
    free(S[kBase].value.s);
    resetTables();
}

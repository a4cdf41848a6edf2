// The comparison's folds and repeats, the test of fit against a known
// uncertainty, and candidates that evaluate too few coils.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "cli_util.h"
#include "coils/readind.h"
#include "refine/assessment.h"
#include "refine/compare.h"

namespace {

std::vector<const InductorRecord*> coilsOf(const std::string& example) {
    theInductors = nullptr;
    readTestInductors(sourcePath("examples/" + example).c_str());
    std::vector<const InductorRecord*> list;
    for (const InductorRecord* coil = theInductors; coil != nullptr; coil = coil->next) list.push_back(coil);
    std::reverse(list.begin(), list.end());
    return list;
}

}  // namespace

TEST(CompareFolds, EveryRepeatPartitionsTheCoilsEvenly) {
    struct Case {
        int coils, folds, repeat;
    };
    const Case cases[] = {{60, 10, 0}, {60, 10, 1}, {60, 10, 4}, {61, 10, 2}, {12, 12, 3}, {7, 2, 1}};
    for (const Case& c : cases) {
        const std::vector<int> fold = foldsOfRepeat(c.coils, c.folds, c.repeat);
        ASSERT_EQ(fold.size(), static_cast<size_t>(c.coils));
        std::vector<int> sizes(c.folds, 0);
        for (const int f : fold) {
            ASSERT_GE(f, 0);
            ASSERT_LT(f, c.folds);
            ++sizes[f];
        }
        const auto [least, most] = std::minmax_element(sizes.begin(), sizes.end());
        EXPECT_LE(*most - *least, 1) << c.coils << " coils, repeat " << c.repeat;
        // The same folds on every call: every candidate and every run.
        EXPECT_EQ(foldsOfRepeat(c.coils, c.folds, c.repeat), fold);
        if (c.repeat == 0)
            for (int i = 0; i < c.coils; ++i) EXPECT_EQ(fold[i], i % c.folds);
        else
            EXPECT_NE(fold, foldsOfRepeat(c.coils, c.folds, 0)) << c.coils << " coils, repeat " << c.repeat;
    }
}

TEST(CompareFolds, RepeatsGiveMeanAndSpread) {
    const RepeatedRms two = repeatedRms({0.1, 0.12, std::nan("")});
    EXPECT_EQ(two.repeats, 2);
    EXPECT_DOUBLE_EQ(two.mean, 0.11);
    EXPECT_NEAR(two.spread, std::sqrt(0.0002), 1e-15);
    const RepeatedRms one = repeatedRms({0.1});
    EXPECT_DOUBLE_EQ(one.mean, 0.1);
    EXPECT_TRUE(std::isnan(one.spread));
    EXPECT_TRUE(std::isnan(repeatedRms({std::nan("")}).mean));
}

TEST(UncertaintyTest, ChiSquareAgainstTheUncertaintyAndItsVerdict) {
    struct Case {
        double chi2PerDof;
        double pValue;  // scipy.stats.chi2.sf(chi2PerDof * 48, 48)
        const char* verdict;
    };
    const Case cases[] = {
        {1.0, 0.472849720547744, "The formula explains the coils to within their uncertainty of 0.005"},
        {72.9528 / 48, 0.011604615519187289, "The formula explains the coils nearly to within"},
        {300, 0, "The formula does not explain the coils to within their uncertainty of 0.005: its own error"},
        {0.3, 0.9999993671164187, "The formula explains the coils to within their uncertainty of 0.005, and closer than it allows"},
    };
    for (const Case& c : cases) {
        FitStatistics s;
        s.n = 60;
        s.p = 12;
        s.chisqr = c.chi2PerDof * 48 * 0.005 * 0.005;
        const UncertaintyTest t = uncertaintyTest(s, 0.005);
        EXPECT_EQ(t.nu, 48);
        EXPECT_NEAR(t.chi2PerDof, c.chi2PerDof, 1e-12 * c.chi2PerDof);
        EXPECT_NEAR(t.pValue, c.pValue, 1e-9) << c.chi2PerDof;
        EXPECT_EQ(t.verdict.rfind(c.verdict, 0), 0u) << t.verdict;
    }
    // Standard errors from U: (JᵀJ)⁻¹·U² in place of (JᵀJ)⁻¹·χ²/ν.
    FitStatistics s;
    s.redchi = 4e-4;
    s.standardError.fill(std::nan(""));
    s.standardError[cR2] = 0.2;
    s.covariance = {0.04};
    errorsFromUncertainty(s, 0.005);
    EXPECT_NEAR(s.standardError[cR2], 0.2 * 0.005 / 0.02, 1e-15);
    EXPECT_NEAR(s.covariance[0], 0.04 * 0.005 * 0.005 / 4e-4, 1e-15);
}

// Twelve coils cannot compare forms of twelve coefficients (p + 2 = 14
// needed); the classical formulas, which fit nothing, still compare.
TEST(CompareForms, TooFewCoilsMakeAFormNotComparable) {
    const std::vector<const InductorRecord*> coils = coilsOf("coils-small.txt");
    OwnForm own;
    for (const FormStart& start : formStarts(BaseFormula::none)) own.coefficients = start.coefficients;
    own.held = formStarts(BaseFormula::none).front().held;
    const Comparison c = compareForms(coils, own, 10, 2, 0);
    ASSERT_EQ(c.rows.size(), 8u);
    for (const CandidateForm& row : c.rows) {
        EXPECT_EQ(row.comparable, row.classical) << row.name;
        if (!row.classical) {
            EXPECT_EQ(row.fitted, 12) << row.name;
            EXPECT_FALSE(row.coefficients) << row.name;
        }
    }
    ASSERT_GE(c.recommended, 0);
    EXPECT_TRUE(c.rows[c.recommended].classical);
    EXPECT_NE(c.lost.find("too few to compare"), std::string::npos) << c.lost;
}

// The example coils' fit domain, as the result JSON states it.
TEST(CompareForms, DomainSpansTheFittedCoils) {
    std::vector<FitCoil> coils;
    for (const InductorRecord* coil : coilsOf("coils-example.txt")) coils.push_back(fitCoilOf(coil));
    const FitDomain d = fitDomain(coils);
    EXPECT_EQ(d.coils, 60);
    EXPECT_EQ(d.turns[0], 3);
    EXPECT_EQ(d.turns[1], 120);
    EXPECT_EQ(d.radius[1], 0.0390414);
    EXPECT_NEAR(d.lengthOverDiameter[0], 0.2042, 1e-4);
}

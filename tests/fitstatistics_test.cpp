// The statistics, cross-validation and pruning of a fitted set, checked on
// the example coils against a plain computation written out here: an
// analytic Jacobian, Eigen's inverse of JᵀJ and a Gauss-Newton refit.
#include <gtest/gtest.h>

#include <Eigen/Dense>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "cli_util.h"
#include "coils/equation.h"
#include "coils/readind.h"
#include "refine/crossvalidate.h"
#include "refine/fitanalysis.h"
#include "refine/polish.h"
#include "refine/prune.h"
#include "refine/statistics.h"

namespace {

// The set of examples/ranges-check.txt: the least-squares optimum.
constexpr Coefficients kBestKnown = {
    -8.732781689279856e-06, 0.009955939075009634, 1.9850171547235633, -4.984484737436539,
    1.0, 427.8619018317577, -336246.1873987322,
    -2.1439263288092216, 0.24952814200376455, 1.0, -0.0009084954525924058,
    0.006500111725152886, 1.0, -2.2350988138900956, -0.26797532377414307};

std::vector<const InductorRecord*> exampleCoilsInFileOrder() {
    static const std::vector<const InductorRecord*> coils = [] {
        theInductors = nullptr;
        readTestInductors(sourcePath("examples/coils-example.txt").c_str());
        std::vector<const InductorRecord*> list;
        for (const InductorRecord* coil = theInductors; coil != nullptr; coil = coil->next)
            list.push_back(coil);
        std::reverse(list.begin(), list.end());
        return list;
    }();
    return coils;
}

// The example's final set, polished from the known optimum, and the
// coefficients the polish held.
struct Fitted {
    std::vector<FitCoil> coils;
    Coefficients c;
    int32_t held;
};
const Fitted& exampleFit() {
    static const Fitted fit = [] {
        ResultRecord set{};
        set.coefficients = kBestKnown;
        const InductorRecord* list = exampleCoilsInFileOrder().back();  // theInductors: reverse file order
        const PolishOutcome outcome = polishSet(list, &set, 0);
        Fitted f{{}, set.coefficients, outcome.held};
        for (const InductorRecord* coil : exampleCoilsInFileOrder()) f.coils.push_back(fitCoilOf(coil));
        return f;
    }();
    return fit;
}

// The residual L/m - 1 of one coil and its derivatives by the coefficients,
// written out: dL/dc = ±L·x^j / P(x) for the coefficient of x^j in P.
struct Linearised {
    Eigen::VectorXd r;
    Eigen::MatrixXd j;  // free columns only
};
Linearised linearise(const std::vector<FitCoil>& coils, const Coefficients& c, const std::vector<int>& free) {
    struct Group {
        int first, count, sign;
        double FitCoil::*variable;
    };
    const Group groups[] = {{0, 4, 1, &FitCoil::radius}, {4, 3, -1, &FitCoil::wire},
                            {7, 4, 1, &FitCoil::turns},  {11, 4, -1, &FitCoil::length}};
    Linearised out{Eigen::VectorXd(coils.size()), Eigen::MatrixXd(coils.size(), free.size())};
    for (size_t i = 0; i < coils.size(); ++i) {
        std::array<double, kCoefficientCount> d{};
        double product = kMu0;
        for (const Group& g : groups) {
            const double x = coils[i].*g.variable;
            double value = 0;
            for (int k = 0; k < g.count; ++k) value += c[g.first + k] * std::pow(x, k);
            product = g.sign > 0 ? product * value : product / value;
            for (int k = 0; k < g.count; ++k) d[g.first + k] = g.sign * std::pow(x, k) / value;
        }
        const double q = product / coils[i].measured;
        out.r(i) = q - 1;
        for (size_t k = 0; k < free.size(); ++k) out.j(i, k) = q * d[free[k]];
    }
    return out;
}

std::vector<int> freeOf(int32_t held) {
    std::vector<int> free;
    for (int k = 0; k < kCoefficientCount; ++k)
        if ((held >> k & 1) == 0) free.push_back(k);
    return free;
}

// Gauss-Newton with step halving, in columns scaled to unit norm.
Coefficients gaussNewton(const std::vector<FitCoil>& coils, Coefficients c, int32_t held) {
    const std::vector<int> free = freeOf(held);
    Linearised now = linearise(coils, c, free);
    for (int iteration = 0; iteration < 100; ++iteration) {
        const Eigen::VectorXd norms = now.j.colwise().norm();
        const Eigen::VectorXd step =
            (now.j * norms.cwiseInverse().asDiagonal()).colPivHouseholderQr().solve(-now.r).cwiseQuotient(norms);
        bool improved = false;
        for (double t = 1; t > 1e-6 && !improved; t /= 2) {
            Coefficients next = c;
            for (size_t k = 0; k < free.size(); ++k) next[free[k]] += t * step(k);
            const Linearised there = linearise(coils, next, free);
            if (there.r.squaredNorm() < now.r.squaredNorm()) {
                improved = now.r.squaredNorm() - there.r.squaredNorm() > 1e-15 * now.r.squaredNorm();
                c = next;
                now = there;
                if (!improved) return c;
            }
        }
        if (!improved) return c;
    }
    return c;
}

}  // namespace

// Standard errors within 0.1 %, AIC, BIC and leverages within 1e-6 of the
// plain computation; the figures a reader of the example is shown.
TEST(FitStatistics, AgreeWithAPlainComputationOnTheExampleCoils) {
    const Fitted& fit = exampleFit();
    EXPECT_EQ(fit.held, (1 << cW0) | (1 << cT2) | (1 << cL1));
    const FitStatistics s = fitStatistics(fit.coils, fit.c, fit.held);
    ASSERT_EQ(s.unavailable, "");
    const std::vector<int> free = freeOf(fit.held);
    const Linearised lin = linearise(fit.coils, fit.c, free);
    const int n = static_cast<int>(fit.coils.size()), p = static_cast<int>(free.size());
    const Eigen::VectorXd norms = lin.j.colwise().norm();
    const Eigen::MatrixXd scaled = lin.j * norms.cwiseInverse().asDiagonal();
    const Eigen::MatrixXd inverse = (scaled.transpose() * scaled).inverse();
    const double chisqr = lin.r.squaredNorm();
    EXPECT_EQ(s.n, n);
    EXPECT_EQ(s.p, p);
    EXPECT_NEAR(s.aic, n * std::log(chisqr / n) + 2 * p, 1e-6);
    EXPECT_NEAR(s.bic, n * std::log(chisqr / n) + std::log(n) * p, 1e-6);
    for (int k = 0; k < p; ++k) {
        const double expected = std::sqrt(inverse(k, k) * chisqr / (n - p)) / norms(k);
        EXPECT_NEAR(s.standardError[free[k]] / expected, 1, 1e-3) << kCoefficientNames[free[k]];
    }
    const Eigen::VectorXd leverage = (scaled * inverse * scaled.transpose()).diagonal();
    for (int i = 0; i < n; ++i) EXPECT_NEAR(s.leverage[i], leverage(i), 1e-6) << i;
    ASSERT_EQ(s.highCorrelations.size(), 2u);
    EXPECT_EQ(s.highCorrelations[0].first * 100 + s.highCorrelations[0].second, cL2 * 100 + cL3);
    EXPECT_NEAR(s.highCorrelations[0].r, -0.982, 5e-4);
    EXPECT_TRUE(s.outliers.empty());
}

// Coils that cannot tell coefficients apart, or too few coils, give no
// numbers that would mislead.
TEST(FitStatistics, SayWhyInsteadOfMeaninglessNumbers) {
    const Fitted& fit = exampleFit();
    // With one number of turns T(N) is a constant factor, which R's free
    // scale already gives: t0, t1 and t3 are undetermined.
    std::vector<FitCoil> sameTurns = fit.coils;
    for (FitCoil& coil : sameTurns) coil.turns = 20;
    const std::vector<FitCoil> twelve(fit.coils.begin(), fit.coils.begin() + 12);
    struct Case {
        const char* name;
        std::vector<FitCoil> coils;
        std::string unavailable;
        int undetermined;  // how many
    };
    // Measured values that the final set computes exactly: residuals of
    // round-off only, where chi-square, AIC and errors mean nothing.
    std::vector<double> residuals;
    ASSERT_TRUE(evaluateResiduals(fit.coils, fit.c, residuals, nullptr));
    static std::vector<InductorRecord> exactRecords;
    exactRecords.clear();
    for (size_t i = 0; i < fit.coils.size(); ++i) {
        exactRecords.push_back(*fit.coils[i].record);
        exactRecords.back().measuredInductance *= 1 + residuals[i];
    }
    static std::vector<InductorRecord> twentyRecords;
    twentyRecords.assign(20, exactRecords[0]);
    std::vector<FitCoil> exact, twenty;
    for (const InductorRecord& record : exactRecords) exact.push_back(fitCoilOf(&record));
    for (const InductorRecord& record : twentyRecords) twenty.push_back(fitCoilOf(&record));
    const auto roundOff = [&](const std::vector<FitCoil>& coils) {
        const double rms = std::sqrt(squaredErrorSum(coils, fit.c) / static_cast<double>(coils.size()));
        char text[32];
        std::snprintf(text, sizeof text, "%g", rms);
        return std::string("the final set fits every coil to round-off (RMS relative error ") + text +
               "), so chi-square and all that derives from it mean nothing";
    };
    const Case cases[] = {
        {"same turns", sameTurns, "", 3},
        {"exact", exact, roundOff(exact), 0},
        {"twenty identical exact coils", twenty, roundOff(twenty), 0},
        {"12 coils", twelve, "too few coils: 12 evaluated, at least 13 needed for 12 free coefficients", 0},
        {"no coil", {}, "the final set evaluates no coil", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const FitStatistics s = fitStatistics(c.coils, fit.c, fit.held);
        EXPECT_EQ(s.unavailable, c.unavailable);
        EXPECT_EQ(std::popcount(static_cast<uint32_t>(s.undetermined)), c.undetermined);
        EXPECT_EQ(s.undetermined & ~((1 << cT0) | (1 << cT1) | (1 << cT3)), 0);
        for (const double e : s.standardError) EXPECT_TRUE(std::isnan(e));
        EXPECT_TRUE(s.correlation.empty());
        EXPECT_TRUE(s.outliers.empty());
    }
}

// Leave-one-out within 1e-4 (relative) of a Gauss-Newton refit per coil;
// 10 folds keep coil i in fold i mod 10.
TEST(FitStatistics, CrossValidationMatchesIndependentRefits) {
    const Fitted& fit = exampleFit();
    const CrossValidation loo = crossValidate(fit.coils, fit.c, fit.held, 1000);
    EXPECT_EQ(loo.folds, 60);
    EXPECT_TRUE(loo.failed.empty());
    double sum = 0;
    for (size_t i = 0; i < fit.coils.size(); ++i) {
        std::vector<FitCoil> others = fit.coils;
        others.erase(others.begin() + static_cast<long>(i));
        const Coefficients c = gaussNewton(others, fit.c, fit.held);
        const double r = linearise({fit.coils[i]}, c, {}).r(0);
        sum += r * r;
    }
    EXPECT_NEAR(loo.rms / std::sqrt(sum / 60), 1, 1e-4);
    EXPECT_NEAR(loo.rms, 0.1062, 5e-4);

    const CrossValidation tenfold = crossValidate(fit.coils, fit.c, fit.held, 10);
    EXPECT_EQ(tenfold.folds, 10);
    EXPECT_GT(tenfold.rms, 0.0772456);
    // Too few coils left to refit: every fold fails and is named.
    const std::vector<FitCoil> fourteen(fit.coils.begin(), fit.coils.begin() + 14);
    const CrossValidation failing = crossValidate(fourteen, fit.c, fit.held, 2);
    ASSERT_EQ(failing.failed.size(), 2u);
    EXPECT_EQ(failing.failed[1].fold, 1);
    EXPECT_EQ(failing.failed[1].reason, "7 coils are too few to refit 12 free coefficients");
    EXPECT_TRUE(std::isnan(failing.rms));
}

// Every step lowers AIC, and at the end pinning any remaining free term to 0
// would not.
TEST(FitStatistics, PruningLowersAicUntilNoRemovalDoes) {
    const Fitted& fit = exampleFit();
    const Pruning pruning = pruneByAic(fit.coils, fit.c, fit.held);
    const int n = static_cast<int>(fit.coils.size());
    double aic = fitStatistics(fit.coils, fit.c, fit.held).aic;
    std::vector<int> dropped;
    for (const PruneStep& step : pruning.steps) {
        EXPECT_LT(step.aic, aic) << kCoefficientNames[step.coefficient];
        aic = step.aic;
        dropped.push_back(step.coefficient);
    }
    EXPECT_EQ(dropped, (std::vector<int>{cL3, cT1, cR3}));
    EXPECT_NEAR(pruning.goodness, 0.07756, 1e-5);
    const int32_t fixed = fit.held | pruning.dropped;
    for (const int k : dropped) EXPECT_EQ(pruning.coefficients[k], 0.0);
    for (const int k : freeOf(fixed)) {
        Coefficients start = pruning.coefficients;
        start[k] = 0;
        const Refit r = refit(fit.coils, start, fixed | 1 << k);
        if (!r.usable) continue;
        const double chisqr = squaredErrorSum(fit.coils, r.coefficients);
        EXPECT_GE(akaike(n, chisqr, static_cast<int>(freeOf(fixed).size()) - 1), pruning.aic) << kCoefficientNames[k];
    }
}

// Pruning and prediction rest on a determined fit with finite standard
// errors: without one the block says what is wrong and advises nothing.
TEST(FitStatistics, NoAdviceFromAnUndeterminedOrInfiniteFit) {
    const Fitted& fit = exampleFit();
    std::vector<FitCoil> sameTurns = fit.coils, huge = fit.coils;
    for (FitCoil& coil : sameTurns) coil.turns = 20;
    for (FitCoil& coil : huge) coil.measured *= 1e300;
    const struct {
        const char* name;
        std::vector<FitCoil> coils;
        const char* says;
    } cases[] = {
        {"undetermined", sameTurns, "  The data do not determine "},
        {"inductances scaled by 1e300", huge, " are not finite numbers: the data's scale is beyond what double\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<InductorRecord> records;
        for (const FitCoil& coil : c.coils) {
            InductorRecord record = *coil.record;
            record.measuredInductance = coil.measured;
            record.turns = static_cast<int32_t>(coil.turns);
            records.push_back(record);
        }
        std::vector<const InductorRecord*> list;
        for (const InductorRecord& record : records) list.push_back(&record);
        ResultRecord set{};
        set.coefficients = fit.c;
        set.goodness = 0.1;
        const FitAnalysis a = analyseFit(list, &set, 0, fit.held, 10, true);
        ASSERT_EQ(a.statistics.unavailable, "");
        EXPECT_FALSE(a.crossValidation.has_value());
        EXPECT_FALSE(a.pruning.has_value());
        const std::string block = fitStatisticsBlock(a);
        EXPECT_NE(block.find(c.says), std::string::npos) << block;
        EXPECT_NE(block.find("  So no prediction RMS and no pruning advice are given.\n"), std::string::npos) << block;
        EXPECT_EQ(block.find("Prediction RMS"), std::string::npos) << block;
        EXPECT_EQ(block.find("support every"), std::string::npos) << block;
    }
}

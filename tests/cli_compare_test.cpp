// Which formula to use (compare 1), a known measurement uncertainty,
// repeated cross-validation and coefficients that hold, as a user runs them.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <string>
#include <vector>

#include "cli_util.h"
#include "coils/records.h"

namespace {

using Json = nlohmann::ordered_json;

// Least-squares floors on coils-example.txt of the equation alone and as a
// correction to each base, by SciPy's Levenberg-Marquardt from ten scattered
// starts (python/tests/test_compare.py repeats the check).
struct Floor {
    const char* name;
    double goodness;
};
constexpr Floor kFloors[] = {{"equation", 0.0772456249},
                             {"equation+wheeler", 0.0170028831},
                             {"equation+sheet", 0.0154167143},
                             {"equation+sheetrosa", 0.00551334855}};

const Json* candidate(const Json& compare, const std::string& name) {
    for (const Json& row : compare["candidates"])
        if (row["name"] == name) return &row;
    return nullptr;
}

}  // namespace

TEST(Compare, ExampleCoilsRecommendTheSheetWithRosa) {
    CliRun run;
    run.copyExample("coils-example.txt");
    run.write("r.txt", readFile(sourcePath("examples/ranges-check.txt")) +
                           "compare 1\ncvrepeats 3\nuncertainty 0.005\nresultjson out.json\n");
    const CliResult result = run.run({"coils-example.txt", "r.txt"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    const size_t block = result.out.find("\n\nWhich formula\n");
    ASSERT_NE(block, std::string::npos);
    EXPECT_NE(result.out.find("  Recommended: current sheet + Rosa\n", block), std::string::npos);
    EXPECT_NE(result.out.find("  The run's own form, equation alone (this run), predicts new coils", block),
              std::string::npos);
    // The result file carries the same blocks before its range table.
    const std::string file = run.read("check-result.txt");
    EXPECT_NE(file.find("\n\nWhich formula\n"), std::string::npos);
    EXPECT_NE(file.find("\n\nFitted on 60 coils: coil radius 0.0030705 to 0.0390414 m"), std::string::npos);

    const Json json = Json::parse(run.read("out.json"));
    const Json& compare = json["compare"];
    EXPECT_EQ(compare["folds"], 10);
    EXPECT_EQ(compare["repeats"], 3);
    EXPECT_EQ(compare["recommended"], "sheetrosa");
    EXPECT_EQ(compare["candidates"].size(), 8u);
    for (const Floor& floor : kFloors) {
        const Json* row = candidate(compare, floor.name);
        ASSERT_NE(row, nullptr) << floor.name;
        EXPECT_NEAR((*row)["goodness"].get<double>(), floor.goodness, 1e-6 * floor.goodness) << floor.name;
        EXPECT_EQ((*row)["coefficients_fitted"], 12) << floor.name;
        EXPECT_EQ((*row)["kind"], "equation");
        EXPECT_GT((*row)["cv_rms_mean"].get<double>(), (*row)["goodness"].get<double>()) << floor.name;
        EXPECT_GT((*row)["cv_rms_spread"].get<double>(), 0) << floor.name;
    }
    // On coils made with 0.5 % noise the Rosa correction explains them to
    // about their uncertainty, the equation alone by far not.
    EXPECT_LT((*candidate(compare, "sheetrosa"))["chi2_per_dof"].get<double>(), 2);
    EXPECT_GT((*candidate(compare, "equation"))["chi2_per_dof"].get<double>(), 100);
    EXPECT_GT(json["uncertainty"]["chi2_per_dof"].get<double>(), 100);
    EXPECT_EQ(json["uncertainty"]["nu"], 48);
    EXPECT_EQ(json["uncertainty"]["verdict"].get<std::string>().rfind("The formula does not explain", 0), 0u);
    const Json& domain = json["domain"];
    EXPECT_EQ(domain["turns"], Json::array({3, 120}));
    const Json& prediction = json["prediction"];
    EXPECT_EQ(prediction["method"], "cv+");
    EXPECT_EQ(prediction["base"], "none");
    EXPECT_EQ(prediction["held"], Json::array({"w0", "t2", "l1"}));
    EXPECT_EQ(prediction["fold_of_coil"].size(), json["coils"].size());
    EXPECT_EQ(prediction["fold_of_coil"][13], 3);
    EXPECT_EQ(prediction["fold_coefficients"].size(), 10u);
    EXPECT_EQ(json["settings"]["compare"], 1);
}

// With the new settings at their defaults, given or not, every output is
// what it was.
TEST(Compare, DefaultsChangeNothing) {
    CliRun run;
    run.copyExample("coils-example.txt");
    const std::string ranges = readFile(sourcePath("examples/ranges-check.txt")) +
                               "statistics 1\ncrossvalidate 5\nresultjson out.json\n";
    run.write("plain.txt", ranges);
    run.write("given.txt", ranges + "compare 0\nuncertainty 0\ncvrepeats 1\n");
    const CliResult plain = run.run({"coils-example.txt", "plain.txt"});
    const std::string plainFile = run.read("check-result.txt"), plainJson = run.read("out.json");
    const CliResult given = run.run({"coils-example.txt", "given.txt"});
    ASSERT_EQ(given.status, 0) << given.err;
    const auto withoutTiming = [](std::string text) {
        const size_t at = text.find(" iterations, ");
        return at == std::string::npos ? text : text.erase(at, text.find('\n', at) - at);
    };
    EXPECT_EQ(withoutTiming(given.out), withoutTiming(plain.out));
    EXPECT_EQ(run.read("check-result.txt"), plainFile);
    EXPECT_EQ(run.read("out.json"), plainJson);
    EXPECT_EQ(plainJson.find("\"domain\""), std::string::npos);
}

TEST(Hold, KeepsTheCoefficientAtLowForEverySeed) {
    for (const int polish : {0, 1})
        for (const int seed : {1, 2, 3, 4, 5}) {
            CliRun run;
            prepareQuickRun(run, "t1 0 0 1 1 1\nhold t1\nresultjson out.json\nseed " + std::to_string(seed) +
                                     "\npolish " + std::to_string(polish) + "\n");
            const CliResult result = run.run({"coils-small.txt", "ranges.txt"});
            ASSERT_EQ(result.status, 0) << result.err;
            EXPECT_EQ(afterFewCoilsWarning(result.err), "");
            const Json json = Json::parse(run.read("out.json"));
            EXPECT_EQ(json["coefficients"]["t1"].get<double>(), 0.0) << "seed " << seed << ", polish " << polish;
            EXPECT_EQ(json["settings"]["hold"], "t1");
        }
}

TEST(Hold, ASingleValueRangeWithoutHoldIsWarnedAbout) {
    CliRun run;
    prepareQuickRun(run, "t1 0 0 1 1 1\nl3 0 0 1.5 0.15 6\n");
    const CliResult result = run.run({"coils-small.txt", "ranges.txt"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err,
              "Warning: the range of t1, l3 is a single value (low equal to high), but a random draw gives low or "
              "low + resolution (t1 is drawn as 0 or 1); to keep them at low everywhere, add the line `hold t1,l3` "
              "to the ranges file\n");
}

// The docs' pruning example: the advice's lines and its hold line pasted
// into the ranges file give the numbers the advice printed.
TEST(Hold, ThePruningAdviceReproduces) {
    CliRun run;
    run.copyExample("coils-example.txt");
    std::string ranges = readFile(sourcePath("examples/ranges-check.txt"));
    run.write("advice.txt", ranges + "prune 1\ncvrepeats 2\n");
    const CliResult advice = run.run({"coils-example.txt", "advice.txt"});
    ASSERT_EQ(advice.status, 0) << advice.err;
    const size_t lines = advice.out.find("l3 0 0 1.5 0.15 6\nt1 0 0 0.1 0.01 6\nr3 0 0 1 0.1 6\nhold l3,t1,r3\n");
    ASSERT_NE(lines, std::string::npos) << advice.out;
    EXPECT_NE(advice.out.find("     3  r3             0.0775588     -288.806\n"), std::string::npos);
    run.write("pruned.txt", ranges + "l3 0 0 1.5 0.15 6\nt1 0 0 0.1 0.01 6\nr3 0 0 1 0.1 6\nhold l3,t1,r3\n"
                                     "statistics 1\n");
    const CliResult pruned = run.run({"coils-example.txt", "pruned.txt"});
    ASSERT_EQ(pruned.status, 0) << pruned.err;
    EXPECT_NE(pruned.out.find("chi-square = 0.360922, reduced chi-square = 0.00707691, AIC = -288.806"),
              std::string::npos)
        << pruned.out;
    EXPECT_NE(pruned.out.find("           t1              0        pinned\n"), std::string::npos);
    EXPECT_NE(pruned.out.find("  Correlations above 0.95 in absolute value: none\n"), std::string::npos);
}

// The correction to the sheet with Rosa's correction, fitted from the base
// itself, against the example coils' 0.5 % noise: chi-square/nu about 1.5,
// standard errors from the uncertainty, and repeated cross-validation.
TEST(Uncertainty, TheStatisticsTestTheFitAgainstIt) {
    CliRun run;
    run.copyExample("coils-example.txt");
    std::string ranges;
    for (const char* line : {"r0 0.8 1.25 0.01 0.001 6", "r1 -20 40 0.5 0.05 6", "r2 -1500 1000 20 2 6",
                             "r3 -2e4 3e4 500 50 6", "w0 0.8 1.25 0.01 0.001 6", "w1 -500 1000 20 2 6",
                             "w2 -6e5 3e5 2e4 2000 6", "t0 0.8 1.25 0.01 0.001 6", "t1 -0.01 0.005 1.5e-4 1.5e-5 6",
                             "t2 -5e-5 1e-4 1.5e-6 1.5e-7 6", "t3 -5e-7 2e-7 2e-8 2e-9 6", "l0 0.8 1.25 0.01 0.001 6",
                             "l1 -10 2 0.15 0.015 6", "l2 -20 100 1.5 0.15 6", "l3 -500 200 10 1 6"})
        ranges += std::string(line) + "\n";
    for (int k = 0; k < kCoefficientCount; ++k)
        ranges += std::string("best") + kCoefficientNames[k] + (k == cR0 || k == cW0 || k == cT0 || k == cL0 ? " 1\n" : " 0\n");
    ranges += "maxgenerations 0\nprocesses 1\nbase sheetrosa\nresultfile out.txt\nresultjson out.json\n";
    run.write("plain.txt", ranges + "statistics 1\n");
    run.write("u.txt", ranges + "uncertainty 0.005\ncvrepeats 4\n");
    const CliResult plain = run.run({"coils-example.txt", "plain.txt"});
    ASSERT_EQ(plain.status, 0) << plain.err;
    const Json plainJson = Json::parse(run.read("out.json"));
    const CliResult result = run.run({"coils-example.txt", "u.txt"});
    ASSERT_EQ(result.status, 0) << result.err;
    const Json json = Json::parse(run.read("out.json"));
    const Json& u = json["uncertainty"];
    EXPECT_NEAR(u["chi2_per_dof"].get<double>(), 1.52, 0.01);
    EXPECT_NEAR(u["p_value"].get<double>(), 0.0116, 0.0005);
    EXPECT_EQ(u["verdict"].get<std::string>().rfind("The formula explains the coils nearly to within their uncertainty of 0.005", 0), 0u);
    EXPECT_NE(result.out.find("  " + u["verdict"].get<std::string>() + "\n"), std::string::npos);
    // The errors scale from the fit's scatter to the uncertainty.
    const double scale = 0.005 / std::sqrt(plainJson["statistics"]["redchi"].get<double>());
    for (const char* name : {"r1", "w1", "t1", "l2"})
        EXPECT_NEAR(json["statistics"]["stderr"][name].get<double>(),
                    plainJson["statistics"]["stderr"][name].get<double>() * scale,
                    1e-9 * json["statistics"]["stderr"][name].get<double>())
            << name;
    EXPECT_NE(result.out.find("  Prediction RMS over 4 repeats of 10-fold cross-validation on reshuffled folds: mean "),
              std::string::npos);
    EXPECT_NE(result.out.find("; check the measurement, or the formula's reach at this shape\n"), std::string::npos);
    EXPECT_EQ(json["prediction"]["base"], "sheetrosa");
    EXPECT_EQ(json.find("compare"), json.end());
}

// Which formula to use (compare 1), a known measurement uncertainty,
// repeated cross-validation and coefficients that hold, as a user runs them.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <string>
#include <vector>

#include "cli_util.h"

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
            EXPECT_EQ(result.err, "");
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

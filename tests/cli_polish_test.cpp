// Complete runs with the least-squares polish: a short example fit ends at
// the optimum, every way a run ends polishes, the settings at 0 change
// nothing, and the statistics block and result JSON of a run.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>
#include <vector>

#include "cli_util.h"
#include "coils/records.h"

namespace {

// The goodness of the least-squares optimum on the example coils.
constexpr double kBestGoodness = 0.0772456;

std::string exampleRanges(const std::string& extra) {
    return readFile(sourcePath("examples/ranges-example.txt")) +
           "polish 0\nnormalize 0\nreportstyle classic\nprocesses 1\n" + extra;
}

// The line of `text` that begins at `from`, without its newline.
std::string lineAt(const std::string& text, size_t from) {
    return text.substr(from, text.find('\n', from) - from);
}

}  // namespace

// A short example fit ends at the optimum once polished.
TEST(PolishRun, ShortExampleFitEndsAtTheOptimum) {
    CliRun run;
    run.copyExample("coils-example.txt");
    run.write("ranges.txt", exampleRanges("maxgenerations 20\npolish 1\n"));
    const CliResult result = run.run({"coils-example.txt", "ranges.txt"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_NE(result.out.find("\n              polish: 1\n"), std::string::npos);

    // The Polished line comes right after the last generation, the report
    // of the polished set right after it.
    const size_t lastGen = result.out.find("\ngen = 19 done already ");
    ASSERT_NE(lastGen, std::string::npos);
    const size_t at = result.out.find('\n', lastGen + 1) + 1;
    const std::string polished = lineAt(result.out, at);
    double before = 0, after = 0;
    int iterations = 0, milliseconds = 0, used = 0;
    const char* format = "Polished: goodness %lf -> %lf in %d iterations, %d ms%n";
    ASSERT_EQ(std::sscanf(polished.c_str(), format, &before, &after, &iterations, &milliseconds, &used), 4)
        << polished;
    EXPECT_EQ(used, static_cast<int>(polished.size())) << polished;
    EXPECT_GT(before, kBestGoodness + 1e-3);  // the search alone is not there yet
    EXPECT_NEAR(after, kBestGoodness, 1e-6);
    char goodnessLine[64];
    std::snprintf(goodnessLine, sizeof goodnessLine, "\n// Goodness = %g\n", after);
    EXPECT_EQ(result.out.find(goodnessLine), at + polished.size());
}

// Every way a run ends goes through the polish: the stall limit (here with
// sets that evaluate no coil, which the polish keeps) and Escape.
TEST(PolishRun, PolishesHoweverTheRunEnds) {
    const std::string quick = "minormax 50\nmaxgenerations 3\npolish 1\n";
    {
        CliRun run;
        run.copyExample("coils-small.txt");
        run.write("ranges.txt", exampleRanges(quick + "w0 0 0 1e-300 0.01 2\nw1 0 0 1e-300 0.01 2\n"
                                                      "w2 0 0 1e-300 0.01 2\nquitat 0\n"));
        const CliResult result = run.run({"coils-small.txt", "ranges.txt"});
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_NE(result.out.find("\nGone to long without results\n"
                                  "Polish kept the found set: the found set evaluates no coil\n"
                                  "// Goodness = 1e+208\n"),
                  std::string::npos);
    }
    {
        CliRun run;
        run.copyExample("coils-small.txt");
        run.write("ranges.txt", exampleRanges(quick));
        const CliResult result = run.runWithInput({"coils-small.txt", "ranges.txt"}, "\x1b");
        EXPECT_EQ(result.status, 255);
        EXPECT_FALSE(result.processesLeft);
        const size_t quitting = result.out.find("\nQuitting early\nPolish");
        ASSERT_NE(quitting, std::string::npos);
        size_t report = result.out.find('\n', quitting + 16) + 1;
        if (result.out.compare(report, 44, "Polished coefficients outside their ranges: ") == 0)
            report = result.out.find('\n', report) + 1;
        EXPECT_EQ(result.out.compare(report, 14, "// Goodness = "), 0);
    }
}

// A coil measured as 0 is left out of the polish and the statistics, and
// the solver's own logging stays off standard error; the polish line says
// that it stopped at its iteration limit, and the coefficients it moved out
// of their ranges are named on the next line.
TEST(PolishRun, TellsWhatItLeftOutAndWhereItStopped) {
    const std::string coils = readFile(sourcePath("examples/coils-small.txt"));
    const struct {
        const char* name;
        std::string coils;
        std::string polishLine;  // what the polish line holds
        std::string err;
    } cases[] = {
        {"a coil measured 0", "0,0.01,0.0002,24,10,0.02,zero\n" + coils,
         "; 1 coil left out (measured inductance 0 or not a finite number)\n",
         "Warning: at line 1 in coils.txt, the measured inductance is 0: every set's goodness is infinite, so the "
         "fit cannot tell sets apart\n"},
        {"the iteration limit", coils,
         " iterations, ", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CliRun run;
        run.write("coils.txt", c.coils);
        run.write("ranges.txt", exampleRanges("minormax 50\nmaxgenerations 3\npolish 1\nstatistics 1\n"));
        const CliResult result = run.run({"coils.txt", "ranges.txt"});
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(afterFewCoilsWarning(result.err), c.err);
        const size_t at = result.out.find("\nPolished: goodness ");
        ASSERT_NE(at, std::string::npos);
        const std::string line = result.out.substr(at + 1, result.out.find('\n', at + 1) - at);
        EXPECT_NE(line.find(c.polishLine), std::string::npos) << line;
        EXPECT_NE(line.find(" 201 iterations, "), std::string::npos) << line;
        EXPECT_NE(line.find("; it stopped at its limit of 200 iterations short of convergence: to polish further, "
                            "start a run from this set (its coefficients as bestr0 to bestl3)"),
                  std::string::npos)
            << line;
        const std::string next = result.out.substr(at + 1 + line.size(), 60);
        EXPECT_EQ(next.rfind("Polished coefficients outside their ranges: w1 ", 0), 0u) << next;
        EXPECT_EQ(countOf(result.out, "\nWorst first\n"), 1);
    }
}

// With polish, statistics, crossvalidate and prune 0 a run is the run
// without the settings, byte for byte.
TEST(PolishRun, SettingZeroChangesNothing) {
    const std::string extra = "minormax 50\nmaxgenerations 3\nresultc table.c\nresultja table.ja\n";
    CliRun without, zero;
    for (const CliRun* run : {&without, &zero}) run->copyExample("coils-small.txt");
    without.write("ranges.txt", exampleRanges(extra));
    zero.write("ranges.txt", exampleRanges(extra + "polish 0\nstatistics 0\ncrossvalidate 0\nprune 0\n"));
    const CliResult a = without.run({"coils-small.txt", "ranges.txt"});
    const CliResult b = zero.run({"coils-small.txt", "ranges.txt"});
    ASSERT_EQ(a.status, 0) << a.err;
    EXPECT_EQ(b.status, a.status);
    EXPECT_EQ(b.out, a.out);
    EXPECT_EQ(b.err, a.err);
    for (const char* file : {"fit-result.txt", "table.c", "table.ja"})
        EXPECT_EQ(zero.read(file), without.read(file)) << file;
}

// statistics, crossvalidate, prune and resultjson in one run from the known
// optimum: the block follows the coils on standard output and in the result
// file, everything else is the report of polish 1 alone, and the JSON holds
// the agreed members in their order.
TEST(PolishRun, StatisticsBlockAndResultJson) {
    CliRun run;
    run.copyExample("coils-example.txt");
    const std::string ranges = readFile(sourcePath("examples/ranges-check.txt"));
    run.write("plain.txt", ranges + "polish 1\n");
    run.write("stats.txt", ranges + "statistics 1\ncrossvalidate 10\nprune 1\nresultjson out.json\n");
    const CliResult plain = run.run({"coils-example.txt", "plain.txt"});
    const std::string plainResult = run.read("check-result.txt");
    const CliResult stats = run.run({"coils-example.txt", "stats.txt"});
    ASSERT_EQ(stats.status, 0) << stats.err;
    // The pins of the pruning advice hold only with the hold line it names.
    EXPECT_EQ(stats.err, "Warning: a pinned range alone does not keep its coefficient at 0 in the random draw; with "
                         "the pruning advice's lines, add the line `hold l3,t1,r3` to the ranges file\n");

    const size_t at = stats.out.find("\n\nFit statistics\n");
    ASSERT_NE(at, std::string::npos);
    const std::string block = stats.out.substr(at);
    const size_t report = stats.out.find("\n// Goodness = ");
    EXPECT_EQ(stats.out.substr(report, at - report), plain.out.substr(plain.out.find("\n// Goodness = ")));
    std::string expectedResult = plainResult;
    expectedResult.insert(plainResult.find("\n\nRange table\n"), block);
    EXPECT_EQ(run.read("check-result.txt"), expectedResult);
    for (const char* line : {"  n = 60 coils evaluated, p = 12 free coefficients", "           w0              1          held\n",
                             "    l2   l3    -0.982\n", "  Prediction RMS (10-fold): 0.105",
                             "\n     3  r3             0.0775588"})
        EXPECT_NE(block.find(line), std::string::npos) << line;
    EXPECT_NE(block.rfind(":\nl3 0 0 1.5 0.15 6\nt1 0 0 0.1 0.01 6\nr3 0 0 1 0.1 6\n"), std::string::npos) << block;

    const auto json = nlohmann::ordered_json::parse(run.read("out.json"));
    const auto keys = [](const nlohmann::ordered_json& object) {
        std::vector<std::string> names;
        for (const auto& item : object.items()) names.push_back(item.key());
        return names;
    };
    using Names = std::vector<std::string>;
    EXPECT_EQ(keys(json), (Names{"program", "version", "equation", "goodness", "coefficients", "found", "polished",
                                 "held", "pinned", "statistics", "coils", "settings"}));
    EXPECT_EQ(json["version"], "20.03.008");
    EXPECT_EQ(json["held"], (Names{"w0", "t2", "l1"}));
    EXPECT_EQ(json["pinned"], Names{});
    EXPECT_EQ(keys(json["coefficients"]), Names(kCoefficientNames.begin(), kCoefficientNames.end()));
    const auto& s = json["statistics"];
    EXPECT_EQ(keys(s), (Names{"n", "p", "chisqr", "redchi", "aic", "bic", "stderr", "correlation", "high_correlations",
                              "undetermined", "outliers", "unavailable", "crossvalidation", "pruned"}));
    EXPECT_EQ(s["n"], 60);
    EXPECT_TRUE(s["stderr"]["w0"].is_null());
    EXPECT_EQ(s["correlation"]["matrix"].size(), 12u);
    EXPECT_EQ(s["crossvalidation"]["folds"], 10);
    EXPECT_EQ(s["pruned"]["pinned_to_zero"], (Names{"l3", "t1", "r3"}));
    ASSERT_EQ(json["coils"].size(), 60u);
    EXPECT_EQ(keys(json["coils"][0]),
              (Names{"name", "measured_H", "computed_H", "relative_error", "evaluated", "coil_radius_m",
                     "wire_radius_m", "gauge", "turns", "length_m", "leverage", "studentized"}));
    EXPECT_EQ(json["coils"][0]["name"], "coil001");
    EXPECT_EQ(json["settings"]["crossvalidate"], 10);
    EXPECT_EQ(json["settings"]["resultfile"], "check-result.txt");
    EXPECT_TRUE(json["settings"]["cvarname"].is_null());
}

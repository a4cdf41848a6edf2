// The least-squares polish: what it does to crafted sets on the example
// coils, the rule that decides whether its set is taken, and complete runs.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli_util.h"
#include "coils/equation.h"
#include "coils/readind.h"
#include "refine/polish.h"
#include "reports/finalreport.h"
#include "search/sort.h"
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

std::string exampleRanges(const std::string& extra) {
    return readFile(sourcePath("examples/ranges-example.txt")) + "polish 0\nprocesses 1\n" + extra;
}

// The line of `text` that begins at `from`, without its newline.
std::string lineAt(const std::string& text, size_t from) {
    return text.substr(from, text.find('\n', from) - from);
}

// The set listing that begins at `from` in `text`: the goodness line and 15
// coefficient lines.
std::string listingAt(const std::string& text, size_t from) {
    size_t end = from;
    for (int line = 0; line < 16 && end != std::string::npos; ++line) end = text.find('\n', end) + 1;
    return text.substr(from, end - from);
}

}  // namespace

// A short example fit ends at the optimum once polished.
TEST(Polish, ShortExampleFitEndsAtTheOptimum) {
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
        finalReport();
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
    EXPECT_EQ(polished.out.substr(polished.out.find('\n') + 1), plain.out);
    EXPECT_EQ(plain.out.rfind("// Goodness = 0.0772456\n", 0), 0u);
    EXPECT_EQ(polished.files, plain.files);
    EXPECT_EQ(polished.checkpoint, listingAt(plain.out, 0));
}

// Every way a run ends goes through the polish: the stall limit (here with
// sets that evaluate no coil, which the polish keeps) and Escape.
TEST(Polish, PolishesHoweverTheRunEnds) {
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
        const size_t report = result.out.find('\n', quitting + 16) + 1;
        EXPECT_EQ(result.out.compare(report, 14, "// Goodness = "), 0);
    }
}

// With polish, statistics, crossvalidate and prune 0 a run is the run
// without the settings, byte for byte.
TEST(Polish, SettingZeroChangesNothing) {
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
TEST(Polish, StatisticsBlockAndResultJson) {
    CliRun run;
    run.copyExample("coils-example.txt");
    const std::string ranges = readFile(sourcePath("examples/ranges-check.txt"));
    run.write("plain.txt", ranges + "polish 1\n");
    run.write("stats.txt", ranges + "statistics 1\ncrossvalidate 10\nprune 1\nresultjson out.json\n");
    const CliResult plain = run.run({"coils-example.txt", "plain.txt"});
    const std::string plainResult = run.read("check-result.txt");
    const CliResult stats = run.run({"coils-example.txt", "stats.txt"});
    ASSERT_EQ(stats.status, 0) << stats.err;
    EXPECT_EQ(stats.err, "");

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

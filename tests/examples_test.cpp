// The shipped example data: a known answer and a short deterministic fit.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <string>
#include <vector>

#include "coils/records.h"

#include "cli_util.h"

TEST(Examples, KnownAnswerForTheExampleCoils) {
    CliRun run;
    run.copyExample("coils-example.txt");
    run.copyExample("ranges-check.txt");
    const CliResult result = run.run({"coils-example.txt", "ranges-check.txt"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("\nLAST 14, startup -0.267975\nStarting with best result\ngoodness = 0.0772456\n"),
              std::string::npos);
    // The start set stays the best and is reported with all its digits.
    const std::string report =
        "// Goodness = 0.0772456\n"
        "   r0 =    -0.00000873278169\n"
        "   r1 =     0.00995593907501\n"
        "   r2 =     1.98501715472356\n"
        "   r3 =    -4.98448473743654\n"
        "   w0 =     1.00000000000000\n"
        "   w1 =   427.86190183175768\n"
        "   w2 = -336246.18739873217419\n"
        "   t0 =    -2.14392632880922\n"
        "   t1 =     0.24952814200376\n"
        "   t2 =     1.00000000000000\n"
        "   t3 =    -0.00090849545259\n"
        "   l0 =     0.00650011172515\n"
        "   l1 =     1.00000000000000\n"
        "   l2 =    -2.23509881389010\n"
        "   l3 =    -0.26797532377414\n";
    EXPECT_NE(result.out.find("\n" + report + "\n\nWorst first\n"), std::string::npos);
    const std::string file = run.read("check-result.txt");
    EXPECT_EQ(file.rfind("Results from V20.03.008 EQUATION J\nRandom seed 20240611\n" + report + "Worst first\n", 0),
              0u);
}

// Three generations of the example fit with one worker. The run is a function
// of its inputs, so any change to the search's behaviour shows here.
TEST(Examples, ShortFitWithOneWorkerEndsAtAKnownSet) {
    CliRun run;
    run.copyExample("coils-example.txt");
    run.write("ranges.txt", readFile(sourcePath("examples/ranges-example.txt")) +
                                "polish 0\nnormalize 0\nreportstyle classic\nmaxgenerations 3\nprocesses 1\n");
    const CliResult result = run.run({"coils-example.txt", "ranges.txt"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("\n187, 0.126, 0.12692, 0.127957, 0.127977\n"), std::string::npos);
    const std::string best =
        "// Goodness = 0.126\n"
        "   r0 =     0.00002940300000\n"
        "   r1 =    -0.00123750000000\n"
        "   r2 =     3.67500000000000\n"
        "   r3 =   -34.93076400000000\n"
        "   w0 =     1.17000000000000\n"
        "   w1 =  -313.63200000000001\n"
        "   w2 = 300000.00000000000000\n"
        "   t0 =    -0.29700000000000\n"
        "   t1 =     0.00000000000000\n"
        "   t2 =     1.12200000000000\n"
        "   t3 =     0.00137475000000\n"
        "   l0 =     0.01261160000000\n"
        "   l1 =     1.09700000000000\n"
        "   l2 =     1.82925000000000\n"
        "   l3 =    11.90000000000001\n";
    EXPECT_NE(result.out.find("\ngen = 2 done already 215, rejected 0\n" + best + "\n\nWorst first\n"),
              std::string::npos);
}

// The example ranges as the quick start uses them (normalize 1, reportstyle
// si), cut short and run with two seeds: the polish ends both at the same
// normalised optimum, inside the ranges (no "widen" line), and the report
// and result file are those of the SI style.
TEST(Examples, TheExampleFitIsNormalisedAndComparableBetweenSeeds) {
    std::vector<nlohmann::json> results;
    std::vector<std::string> coefficientLines;
    for (const char* seed : {"1", "2"}) {
        SCOPED_TRACE(seed);
        CliRun run;
        run.copyExample("coils-example.txt");
        run.write("ranges.txt", readFile(sourcePath("examples/ranges-example.txt")) +
                                    "maxgenerations 30\nprocesses 1\nresultjson r.json\nseed " + seed + "\n");
        const CliResult result = run.run({"coils-example.txt", "ranges.txt"});
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.out.find("widen"), std::string::npos);
        const size_t polished = result.out.find("\nPolished: goodness ");
        ASSERT_NE(polished, std::string::npos);
        const size_t end = result.out.find('\n', polished + 1);
        EXPECT_TRUE(result.out.substr(0, end).ends_with("; normalised to w0, t2 and l1 = 1"));
        const size_t block = result.out.find("// Goodness = 0.0772456 (RMS relative error 7.72 %)\n", end);
        ASSERT_EQ(block, end + 1);
        coefficientLines.push_back(result.out.substr(block, result.out.find("\n\n", block) - block));
        EXPECT_NE(result.out.find("\nWorst first\nerror: (computed - measured) / measured;"), std::string::npos);
        EXPECT_NE(result.out.find("\n  +18.50       5.8558       6.9392     61    13.735   104.104    1.6277     14  "
                                  "coil058\n"),
                  std::string::npos);
        const std::string file = run.read("fit-result.txt");
        EXPECT_EQ(file.rfind(std::string("Results from V20.03.008 EQUATION J\nRandom seed ") + seed +
                                 "\nCoil file: coils-example.txt\nDate: ",
                             0),
                  0u);
        EXPECT_NE(file.find("\nFormula: L = mu0 R(a) T(N) / (Lambda(l) W(w))\nSettings: maxgenerations 30, "),
                  std::string::npos);
        results.push_back(nlohmann::json::parse(run.read("r.json")));
        // The JSON names the same coil file and date as the result file.
        const size_t date = file.find("\nDate: ") + 7;
        EXPECT_EQ(results.back()["date"], file.substr(date, file.find('\n', date) - date));
        EXPECT_EQ(results.back()["coil_file"], "coils-example.txt");
    }
    EXPECT_EQ(coefficientLines[0], coefficientLines[1]);
    for (const char* name : kCoefficientNames) {
        const double a = results[0]["coefficients"][name].get<double>();
        const double b = results[1]["coefficients"][name].get<double>();
        EXPECT_NEAR(b, a, 1e-5 * std::fabs(a)) << name;
    }
    EXPECT_EQ(results[0]["coefficients"]["t2"].get<double>(), 1.0);
}

TEST(Examples, AnUnknownReportStyleIsRefusedWithTheKnownOnes) {
    CliRun run;
    run.copyExample("coils-small.txt");
    run.write("ranges.txt", readFile(sourcePath("examples/ranges-example.txt")) + "reportstyle metric\n");
    const CliResult result = run.run({"coils-small.txt", "ranges.txt"});
    EXPECT_EQ(result.status, 255);
    EXPECT_NE(result.err.find("Setting reportstyle is metric, known styles are classic and si\n"), std::string::npos)
        << result.err;
}

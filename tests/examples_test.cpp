// The shipped example data: a known answer and a short deterministic fit.
#include <gtest/gtest.h>

#include <string>

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
    run.write("ranges.txt", readFile(sourcePath("examples/ranges-example.txt")) + "polish 0\nmaxgenerations 3\nprocesses 1\n");
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

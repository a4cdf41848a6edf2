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

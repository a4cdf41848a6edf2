// The command line, the banner, the usage text and the input error paths.
#include <gtest/gtest.h>

#include "cli_util.h"
#include "test_support.h"

namespace {

const std::string kUsage =
    "Usage: quelmo <testinductors> [<ranges>] [outf]\n"
    "  Coefficients:  r0  r1  r2  r3  w0  w1  w2  t0  t1  t2  t3  l0  l1  l2  l3 \n";

const std::string kCoil = "1e-06,0.01,0.0002,24,10,0.02,coil\n";

}  // namespace

TEST(Cli, NoArgumentPrintsBannerAndUsage) {
    CliRun run;
    const CliResult result = run.run({});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, kBanner + kUsage);
    EXPECT_EQ(result.err, "");
}

TEST(Cli, CoilFileErrorsComeBeforeTheRangesFile) {
    CliRun run;
    run.write("coils.txt", "\n");
    run.write("ranges.txt", "bogus 1\n");
    const CliResult result = run.run({"coils.txt", "ranges.txt"});
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.out, kBanner);
    EXPECT_EQ(result.err, "readind (readTestInductors:69) At line 1 in coils.txt, no data\n");
}

TEST(Cli, MissingCoilFile) {
    CliRun run;
    const CliResult result = run.run({"nothing.txt"});
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.err,
              "nothing.txt fails because No such file or directory\n"
              "readind (readTestInductors:46) Couldn't open nothing.txt\n");
}

TEST(Cli, RangesFileErrorsNameTheLine) {
    struct Case {
        std::string line;
        std::string message;
    };
    const Case cases[] = {
        {"r0 0 1 0.1 0.01 0", "symtab (readSymtab:352) At line 16 in r.txt, minor count value is 0 for r0\n"},
        {"r0 0 1 0.1 0.01 x", "symtab (readSymtab:352) At line 16 in r.txt, minor count value is 0 for r0\n"},
        {"R0 0 1 0.1", "symtab (readSymtab:333) At line 16 in r.txt, missing resolution value for r0\n"},
        {"l3 0 1", "symtab (readSymtab:322) At line 16 in r.txt, missing resolution value for l3\n"},
        {"l3 0", "symtab (readSymtab:310) At line 16 in r.txt, missing high value for l3\n"},
        {"l3", "symtab (readSymtab:298) At line 16 in r.txt, missing low value for l3\n"},
        {"w2 0 1 0.1 0.01", "symtab (readSymtab:344) At line 16 in r.txt, missing minor count value for w2\n"},
        {"quitat", "symtab (readSymtab:278) At line 16 in r.txt, quitat has no valuel\n"},
        {" # note", "symtab (readSymtab:269) At line 16 in r.txt, # unknown symbol\n"},
        {"r0\t0 1 0.1 0.01 2", "symtab (readSymtab:269) At line 16 in r.txt, r0\t0 unknown symbol\n"},
        {"\r", "symtab (readSymtab:269) At line 16 in r.txt, \r unknown symbol\n"},
    };
    for (const Case& c : cases) {
        CliRun run;
        run.write("c.txt", kCoil);
        run.write("r.txt", allRanges() + c.line + "\n");
        const CliResult result = run.run({"c.txt", "r.txt"});
        EXPECT_EQ(result.status, 255) << c.line;
        EXPECT_EQ(result.err, c.message) << c.line;
        EXPECT_EQ(result.out, kBanner) << c.line;
    }
}

TEST(Cli, SettingNameIsTheTablesSpelling) {
    CliRun run;
    run.write("c.txt", kCoil);
    run.write("r.txt", allRanges() + "Seed\n");
    // A setting matched without regard to case is named as the table spells it.
    EXPECT_EQ(run.run({"c.txt", "r.txt"}).err,
              "symtab (readSymtab:278) At line 16 in r.txt, seed has no valuel\n");
}

TEST(Cli, RangesWithoutCoefficientsFailAfterTheWholeFile) {
    CliRun run;
    run.write("c.txt", kCoil);
    run.write("r.txt", "# only settings\nseed 3\n");
    const CliResult result = run.run({"c.txt", "r.txt"});
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.err, "symtab (computeInc:207) r0 has bad resolution (0 < 0)/0\n");
}

TEST(Cli, MissingRangesFileIsNotReported) {
    CliRun run;
    run.write("c.txt", kCoil);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"c.txt", "absent.txt"}, {"c.txt", "absent.txt", "out.txt"}}) {
        const CliResult result = run.run(args);
        // No ranges file: the table stays at its zero defaults.
        EXPECT_NE(result.out.find("test range\n  r0:          0          0          0          0   0 (0)\n"),
                  std::string::npos);
        EXPECT_EQ(result.out.find("Startup"), std::string::npos);
    }
}

TEST(Cli, UnusableSettingsAreRefused) {
    const std::pair<std::string, std::string> cases[] = {
        {"processes 0", "Setting processes is 0, accepted range is 1 to 48\n"},
        {"processes 49", "Setting processes is 49, accepted range is 1 to 48\n"},
        {"save 3", "Setting save is 3, accepted range is 4 to 1000000\n"},
        {"save 100000000", "Setting save is 100000000, accepted range is 4 to 1000000\n"},
        {"tries 1000001", "Setting tries is 1000001, accepted range is 1000000 or less\n"},
        {"raiselower 0", "Setting raiselower is 0, accepted range is 1 or more\n"},
        {"processes 0\nsave 0", "Setting processes is 0, accepted range is 1 to 48\n"},
        {"ordered 2", "Setting ordered is 2, accepted range is 0 to 1\n"},
        {"resume -1", "Setting resume is -1, accepted range is 0 to 1\n"},
        {"polish 7", "Setting polish is 7, accepted range is 0 to 1\n"},
        {"stateevery 0", "Setting stateevery is 0, accepted range is 1 or more\n"},
        {"statistics 2", "Setting statistics is 2, accepted range is 0 to 1\n"},
        {"prune -1", "Setting prune is -1, accepted range is 0 to 1\n"},
        {"crossvalidate 1", "Setting crossvalidate is 1, accepted range is 0 or 2 or more\n"},
        {"crossvalidate -3", "Setting crossvalidate is -3, accepted range is 0 or 2 or more\n"},
    };
    for (const auto& [line, message] : cases) {
        CliRun run;
        run.write("c.txt", kCoil);
        run.write("r.txt", allRanges() + line + "\n");
        const CliResult result = run.run({"c.txt", "r.txt"});
        EXPECT_EQ(result.status, 255) << line;
        EXPECT_EQ(result.err, message) << line;
        EXPECT_NE(result.out.find("test range\n"), std::string::npos) << line;
        EXPECT_TRUE(run.files() == (std::vector<std::string>{"c.txt", "r.txt"})) << line;
    }
}

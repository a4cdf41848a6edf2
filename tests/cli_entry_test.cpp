// The command line, the banner, the usage text and the input error paths.
#include <gtest/gtest.h>

#include <regex>

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

TEST(Cli, HelpAndVersion) {
    const std::string help = kBanner + kUsage +
        "Fits the coefficients to the measured coils of <testinductors>, searching the\nranges that <ranges> "
        "gives; the best set and the coils, worst first, go to\nstandard output and to the result file (outf, "
        "or the setting resultfile).\nManual: man quelmo\nExample files: " QUELMO_EXAMPLES_DIR " (examples/ in "
        "the source tree);\nto try them, in an empty directory:\n  quelmo " QUELMO_EXAMPLES_DIR
        "/coils-example.txt " QUELMO_EXAMPLES_DIR "/ranges-example.txt\n";
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--help"}, help},
        {{"-h"}, help},
        {{"-h", "ranges.txt", "out.txt"}, help},
        {{"--version"}, kBanner},
    };
    for (const auto& [args, out] : cases) {
        CliRun run;
        const CliResult result = run.run(args);
        EXPECT_EQ(result.status, 0) << args[0];
        EXPECT_EQ(result.out, out) << args[0];
        EXPECT_EQ(result.err, "") << args[0];
        EXPECT_TRUE(run.files().empty()) << args[0];
    }
    // A file of that name is the coil file.
    CliRun run;
    run.write("--version", "\n");
    EXPECT_EQ(run.run({"--version"}).err, "readind (readTestInductors:69) At line 1 in --version, no data\n");
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
    EXPECT_EQ(result.err, "r0 is missing from r.txt\nsymtab (computeInc:207) r0 has bad resolution (0 < 0)/0\n");
}

// A range the grid cannot be made from: a line that says what to fix, then
// the message that names the values.
TEST(Cli, RangeMistakesSayWhatToFix) {
    const std::string all = allRanges();
    const std::string withoutT3 = all.substr(0, all.find("t3 ")) + all.substr(all.find("l0 "));
    const std::string cases[][3] = {
        {withoutT3, "t3 is missing from r.txt", "t3 has bad resolution (0 < 0)/0"},
        {all + "w0 1 1 0 0 1", "w0: low equals high, so the grid needs a resolution above 0, for example "
                               "`w0 1 1 1 1 1`", "w0 has bad resolution (1 < 1)/0"},
        {all + "r1 0 2 0 0 6", "r1: resolution is 0, so the grid from low to high has no spacing; give a resolution "
                               "above 0, for example `r1 0 2 0.02 0.002 6`", "r1 has bad resolution (0 < 2)/0"},
        {all + "r1 2 0 0.1 0.01 6", "r1: high is below low, so the range holds no grid point; give low first, "
                                    "for example `r1 0 2 0.1 0.01 6`", "r1 has bad resolution (2 < 0)/0.1"},
        {all + "r1 0 2 -0.1 0.01 -6", "r1: resolution is negative, so the grid runs away from high; give a "
            "resolution above 0, for example `r1 0 2 0.1 0.01 6`", "r1 has bad resolution (0 < 2)/-0.1"},
        {all + "r1 -1e-4 1e-4 1e-14 1e-15 6", "r1: resolution is too fine, so (high - low) / resolution gives more "
            "than 2147483647 grid points; give a coarser resolution, for example `r1 -0.0001 0.0001 2e-06 1e-15 6`",
         "r1 has bad resolution (-0.0001 < 0.0001)/1e-14"},
        {all + "r1 0 inf 1 1 6", "r1: low, high and resolution must be finite numbers, not inf or nan",
         "r1 has bad resolution (0 < inf)/1"},
    };
    for (const auto& [ranges, fix, values] : cases) {
        CliRun run;
        run.write("c.txt", kCoil);
        run.write("r.txt", ranges + "\n");
        const CliResult result = run.run({"c.txt", "r.txt"});
        EXPECT_EQ(result.status, 255) << fix;
        EXPECT_EQ(result.out, kBanner) << fix;
        EXPECT_EQ(result.err, fix + "\nsymtab (computeInc:207) " + values + "\n");
    }
}

// Range adaptation that widens a range past what its resolution can grid
// ends the run with what to change.
TEST(Cli, AdaptationPastTheGridSaysWhatToChange) {
    CliRun run;
    std::string ranges = "rangeexpand 1\nraiselower 1\npctchange 1000\nminormax 4\nmaxgenerations 20\n";
    for (const char* name : kCoefficientNames) ranges += std::string(name) + " 0 1 1e-9 0.01 2\n";
    run.write("c.txt", kCoil);
    run.write("r.txt", ranges);
    const CliResult result = run.run({"c.txt", "r.txt"});
    EXPECT_EQ(result.status, 255);
    EXPECT_TRUE(std::regex_match(result.err, std::regex("(\\w+): range adaptation moved the range to \\S+, \\S+, "
        "where resolution 1e-09 cannot give a grid of at most 2147483647 points; give \\1 a coarser resolution, or "
        "leave rangeexpand at 0\nsymtab \\(computeInc:207\\) \\1 has bad resolution \\(\\S+ < \\S+\\)/1e-09\n")))
        << result.err;
}

// A second argument that does not open leaves the ranges at zero, and the
// run that then ends for want of distinct sets says why first.
TEST(Cli, MissingRangesFileIsToldWhenTheRunEnds) {
    CliRun run;
    run.write("c.txt", kCoil);
    const std::string end = "The coefficient ranges admit no further distinct random sets\n";
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"c.txt", "ranges-exampel.txt"},
         "ranges-exampel.txt could not be opened (No such file or directory), so it names the result file and "
         "no ranges were read\n"},
        {{"c.txt", "absent.txt", "out.txt"},
         "absent.txt could not be opened (No such file or directory), so no ranges were read and out.txt was "
         "not used\n"},
    };
    for (const auto& [args, reason] : cases) {
        const CliResult result = run.run(args);
        // No ranges file: the table stays at its zero defaults.
        EXPECT_NE(result.out.find("test range\n  r0:          0          0          0          0   0 (0)\n"),
                  std::string::npos);
        EXPECT_EQ(result.out.find("Startup"), std::string::npos);
        EXPECT_EQ(result.status, 255);
        EXPECT_EQ(result.err, reason + end);
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
        {"baselines 2", "Setting baselines is 2, accepted range is 0 to 1\n"},
        {"base lorenz", "Setting base is lorenz, known formulas are none, wheeler, sheet, sheetrosa\n"},
        {"base Sheet", "Setting base is Sheet, known formulas are none, wheeler, sheet, sheetrosa\n"},
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

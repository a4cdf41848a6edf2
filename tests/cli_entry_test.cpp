// The command line, the banner, the usage text and the input error paths.
#include <gtest/gtest.h>

#include <filesystem>
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
    // An installation moved with `cmake --install --prefix P` names its own
    // examples, beside the program.
    {
        CliRun moved;
        const std::string prefix = (moved.dir() / "P").string();
        std::filesystem::create_directories(prefix + "/bin");
        std::filesystem::create_directories(prefix + "/share/quelmo/examples");
        std::filesystem::copy_file(QUELMO_BIN, prefix + "/bin/quelmo");
        moved.write("P/share/quelmo/examples/ranges-example.txt", "");
        const CliResult result = moved.runCommand({prefix + "/bin/quelmo", "--help"});
        EXPECT_EQ(result.status, 0);
        EXPECT_NE(result.out.find("\n  quelmo " + prefix + "/share/quelmo/examples/coils-example.txt " + prefix +
                                  "/share/quelmo/examples/ranges-example.txt\n"),
                  std::string::npos)
            << result.out;
    }
    // A file of that name is the coil file.
    CliRun run;
    run.write("--version", "1\n");
    EXPECT_EQ(run.run({"--version"}).err,
              "At line 1 in --version, expected 7 comma-separated fields, found 1 (inductance, coil radius, wire "
              "radius, gauge, turns, length, name)\nreadind (readTestInductors:80) At line 1 in --version, "
              "missing radius\n");
}

TEST(Cli, CoilFileErrorsComeBeforeTheRangesFile) {
    CliRun run;
    run.write("coils.txt", "\n");
    run.write("ranges.txt", "bogus 1\n");
    const CliResult result = run.run({"coils.txt", "ranges.txt"});
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.out, kBanner);
    EXPECT_EQ(result.err,
              "At line 1 in coils.txt, the last line is blank: remove it (or start it with `/`)\n"
              "readind (readTestInductors:69) At line 1 in coils.txt, no data\n");
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
        {"r0 0 1 0.1 0.01 x",
         "Warning: at line 16 in r.txt, r0 mcount `x` was read as 0; the rest of the token is ignored\n"
         "symtab (readSymtab:352) At line 16 in r.txt, minor count value is 0 for r0\n"},
        {"R0 0 1 0.1", "symtab (readSymtab:333) At line 16 in r.txt, missing resolution value for r0\n"},
        {"l3 0 1", "symtab (readSymtab:322) At line 16 in r.txt, missing resolution value for l3\n"},
        {"l3 0", "symtab (readSymtab:310) At line 16 in r.txt, missing high value for l3\n"},
        {"l3", "symtab (readSymtab:298) At line 16 in r.txt, missing low value for l3\n"},
        {"w2 0 1 0.1 0.01", "symtab (readSymtab:344) At line 16 in r.txt, missing minor count value for w2\n"},
        {"quitat", "symtab (readSymtab:278) At line 16 in r.txt, quitat has no valuel\n"},
        {" # note",
         "At line 16 in r.txt, a comment starts with `/` or `#` in the first column, with nothing before it\n"
         "symtab (readSymtab:269) At line 16 in r.txt, # unknown symbol\n"},
        {"r0\t0 1 0.1 0.01 2",
         "At line 16 in r.txt, `r0` is followed by a tab, which joins it and its value into one name: separate "
         "them with a blank\nsymtab (readSymtab:269) At line 16 in r.txt, r0\t0 unknown symbol\n"},
        {"maxgeneratoins 5",
         "At line 16 in r.txt, `maxgeneratoins` is not a coefficient or setting name; did you mean "
         "`maxgenerations`?\nsymtab (readSymtab:269) At line 16 in r.txt, maxgeneratoins unknown symbol\n"},
        {"SEEDS 5",
         "At line 16 in r.txt, `SEEDS` is not a coefficient or setting name; did you mean `seed`?\n"
         "symtab (readSymtab:269) At line 16 in r.txt, SEEDS unknown symbol\n"},
        {"colour 5", "symtab (readSymtab:269) At line 16 in r.txt, colour unknown symbol\n"},
        {"r0 0 1 0.1 0.01 0.5",
         "Warning: at line 16 in r.txt, r0 mcount `0.5` was read as 0; the rest of the token is ignored\n"
         "symtab (readSymtab:352) At line 16 in r.txt, minor count value is 0 for r0\n"},
        {"r2 0 0,5 0.0025 0.00025 6",
         "Warning: at line 16 in r.txt, r2 mcount `0.00025` was read as 0; the rest of the token is ignored\n"
         "Warning: at line 16 in r.txt, r2 `0,5` looks like a number with a decimal comma; a comma separates "
         "values there, so it was read as two values: write a decimal point\n"
         "symtab (readSymtab:352) At line 16 in r.txt, minor count value is 0 for r2\n"},
        {"\r", "symtab (readSymtab:269) At line 16 in r.txt, \r unknown symbol\n"},
        // The program's own settings take numbers only.
        {"polish yes", "At line 16 in r.txt, polish `yes` is not a number: polish takes 0 (off) or 1 (on)\n"},
        {"stateevery 10x", "At line 16 in r.txt, stateevery `10x` is not a number: stateevery takes 1 or more\n"},
        {"crossvalidate ten",
         "At line 16 in r.txt, crossvalidate `ten` is not a number: crossvalidate takes 0 or 2 or more\n"},
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

// A value token that is not wholly a number keeps the value of its numeric
// start, with a warning that names the line as an editor counts it; a whole
// number, a comment after a blank and a string setting get none. The line
// after them fails, so the run ends once the warnings are out.
TEST(Cli, PartlyReadValuesAreWarnedAbout) {
    struct Case {
        std::string lines;
        std::string warnings;
    };
    const std::string at = "Warning: at line 16 in r.txt, ";
    const std::string rest = "; the rest of the token is ignored\n";
    const Case cases[] = {
        {"maxgenerations 2OO\n", at + "maxgenerations `2OO` was read as 2" + rest},
        {"processes two\n", at + "processes `two` was read as 0" + rest},
        {"pctchange 0,025\n",
         at + "pctchange `0,025` was read as 0; the rest of the token is ignored (numbers take a decimal point, "
              "not a comma)\n"},
        {"seed 0x10\n", at + "seed `0x10` was read as 0" + rest},
        {"randomminor 2.5xyz\r\n", at + "randomminor `2.5xyz` was read as 2.5" + rest},
        {"r2 0 5o 0.025 0.0025 6\n", at + "r2 high `5o` was read as 5" + rest},
        {"r2,0,5,0.025,0.0025,6x\n", at + "r2 mcount `6x` was read as 6" + rest},
        {"r2 0 5 1 0,025\n",
         at + "r2 `0,025` looks like a number with a decimal comma; a comma separates values there, so it was read "
             "as two values: write a decimal point\n"},
        {"seed 42 # note\nminormax 0x10\nr2 0 5 0.025 0.0025 6 // note\nr2,0,5,0.025,0.0025,6\n"
         "resultfile out,txt\nseed 7\t# tab\nseed 8\r\n",
         ""},
    };
    for (const Case& c : cases) {
        CliRun run;
        run.write("c.txt", kCoil);
        run.write("r.txt", allRanges() + c.lines + "quitat\n");
        const CliResult result = run.run({"c.txt", "r.txt"});
        const int failing = 16 + countOf(c.lines, "\n");
        EXPECT_EQ(result.err, c.warnings + "symtab (readSymtab:278) At line " + std::to_string(failing) +
                                  " in r.txt, quitat has no valuel\n")
            << c.lines;
    }
}

// The warning names the line an editor shows, also far down a long file and
// after a line that the reader takes in two pieces; the message that
// follows keeps counting pieces.
TEST(Cli, WarningsCountLinesAsAnEditorDoes) {
    CliRun run;
    run.write("c.txt", kCoil);
    // Line 16 fills one read of 255 characters; its rest is a comment too.
    std::string body = allRanges() + "# " + std::string(253, 'x') + "# rest\n";
    for (int line = 17; line < 100000; ++line) body += "seed 1\n";
    run.write("r.txt", body + "maxgenerations 1e5\nquitat\n");
    const CliResult result = run.run({"c.txt", "r.txt"}, 60);
    EXPECT_EQ(result.err,
              "Warning: at line 100000 in r.txt, maxgenerations `1e5` was read as 1; the rest of the token is "
              "ignored\nsymtab (readSymtab:278) At line 100002 in r.txt, quitat has no valuel\n");
}

// A line longer than one read of 255 characters: a later piece that sets
// something, or that fails, is named by the line an editor shows; the
// message keeps counting pieces. A later piece that is blank or a comment
// does nothing and is not told.
TEST(Cli, LongLinesSayWhatTheirLaterPiecesDid) {
    const std::string comment = "# " + std::string(253, 'x');
    const std::string warning = "Warning: at line 16 in r.txt, the line is longer than the 255 characters read at "
                                "once; its characters from 256 on (`";
    const struct {
        std::string line, err;
    } cases[] = {
        {comment + "seed 7\n",
         warning + "seed 7`) were read as a line of their own, and it set seed: break the line, or shorten it\n"},
        {comment + "resultfile elsewhere.txt\n",
         warning + "resultfile elsewhere.txt`) were read as a line of their own, and it set resultfile: break the "
                   "line, or shorten it\n"},
        {comment + "r2 0 5 0.025 0.0025 6\n",
         warning + "r2 0 5 0.025 0.0025 6`) were read as a line of their own, and it set the range of r2: break the "
                   "line, or shorten it\n"},
        {comment + std::string(60, 'z') + " 3\n",
         warning + std::string(40, 'z') + "\xE2\x80\xA6`) were read as a line of their own, and the message below, "
                   "which counts it as line 17, comes from it: break the line, or shorten it\n"
                   "symtab (readSymtab:269) At line 17 in r.txt, " + std::string(60, 'z') + " unknown symbol\n"},
        {comment + "   \n" + comment + "/ more of the comment\n", ""},
    };
    for (const auto& c : cases) {
        CliRun run;
        run.write("c.txt", kCoil);
        run.write("r.txt", allRanges() + c.line + "quitat\n");
        const CliResult result = run.run({"c.txt", "r.txt"});
        const std::string tail = countOf(c.err, "unknown symbol") > 0
                                     ? ""
                                     : "symtab (readSymtab:278) At line " +
                                           std::to_string(16 + 2 * countOf(c.line, "\n")) +
                                           " in r.txt, quitat has no valuel\n";
        EXPECT_EQ(result.err, c.err + tail) << c.line;
    }
}

// A byte-order mark before the first line is passed over: the first
// coefficient line reads as it would without it.
TEST(Cli, RangesFileByteOrderMarkIsSkipped) {
    CliRun run;
    run.write("c.txt", kCoil);
    run.write("r.txt", "\xEF\xBB\xBF" + allRanges() + "quitat\n");
    EXPECT_EQ(run.run({"c.txt", "r.txt"}).err, "symtab (readSymtab:278) At line 16 in r.txt, quitat has no valuel\n");
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
    EXPECT_TRUE(std::regex_match(afterFewCoilsWarning(result.err),
                                 std::regex("(\\w+): range adaptation moved the range to \\S+, \\S+, "
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
        {"compare 2", "Setting compare is 2, accepted range is 0 to 1\n"},
        {"cvrepeats 0", "Setting cvrepeats is 0, accepted range is 1 or more\n"},
        {"uncertainty -0.01", "Setting uncertainty is -0.01, accepted: a relative standard uncertainty from 0 to below 1 (0.005 for 0.5 %; 0: not given)\n"},
        {"uncertainty 1", "Setting uncertainty is 1, accepted: a relative standard uncertainty from 0 to below 1 (0.005 for 0.5 %; 0: not given)\n"},
        {"uncertainty nan", "Setting uncertainty is nan, accepted: a relative standard uncertainty from 0 to below 1 (0.005 for 0.5 %; 0: not given)\n"},
        {"uncertainty inf", "Setting uncertainty is inf, accepted: a relative standard uncertainty from 0 to below 1 (0.005 for 0.5 %; 0: not given)\n"},
        {"hold t1,x9", "Setting hold names x9, known coefficients are r0, r1, r2, r3, w0, w1, w2, t0, t1, t2, t3, l0, l1, "
                       "l2, l3\n"},
        {"hold t1,r3,t1", "Setting hold names t1 twice\n"},
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

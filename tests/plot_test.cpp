// tools/quelmo-plot: PNGs from the result files of a short fit, and a clear
// refusal of a missing or malformed file.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include <sys/stat.h>

#include "cli_util.h"
#include "tool_run.h"

namespace fs = std::filesystem;

namespace {

const std::string kPlot = sourcePath("tools/quelmo-plot");

bool havePlotting() {
    static const bool found = runTool({kPython, "-c", "import matplotlib"}, fs::temp_directory_path(), 60).status == 0;
    return found;
}

std::vector<std::string> pngsIn(const fs::path& dir) {
    std::vector<std::string> names;
    if (!fs::exists(dir)) return names;
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.path().extension() == ".png") names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

const std::string kCoilHeader =
    "name,measured_H,computed_H,relative_error,coil_radius_m,wire_radius_m,gauge,turns,length_m,evaluated\n";
const std::string kCoilRow = "c1,1e-06,1.1e-06,0.1,0.01,0.0002,24,10,0.02,1\n";
// A coil whose name matplotlib would set as mathematics, and fail on.
const std::string kMathRow = "$\\foo$,2e-06,1.9e-06,-0.05,0.012,0.0002,24,12,0.03,1\n";
const std::string kLogHeader = "generation,tested,best1,best2,best3,best4,library_size,rejects,elapsed_s\n";
const std::string kLogRow = "0,68,0.2,0.3,0.4,0.5,75,0,0.25\n";

}  // namespace

// A result JSON with statistics for two coils, one of them suspect.
const std::string kResultJson = R"({"goodness": 0.0772456, "settings": {"seed": 7}, "statistics": {"n": 2},
  "coils": [{"name": "c1", "leverage": 0.2, "studentized": 0.5}, {"name": "c2", "leverage": 0.9, "studentized": -3.5}]})";

TEST(Plot, ShortFitGivesItsPngs) {
    if (!havePlotting()) GTEST_SKIP() << kPython << " with matplotlib is missing (Debian python3-matplotlib)";
    CliRun run;
    run.copyExample("coils-small.txt");
    run.write("ranges.txt", readFile(sourcePath("examples/ranges-example.txt")) +
                            "polish 0\nnormalize 0\nreportstyle classic\n" +
                                "minormax 50\nmaxgenerations 3\nprocesses 1\ncoilcsv coils.csv\nlogcsv log.csv\n");
    const CliResult fit = run.run({"coils-small.txt", "ranges.txt"});
    ASSERT_EQ(fit.status, 0) << fit.err;

    const ToolResult both = runTool({kPython, kPlot, "coils.csv", "log.csv", "-o", "plots"}, run.dir());
    ASSERT_EQ(both.status, 0) << both.err;
    const std::vector<std::string> coilPlots = {"computed-vs-measured.png", "error-vs-coil-radius.png",
                                                "error-vs-length.png",      "error-vs-shape.png",
                                                "error-vs-turns.png",       "error-vs-wire-radius.png"};
    std::vector<std::string> expected = coilPlots;
    expected.insert(expected.end(), {"goodness-vs-generation.png", "goodness-vs-time.png"});
    EXPECT_EQ(pngsIn(run.dir() / "plots"), expected);
    for (const std::string& name : expected) {
        const std::string png = run.read("plots/" + name);
        EXPECT_GT(png.size(), 2000u) << name;
        EXPECT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n") << name;
    }

    // Without the log, the coil plots, in the current directory.
    const ToolResult coilsOnly = runTool({kPython, kPlot, "coils.csv"}, run.dir());
    ASSERT_EQ(coilsOnly.status, 0) << coilsOnly.err;
    EXPECT_EQ(pngsIn(run.dir()), coilPlots);

    // A coil named like mathematics is named as written, every plot made.
    run.write("math.csv", kCoilHeader + kCoilRow + kMathRow);
    const ToolResult math = runTool({kPython, kPlot, "math.csv", "-o", "m"}, run.dir());
    ASSERT_EQ(math.status, 0) << math.err;
    EXPECT_EQ(math.err, "");
    EXPECT_EQ(pngsIn(run.dir() / "m"), coilPlots);

    // A result JSON with statistics adds the leverage plot; one without
    // them is said to lack them.
    run.write("stats.json", kResultJson);
    const ToolResult withStatistics = runTool({kPython, kPlot, "coils.csv", "--json", "stats.json", "-o", "s"}, run.dir());
    ASSERT_EQ(withStatistics.status, 0) << withStatistics.err;
    EXPECT_EQ(withStatistics.err, "");
    EXPECT_EQ(pngsIn(run.dir() / "s").size(), coilPlots.size() + 1);
    EXPECT_TRUE(run.exists("s/studentized-vs-leverage.png"));
    run.write("plain.json", R"({"goodness": 0.1, "settings": {}, "statistics": null, "coils": []})");
    const ToolResult plain = runTool({kPython, kPlot, "coils.csv", "--json", "plain.json", "-o", "p"}, run.dir());
    ASSERT_EQ(plain.status, 0) << plain.err;
    EXPECT_EQ(plain.err, "quelmo-plot: plain.json holds no statistics (setting statistics 1): "
                         "no studentized-vs-leverage.png\n");
    EXPECT_EQ(pngsIn(run.dir() / "p"), coilPlots);

    // A run with baselines 1 adds the classical formulas beside the fit; a
    // coil Rosa's correction cannot evaluate (pitch above 0.3 a) is left out
    // of that panel only.
    run.write("baselines.json", R"({"goodness": 0.05, "settings": {"seed": 7}, "statistics": null,
      "baselines": {"solenoid": 0.8, "wheeler": 0.04, "sheet": 0.04, "sheetrosa": 0.006, "fitted": 0.05},
      "coils": [{"name": "c1", "measured_H": 2.4e-06, "computed_H": 2.5e-06, "evaluated": true, "coil_radius_m": 0.01,
                 "wire_radius_m": 0.0002, "turns": 20, "length_m": 0.02},
                {"name": "c2", "measured_H": 4e-07, "computed_H": 4.1e-07, "evaluated": true, "coil_radius_m": 0.01,
                 "wire_radius_m": 0.0002, "turns": 5, "length_m": 0.02}]})");
    const ToolResult baselines =
        runTool({kPython, kPlot, "coils.csv", "--json", "baselines.json", "-o", "b"}, run.dir());
    ASSERT_EQ(baselines.status, 0) << baselines.err;
    EXPECT_TRUE(run.exists("b/baselines-vs-shape.png"));
    EXPECT_GT(run.read("b/baselines-vs-shape.png").size(), 2000u);
}

TEST(Plot, MissingOrMalformedFilesAreRefused) {
    if (!havePlotting()) GTEST_SKIP() << kPython << " with matplotlib is missing (Debian python3-matplotlib)";
    const struct {
        std::string coils;  // content of coils.csv; "-" for no file, "fifo" for a FIFO
        std::string log;    // content of log.csv; "" for no log argument
        std::string message;
        std::string json = "";  // content of result.json; "" for no --json, "-" for no file
    } cases[] = {
        {"-", "", "quelmo-plot: cannot read coils.csv: No such file or directory\n"},
        {"fifo", "", "quelmo-plot: cannot read coils.csv: it is a FIFO; only regular files are read\n"},
        {"", "", "quelmo-plot: coils.csv: the file is empty\n"},
        {kCoilHeader, "", "quelmo-plot: coils.csv: no data rows after the header\n"},
        {"name,measured\nc1,1\n", "", "quelmo-plot: coils.csv: line 1: not a quelmo CSV header, missing columns "
                                      "measured_H, computed_H, relative_error, coil_radius_m, wire_radius_m, gauge, turns, "
                                      "length_m, evaluated\n"},
        {kCoilHeader + kCoilRow + "c2,1e-06,1e-06,0,0.01,0.0002,24,10,0.02\n", "",
         "quelmo-plot: coils.csv: line 3: 9 fields, the header has 10\n"},
        {kCoilHeader + "c2,1e-06,1e-06,0,0.01,0.0002,24,ten,0.02,1\n", "",
         "quelmo-plot: coils.csv: line 2: turns is 'ten', not a number\n"},
        {kCoilHeader + "c2,,1e-06,0,0.01,0.0002,24,10,0.02,1\n", "",
         "quelmo-plot: coils.csv: line 2: measured_H is '', not a number\n"},
        {kCoilHeader + "\"c\"2,1e-06,1e-06,0,0.01,0.0002,24,10,0.02,1\n", "",
         "quelmo-plot: coils.csv: line 2: ',' expected after '\"'\n"},
        {kCoilHeader + kCoilRow, kLogHeader + kLogRow + "1,138,0.1,0.2,0.3,0.4,145,0,x\n",
         "quelmo-plot: log.csv: line 3: elapsed_s is 'x', not a number\n"},
        {kCoilHeader + kCoilRow, kCoilHeader + kCoilRow,
         "quelmo-plot: log.csv: line 1: not a quelmo CSV header, missing columns generation, tested, best1, best2, "
         "best3, best4, library_size, rejects, elapsed_s\n"},
        {kCoilHeader + kCoilRow, "", "quelmo-plot: cannot read result.json: No such file or directory\n", "-"},
        {kCoilHeader + kCoilRow, "", "quelmo-plot: result.json: line 2: not JSON: Expecting value\n", "{\"a\":\n,}"},
        {kCoilHeader + kCoilRow, "", "quelmo-plot: result.json: not a quelmo result, missing coils, settings\n",
         "{\"goodness\": 1}"},
        {kCoilHeader + kCoilRow, "", "quelmo-plot: result.json: not a quelmo result: its JSON is nested too deeply\n",
         std::string(100000, '[') + std::string(100000, ']')},
    };
    for (const auto& c : cases) {
        CliRun scratch;
        if (c.coils == "fifo")
            ASSERT_EQ(mkfifo((scratch.dir() / "coils.csv").c_str(), 0600), 0);
        else if (c.coils != "-")
            scratch.write("coils.csv", c.coils);
        std::vector<std::string> args = {kPython, kPlot, "coils.csv"};
        if (!c.log.empty()) {
            scratch.write("log.csv", c.log);
            args.push_back("log.csv");
        }
        if (!c.json.empty()) {
            if (c.json != "-") scratch.write("result.json", c.json);
            args.insert(args.end(), {"--json", "result.json"});
        }
        const ToolResult result = runTool(args, scratch.dir());
        EXPECT_EQ(result.status, 1) << c.message;
        EXPECT_EQ(result.err, c.message);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(pngsIn(scratch.dir()), std::vector<std::string>{}) << c.message;
    }
}

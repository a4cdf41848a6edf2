// The CSV files of a short fit: a standard CSV reader parses them and their
// numbers agree with the text listing; files that cannot be written are
// refused before the search.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "cli_util.h"
#include "test_support.h"
#include "tool_run.h"

namespace {

std::string formatted(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// Parses a CSV file with Python's csv module in strict mode and prints every
// row, fields separated by tabs; fails unless all rows have the header's width.
const char* const kParseCsv = R"(
import csv, sys
with open(sys.argv[1], newline='') as f:
    rows = list(csv.reader(f, strict=True))
assert rows and all(len(r) == len(rows[0]) for r in rows), 'ragged rows'
for r in rows:
    print('\t'.join(r))
)";

std::vector<std::vector<std::string>> parsedRows(const CliRun& run, const std::string& name) {
    const ToolResult parsed = runTool({kPython, "-c", kParseCsv, name}, run.dir());
    EXPECT_EQ(parsed.status, 0) << parsed.err;
    std::vector<std::vector<std::string>> rows;
    for (const std::string& line : split(parsed.out, '\n'))
        if (!line.empty()) rows.push_back(split(line, '\t'));
    return rows;
}

double number(const std::string& text) { return std::strtod(text.c_str(), nullptr); }

void prepareFit(const CliRun& run, const std::string& extra) {
    // One coil name that needs quoting in CSV.
    std::string coils = readFile(sourcePath("examples/coils-small.txt"));
    coils.replace(coils.find(",sm001"), 6, ",sm\"001");
    run.write("coils.txt", coils);
    run.write("ranges.txt", readFile(sourcePath("examples/ranges-example.txt")) +
                            "polish 0\nnormalize 0\nreportstyle classic\n" +
                                "minormax 50\nmaxgenerations 3\nprocesses 1\n" + extra);
}

// Standard output without the start-up lines of the given settings.
std::string withoutSettingLines(std::string out, const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        const size_t at = out.find(": '" + name);
        if (at == std::string::npos) continue;
        const size_t begin = out.rfind('\n', at) + 1;
        out.erase(begin, out.find('\n', at) + 1 - begin);
    }
    return out;
}

}  // namespace

TEST(CsvFiles, ShortFitFilesParseAndAgreeWithTheListing) {
    CliRun run, plain;
    prepareFit(run, "coilcsv coils.csv\nlogcsv log.csv\n");
    prepareFit(plain, "");
    const CliResult result = run.run({"coils.txt", "ranges.txt"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, fewCoilsWarning("coils.txt"));
    EXPECT_FALSE(result.processesLeft);
    // The files change nothing else: the run is the same search.
    const CliResult without = plain.run({"coils.txt", "ranges.txt"});
    EXPECT_EQ(withoutSettingLines(result.out, {"coils.csv", "log.csv"}), without.out);
    const std::string& out = result.out;

    // One row per generation, with the counts of its "gen =" line.
    const auto log = parsedRows(run, "log.csv");
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0], (std::vector<std::string>{"generation", "tested", "best1", "best2", "best3", "best4",
                                                "library_size", "rejects", "elapsed_s"}));
    const std::regex genLine(R"(\ngen = (\d+) done already (\d+), rejected (\d+)(?=\n))");
    auto line = std::sregex_iterator(out.begin(), out.end(), genLine);
    for (size_t g = 1; g < log.size(); ++g, ++line) {
        ASSERT_NE(line, std::sregex_iterator());
        const std::vector<std::string>& row = log[g];
        EXPECT_EQ(row[0], (*line)[1].str());
        EXPECT_EQ(row[6], (*line)[2].str());
        EXPECT_EQ(row[7], (*line)[3].str());
        for (int k = 2; k < 5; ++k) EXPECT_LE(number(row[k]), number(row[k + 1]));
        EXPECT_LE(number(row[1]), number(row[6]));
        if (g > 1) {
            EXPECT_LE(number(log[g - 1][8]), number(row[8]));
        }
    }
    const std::string goodness = "\n// Goodness = " + formatted("%g", number(log[3][2])) + "\n";
    EXPECT_NE(out.find(goodness), std::string::npos);

    // One row per coil in file order, with the listing's microhenry figures.
    const auto coils = parsedRows(run, "coils.csv");
    ASSERT_EQ(coils.size(), 13u);
    EXPECT_EQ(coils[1][0], "sm\"001");
    EXPECT_EQ(coils[12][0], "sm012");
    std::map<std::string, std::vector<std::string>> byName;
    double sum = 0;
    int evaluated = 0;
    for (size_t i = 1; i < coils.size(); ++i) {
        byName[coils[i][0]] = coils[i];
        if (coils[i][9] != "1") continue;
        sum += number(coils[i][3]) * number(coils[i][3]);
        ++evaluated;
    }
    ASSERT_GT(evaluated, 0);
    // The relative errors give the goodness of the final set.
    EXPECT_NEAR(std::sqrt(sum / evaluated), number(log[3][2]), 1e-15);
    const std::regex coilLine(R"(\n *([\d.]+)% L= *([\d.]+) : *([\d.]+) uH, *(\d+) turns[^#]*#\d+ (\S+))");
    const std::string worst = out.substr(out.find("\nWorst first\n"));
    int listed = 0;
    for (auto it = std::sregex_iterator(worst.begin(), worst.end(), coilLine); it != std::sregex_iterator(); ++it) {
        const std::smatch& m = *it;
        const std::vector<std::string>& row = byName.at(m[5].str());
        const double relative = number(row[3]);
        EXPECT_EQ(formatted("%4.1f", 100 * relative * relative), formatted("%4.1f", number(m[1].str())));
        EXPECT_EQ(formatted("%6.3f", number(row[1]) * 1e6), formatted("%6.3f", number(m[2].str())));
        EXPECT_EQ(formatted("%6.3f", number(row[2]) * 1e6), formatted("%6.3f", number(m[3].str())));
        EXPECT_EQ(row[7], m[4].str());
        ++listed;
    }
    EXPECT_EQ(listed, evaluated);
}

TEST(CsvFiles, FilesThatCannotBeWrittenAreRefusedBeforeTheSearch) {
    CliRun run;
    // A directory where the coil file goes, a missing directory for the log.
    prepareFit(run, "coilcsv .\nlogcsv missing/log.csv\n");
    const CliResult result = run.run({"coils.txt", "ranges.txt"});
    EXPECT_EQ(result.status, 255);
    EXPECT_FALSE(result.processesLeft);
    EXPECT_EQ(result.err, ". fails because Is a directory\nCouldn't open . for output\n");
    EXPECT_EQ(result.out.find("LAST 14"), std::string::npos);
}

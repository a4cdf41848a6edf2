// The CSV files: field quoting, numbers that read back exactly, the coil and
// generation rows, write failures, and a short fit whose files a standard CSV
// reader parses and whose numbers agree with the text listing.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "cli_util.h"
#include "coils/equation.h"
#include "common/version.h"
#include "reports/csvfiles.h"
#include "tool_run.h"

namespace {

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator)) parts.push_back(part);
    if (!text.empty() && text.back() == separator) parts.push_back("");
    return parts;
}

std::string formatted(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

InductorRecord coil(const char* name, double microhenry, int turns) {
    InductorRecord c{};
    c.measuredInductance = microhenry * 1e-6;
    c.radius = 0.0127;
    c.wire = 0.0005;
    c.gauge = 22;
    c.turns = turns;
    c.length = 0.0254;
    c.fileName = const_cast<char*>(name);
    return c;
}

// Computes (turns - 5) microhenry: a coil of five turns cannot be evaluated.
ResultRecord turnsSet() {
    ResultRecord set{};
    set.coefficients[cR0] = 1e-6 / kMu0;
    set.coefficients[cT0] = -5;
    set.coefficients[cT1] = 1;
    set.coefficients[cW0] = 1;
    set.coefficients[cL0] = 1;
    return set;
}

}  // namespace

TEST(CsvText, FieldsAreQuotedOnlyWhenTheyMustBe) {
    const struct {
        const char* text;
        const char* field;
    } cases[] = {
        {"coil7", "coil7"},       {"", ""},
        {" spaced ", " spaced "}, {"a,b", "\"a,b\""},
        {"a\"b", "\"a\"\"b\""},   {"\"", "\"\"\"\""},
        {"a\rb", "\"a\rb\""},     {"a\nb", "\"a\nb\""},
    };
    for (const auto& c : cases) EXPECT_EQ(csvField(c.text), c.field) << c.text;
}

TEST(CsvText, NumbersReadBackToTheSameDouble) {
    for (const double value : {0.1, 4.48266e-06, -2.5e-300, 1e208, std::nextafter(1.0, 2.0), 0.0772456,
                               3.0 / 7.0}) {
        const std::string text = csvNumber(value);
        const double back = std::strtod(text.c_str(), nullptr);
        EXPECT_EQ(std::memcmp(&back, &value, sizeof value), 0) << text;
    }
    EXPECT_EQ(csvNumber(0.1), "0.10000000000000001");
    EXPECT_EQ(csvNumber(25), "25");
}

TEST(CsvText, CoilRowsInTheGivenOrderWithEmptyFieldsForUnevaluableCoils) {
    const InductorRecord a = coil("a", 10, 16), five = coil("five,\"x\"", 3, 5), b = coil("b", 4, 11);
    const ResultRecord set = turnsSet();
    const std::vector<std::string> lines = split(coilCsv({&a, &five, &b}, &set), '\n');
    ASSERT_EQ(lines.size(), 5u);  // header, three coils, the empty piece after the last LF
    EXPECT_EQ(lines[0],
              "name,measured_H,computed_H,relative_error,coil_radius_m,wire_radius_m,gauge,turns,length_m,evaluated");
    EXPECT_EQ(lines[4], "");
    // The name is quoted; computed inductance and error are empty.
    EXPECT_EQ(lines[2].substr(0, 13), "\"five,\"\"x\"\"\",");
    const std::vector<std::string> unevaluable = split(lines[2].substr(13), ',');
    EXPECT_EQ(unevaluable, (std::vector<std::string>{csvNumber(3e-6), "", "", csvNumber(0.0127), csvNumber(0.0005),
                                                     "22", "5", csvNumber(0.0254), "0"}));
    for (const auto& [line, c] : {std::pair{lines[1], &a}, std::pair{lines[3], &b}}) {
        const std::vector<std::string> f = split(line, ',');
        ASSERT_EQ(f.size(), 10u) << line;
        EXPECT_EQ(f[0], c->fileName);
        const double computed = evalInductorAbs(c, &set);
        EXPECT_EQ(std::strtod(f[1].c_str(), nullptr), c->measuredInductance);
        EXPECT_EQ(std::strtod(f[2].c_str(), nullptr), computed);
        EXPECT_EQ(std::strtod(f[3].c_str(), nullptr), (computed - c->measuredInductance) / c->measuredInductance);
        EXPECT_EQ(f[7], std::to_string(c->turns));
        EXPECT_EQ(f[9], "1");
    }
    // Evaluated means counted in the goodness: a measured 0 counts (with an
    // infinite error), a NaN or infinite one does not.
    for (const auto& [measured, error, evaluated] :
         {std::tuple{0.0, "inf", "1"}, std::tuple{std::nan(""), "", "0"}, std::tuple{-HUGE_VAL, "", "0"}}) {
        InductorRecord odd = a;
        odd.measuredInductance = measured;
        const std::vector<std::string> f = split(split(coilCsv({&odd}, &set), '\n')[1], ',');
        EXPECT_EQ(f[3], error) << measured;
        EXPECT_EQ(f[9], evaluated) << measured;
    }
}

TEST(CsvText, GenerationRowLeavesMissingGoodnessEmpty) {
    const GenerationRow row{7, 490, {0.5, 0.25, kNoValue, kNoValue}, 497, 3, 1.5};
    EXPECT_EQ(generationCsvRow(row), "7,490,0.5,0.25,,,497,3,1.5\n");
    EXPECT_EQ(split(kGenerationCsvHeader, ',').size(), 9u);
}

TEST(CsvFile, ReplacesTheFileWholeOrTellsWhy) {
    CliRun scratch;
    const std::string target = (scratch.dir() / "log.csv").string();
    scratch.write("log.csv", std::string(5000, 'x'));
    std::string error;
    ASSERT_TRUE(writeCsvFile(target.c_str(), "a,b\n1,2\n", error)) << error;
    EXPECT_EQ(scratch.read("log.csv"), "a,b\n1,2\n");
    EXPECT_EQ(scratch.files(), std::vector<std::string>{"log.csv"});

    // Paths that fail for every user, root included.
    const std::string directory = scratch.dir().string();
    const std::string missing = (scratch.dir() / "missing" / "log.csv").string();
    struct {
        std::string path;
        std::string message;
    } cases[] = {
        {directory, directory + " fails because Is a directory\nCouldn't open " + directory + " for output\n"},
        {missing, missing + " fails because No such file or directory\nCouldn't open " + missing + " for output\n"},
        {"/dev/full", "/dev/full fails because No space left on device\nCouldn't write /dev/full\n"},
    };
    for (const auto& c : cases) {
        if (c.path == "/dev/full" && !std::filesystem::exists("/dev/full")) continue;
        error.clear();
        EXPECT_FALSE(writeCsvFile(c.path.c_str(), "a,b\n", error));
        EXPECT_EQ(error, c.message);
    }
}

namespace {

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
    run.write("ranges.txt", readFile(sourcePath("examples/ranges-example.txt")) + "polish 0\n" +
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
    EXPECT_EQ(result.err, "");
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

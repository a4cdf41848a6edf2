// The CSV files and the JSON text of names: field quoting, bytes that are
// not UTF-8, numbers that read back exactly, the coil and
// generation rows, and write failures.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "coils/equation.h"
#include "common/version.h"
#include "reports/csvfiles.h"
#include "reports/earlierlog.h"
#include "reports/jsontext.h"
#include "test_support.h"
#include "tool_run.h"

namespace {

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

// A resumed run takes back the rows before its snapshot's generation, as
// written, and the time of the last; what it cannot use it says.
TEST(CsvFile, EarlierLogKeepsTheRowsBeforeTheSnapshot) {
    CliRun scratch;
    const std::string header = kGenerationCsvHeader;
    const std::string rows[] = {"0,70,0.5,0.6,0.7,0.8,71,0,0.25\n", "1,140,0.5,0.6,0.7,0.8,141,2,0.5\n",
                                "2,210,0.25,0.5,0.6,0.7,211,2,1.5\n", "3,280,0.25,0.5,0.6,0.7,281,3,2\n"};
    const std::string whole = header + rows[0] + rows[1] + rows[2] + rows[3];
    struct Case {
        std::string content;  // empty: no file
        int32_t generation;
        int32_t rows;
        double elapsed;
        std::string shortBecause;
    };
    const Case cases[] = {
        {whole, 3, 3, 1.5, ""},  // the row written after the snapshot goes
        {whole, 4, 4, 2, ""},
        {whole, 0, 0, 0, ""},
        {whole, 6, 4, 2, "it ends there"},
        {"", 2, 0, 0, "it does not exist"},
        {"gen,x\n" + rows[0], 2, 0, 0, "its first line is not the header of a generation log"},
        {header + rows[0] + rows[2], 3, 1, 0.25, "its line 3 is not the row of generation 1"},
        {header + rows[0] + "1,140,0.5\n", 3, 1, 0.25, "its line 3 is not the row of generation 1"},
        {header + rows[0] + "1,140,0.5,0.6,0.7,0.8,141,2,nan\n", 3, 1, 0.25,
         "its line 3 is not the row of generation 1"},
        {header + rows[0] + rows[1].substr(0, rows[1].size() - 1), 3, 1, 0.25,
         "its line 3 is not the row of generation 1"},
        {header + rows[0] + std::string(600, '1') + "\n", 3, 1, 0.25, "its line 3 is not the row of generation 1"},
    };
    const std::string path = (scratch.dir() / "log.csv").string();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content.substr(0, 80) + " at " + std::to_string(c.generation));
        std::filesystem::remove(path);
        if (!c.content.empty()) scratch.write("log.csv", c.content);
        const EarlierLog log = readEarlierLog(path.c_str(), c.generation);
        EXPECT_EQ(log.rows, c.rows);
        EXPECT_EQ(log.elapsed, c.elapsed);
        EXPECT_EQ(log.shortBecause, c.shortBecause);
        EXPECT_EQ(log.text, c.rows == 0 ? header : whole.substr(0, whole.find(rows[c.rows - 1]) + rows[c.rows - 1].size()));
    }

    // Never through a link, nor from a directory.
    std::filesystem::remove(path);
    scratch.write("elsewhere.csv", whole);
    std::filesystem::create_symlink("elsewhere.csv", path);
    EXPECT_EQ(readEarlierLog(path.c_str(), 2).shortBecause, "it is a symbolic link");
    std::filesystem::remove(path);
    std::filesystem::create_directory(path);
    EXPECT_EQ(readEarlierLog(path.c_str(), 2).shortBecause, "it is not a plain file");
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

// Names come from files: bytes that are not UTF-8 are escaped as lone
// surrogates, one per byte, which Python's surrogateescape turns back into
// the same bytes; everything else is written as the JSON library writes it.
TEST(JsonText, AnyBytesBecomeAStringLiteral) {
    const struct {
        std::string text;
        bool utf8;
        std::string literal;
    } cases[] = {
        {"plain", true, "\"plain\""},
        {"sp\xc3\xbcle", true, "\"sp\xc3\xbcle\""},
        {"sp\xfcle", false, "\"sp\\udcfcle\""},
        {"q\"b\\\n\x01\x7f", true, "\"q\\\"b\\\\\\n\\u0001\x7f\""},
        {"\xe2\x82", false, "\"\\udce2\\udc82\""},            // cut short
        {"\xc0\xaf", false, "\"\\udcc0\\udcaf\""},            // overlong
        {"\xed\xa0\x80", false, "\"\\udced\\udca0\\udc80\""},  // a surrogate
        {"\xf4\x90\x80\x80", false, "\"\\udcf4\\udc90\\udc80\\udc80\""},  // above U+10FFFF
        {"\xf0\x9f\x99\x82", true, "\"\xf0\x9f\x99\x82\""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isUtf8(c.text), c.utf8) << c.literal;
        EXPECT_EQ(jsonStringLiteral(c.text), c.literal);
        if (c.utf8) {
            EXPECT_EQ(jsonStringLiteral(c.text), nlohmann::ordered_json(c.text).dump());
        }
    }
}

TEST(JsonText, DocumentsWithRawBytesAreWrittenWhole) {
    using Json = nlohmann::ordered_json;
    const Json valid = {{"name", "sp\xc3\xbcle"}, {"list", {1.5, "x", nullptr}}};
    EXPECT_EQ(dumpJson(valid, 2), valid.dump(2));
    // A value that looks like the internal marker is written as itself.
    const std::string marker = "\x01\x02quelmo-raw-0";
    const Json mixed = {{"a", "sp\xfcle"}, {"b", {marker, "\xff"}}, {"c", "ok"}};
    EXPECT_EQ(dumpJson(mixed, -1),
              "{\"a\":\"sp\\udcfcle\",\"b\":[\"\\u0001\\u0002quelmo-raw-0\",\"\\udcff\"],\"c\":\"ok\"}");
}

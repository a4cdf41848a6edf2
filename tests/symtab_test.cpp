// Settings and range tables, the step counts and the ranges file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "settings/inputdigest.h"
#include "settings/symtab.h"
#include "test_support.h"
#include "testhooks.h"

namespace {

std::string symtabListing() {
    testing::internal::CaptureStdout();
    dumpSymtab("Startup");
    return testing::internal::GetCapturedStdout();
}

std::string rangeListing() {
    testing::internal::CaptureStdout();
    dumpRangeTable(stdout, "test range\n");
    return testing::internal::GetCapturedStdout();
}

void setRange(int k, double low, double high, double resolution) {
    R[k].low = low;
    R[k].high = high;
    R[k].resolution = resolution;
}

// All entries valid (0..1 by 0.1) except those a test changes.
void validTable() {
    resetTables();
    for (int k = 0; k < kCoefficientCount; ++k) setRange(k, 0, 1, 0.1);
}

}  // namespace

TEST(Tables, DefaultListingShowsEveryTypeInItsFormat) {
    resetTables();
    const std::string text = symtabListing();
    EXPECT_EQ(text.substr(0, 8), "Startup\n");
    EXPECT_NE(text.find("\n              quitat: -1\n"), std::string::npos);
    EXPECT_NE(text.find("\n          resultfile: '(null)'\n"), std::string::npos);
    EXPECT_NE(text.find("\n                seed: 1033888277\n"), std::string::npos);
    EXPECT_NE(text.find("\n         randomminor: 0.33\n"), std::string::npos);
    EXPECT_NE(text.find("\n            minormax: 8388608\n"), std::string::npos);
    EXPECT_NE(text.find("\n              bestl3: 1e+208\n"), std::string::npos);
    // 34 entries, one line each, after the title; the later settings are
    // left out while they hold their defaults.
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 35);
    EXPECT_EQ(text.find("ordered"), std::string::npos);
}

TEST(Tables, LaterSettingsAreListedOnlyWhenSet) {
    const std::string text = readRangesText(allRanges() + "ordered 1\nstateevery 10\nlogcsv log.csv\n");
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 37);
    EXPECT_NE(text.find("\n              bestl3: 1e+208\n             ordered: 1\n              logcsv: 'log.csv'\n"),
              std::string::npos);
    EXPECT_EQ(text.find("stateevery"), std::string::npos);  // given, but at its default
}

TEST(Tables, SettingsSitAtTheirFixedPositions) {
    // The code reads each setting at its position, the ranges file writes it
    // by name: every name must reach that position, and only it, as a value
    // of the setting's type.
    std::vector<std::pair<int, std::string>> settings = {
        {kPopulation, "population"}, {kSave, "save"}, {kMaxGenerations, "maxgenerations"},
        {kResultFile, "resultfile"}, {kProcesses, "processes"}, {kSeed, "seed"}, {kNoise, "noise"},
        {kMinorMax, "minormax"}, {kRandomMinor, "randomminor"}, {kTries, "tries"}, {kResultC, "resultc"},
        {kCVarName, "cvarname"}, {kPctChange, "pctchange"}, {kRaiseLower, "raiselower"}, {kQuitAt, "quitat"},
        {kRangeExpand, "rangeexpand"}, {kDirection, "direction"}, {kResultJa, "resultja"},
        {kJaVarName, "javarname"}, {kOrdered, "ordered"}, {kCheckpoint, "checkpoint"},
        {kStateFile, "statefile"}, {kStateEvery, "stateevery"}, {kResume, "resume"}, {kPolish, "polish"},
        {kCoilCsv, "coilcsv"}, {kLogCsv, "logcsv"}, {kStatistics, "statistics"}, {kCrossValidate, "crossvalidate"},
        {kPrune, "prune"}, {kResultJson, "resultjson"}, {kBaselines, "baselines"}, {kBase, "base"},
        {kCompare, "compare"}, {kUncertainty, "uncertainty"}, {kHold, "hold"}, {kCvRepeats, "cvrepeats"},
        {kReportStyle, "reportstyle"}, {kNormalize, "normalize"}, {kProgressJson, "progressjson"}};
    for (int k = 0; k < kCoefficientCount; ++k)
        settings.emplace_back(kBestFirst + k, std::string("best") + kCoefficientNames[k]);
    ASSERT_EQ(settings.size(), static_cast<size_t>(kSymbolCount));
    resetTables();
    const auto defaults = S;
    for (const auto& [index, name] : settings) {
        readRangesText(allRanges() + name + " 7\n");
        for (int i = 0; i < kSymbolCount; ++i) {
            const SymbolEntry& entry = S[i];
            const bool seven = entry.type == symInt      ? entry.value.i == 7
                               : entry.type == symLong   ? entry.value.l == 7
                               : entry.type == symDouble ? entry.value.d == 7.0
                               : entry.value.s != nullptr && std::strcmp(entry.value.s, "7") == 0;
            if (i == index) EXPECT_TRUE(seven) << name;
            else EXPECT_EQ(std::memcmp(&entry.value, &defaults[i].value, 8), 0) << name << " changed " << entry.name;
        }
    }
    for (int k = 0; k < kCoefficientCount; ++k) EXPECT_EQ(defaults[kBestFirst + k].value.d, 1e208);
    resetTables();
    // An int setting uses the first four bytes; the other four stay zero.
    unsigned char bytes[8];
    std::memcpy(bytes, &S[kSave].value, 8);
    EXPECT_EQ(bytes[4] | bytes[5] | bytes[6] | bytes[7], 0);
}

TEST(Tables, RangeListingFormat) {
    resetTables();
    const std::string zeros = "  r0:          0          0          0          0   0 (0)\n";
    EXPECT_EQ(rangeListing().substr(0, 11 + zeros.size()), "test range\n" + zeros);
    R[0] = {"r0", 0.5, 2, 0.01, 151, 0.001, 5};
    const std::string example = "  r0:        0.5          2       0.01      0.001   5 (151)\n";
    EXPECT_EQ(rangeListing().substr(11, example.size()), example);
}

TEST(ComputeInc, TruncatesTheQuotient) {
    validTable();
    setRange(0, 0.1, 0.3, 0.1);        // q = 1.9999999999999998
    setRange(1, 1.0, 0.95, 0.1);       // high below low by less than one resolution
    setRange(2, 1.0, 0.5, -0.1);       // negative resolution, high below low
    setRange(3, 0, 2147483646.5, 1);   // largest valid quotient
    computeInc();
    EXPECT_EQ(R[0].steps, 2);
    EXPECT_EQ(R[1].steps, 1);
    EXPECT_EQ(R[2].steps, 6);
    EXPECT_EQ(R[3].steps, 2147483647);
    EXPECT_EQ(R[4].steps, 11);
}

TEST(ComputeInc, InvalidEntriesEndTheProcess) {
    validTable();
    setRange(3, 0, 2147483647, 1);
    EXPECT_EXIT(computeInc(), testing::ExitedWithCode(255),
                R"(^symtab \(computeInc:207\) r3 has bad resolution \(0 < 2\.14748e\+09\)/1
$)");
    validTable();
    setRange(5, 1, 0, 0.5);  // a whole resolution below
    EXPECT_EXIT(computeInc(), testing::ExitedWithCode(255), R"(w1 has bad resolution \(1 < 0\)/0\.5)");
    resetTables();
    EXPECT_EXIT(computeInc(), testing::ExitedWithCode(255),
                R"(^symtab \(computeInc:207\) r0 has bad resolution \(0 < 0\)/0
$)");
    validTable();
    setRange(7, 0, std::nan(""), 1);
    EXPECT_EXIT(computeInc(), testing::ExitedWithCode(255), R"(t0 has bad resolution \(0 < nan\)/1)");
}

TEST(RangesFile, ReadsTheExampleLines) {
    std::string body = "# fit of the test coils, third run\n// ranges first\n\n";
    body += "r0 0 2 0.01 0.001 4\nR1, -1, 1, 0.5, 0.01, 2\n";
    for (int k = 2; k < kCoefficientCount; ++k)
        body += std::string(kCoefficientNames[k]) + " 0 1 0.1 0.01 2\n";
    body += "processes 0x4\nseed 12345\npctchange 0.05\nrangeexpand 1\nresultfile fit.txt\n";
    const std::string out = readRangesText(body);
    EXPECT_EQ(out.substr(0, 8), "Startup\n");
    EXPECT_EQ(R[0].low, 0);
    EXPECT_EQ(R[0].high, 2);
    EXPECT_EQ(R[0].resolution, 0.01);
    EXPECT_EQ(R[0].minorInc, 0.001);
    EXPECT_EQ(R[0].mcount, 4);
    EXPECT_EQ(R[0].steps, 201);
    EXPECT_EQ(R[1].low, -1);
    EXPECT_EQ(R[1].mcount, 2);
    EXPECT_EQ(R[1].steps, 5);
    EXPECT_EQ(S[kProcesses].value.i, 4);
    EXPECT_EQ(S[kSeed].value.l, 12345);
    EXPECT_EQ(S[kPctChange].value.d, 0.05);
    EXPECT_EQ(S[kRangeExpand].value.i, 1);
    EXPECT_STREQ(S[kResultFile].value.s, "fit.txt");
    EXPECT_NE(out.find("          resultfile: 'fit.txt'\n"), std::string::npos);
}

TEST(RangesFile, SettingValueTokens) {
    struct Case {
        const char* line;
        int index;
        long expected;
    };
    const Case cases[] = {
        {"seed 42 # note", kSeed, 42},
        {"seed,42", kSeed, 42},
        {"seed , 42", kSeed, 0},
        {"seed 0x10", kSeed, 0},
        {"seed 5000000000", kSeed, 5000000000L},
        {"seed 99999999999999999999", kSeed, 9223372036854775807L},
        {"minormax 010", kMinorMax, 8},
        {"minormax 0x10", kMinorMax, 16},
        {"minormax 0X1f", kMinorMax, 31},
        {"minormax 4294967297", kMinorMax, 1},
        {"quitat -7", kQuitAt, -7},
        {"tries x", kTries, 0},
        {"PctChange 5", kPctChange, 5},
    };
    for (const Case& c : cases) {
        readRangesText(allRanges() + c.line + "\n");
        const SymbolEntry& entry = S[c.index];
        const long value = entry.type == symInt    ? entry.value.i
                           : entry.type == symLong ? static_cast<long>(entry.value.l)
                                                   : static_cast<long>(entry.value.d);
        EXPECT_EQ(value, c.expected) << c.line;
    }
}

TEST(RangesFile, StringsKeepCommasAndCarriageReturns) {
    readRangesText(allRanges() + "resultfile out,txt\n");
    EXPECT_STREQ(S[kResultFile].value.s, "out,txt");
    readRangesText(allRanges() + "resultfile out.txt\r\n");
    EXPECT_STREQ(S[kResultFile].value.s, "out.txt\r");
    readRangesText(allRanges() + "cvarname first\ncvarname second\n");
    EXPECT_STREQ(S[kCVarName].value.s, "second");
}

TEST(RangesFile, CoefficientLines) {
    readRangesText(allRanges() + "r0 0 1 0.1 0.01 -3\nR3 -2 2 0.5 0.05 7 trailing words\n");
    EXPECT_EQ(R[0].mcount, -3);
    EXPECT_EQ(R[3].low, -2);
    EXPECT_EQ(R[3].mcount, 7);
    EXPECT_EQ(R[3].steps, 9);
    // Carriage-return line ends: the carriage return ends each number.
    std::string crlf;
    for (const char* name : kCoefficientNames) crlf += std::string(name) + " 0 1 0.1 0.01 2\r\n";
    readRangesText(crlf);
    EXPECT_EQ(R[14].mcount, 2);
    EXPECT_EQ(R[14].steps, 11);
}

TEST(RangesFile, LongLinesAreReadInPieces) {
    // 300 characters: the piece after the first 255 is a line of its own.
    std::string longLine = "# " + std::string(253, 'x') + "seed 77 " + std::string(30, 'y') + "\n";
    readRangesText(allRanges() + longLine);
    EXPECT_EQ(S[kSeed].value.l, 77);
}

// Ten thousand values read in part: five warnings, then their count.
TEST(RangesFile, RepeatedWarningsAreCapped) {
    std::string body = allRanges();
    for (int i = 0; i < 10000; ++i) body += "seed 7x\n";
    testing::internal::CaptureStderr();
    readRangesText(body);
    const std::string err = testing::internal::GetCapturedStderr();
    int shown = 0;
    for (size_t at = err.find("`7x` was read as 7"); at != std::string::npos; at = err.find("`7x`", at + 1)) ++shown;
    EXPECT_EQ(shown, 5);
    EXPECT_NE(err.find("Warning: \xE2\x80\xA6 and 9995 more such warnings (values read in part)\n"),
              std::string::npos);
}

TEST(InputDigest, RangesDigestLeavesOutResumeAndMaxGenerationsLines) {
    const std::string base = allRanges() + "processes 2\n# a comment\n";
    const uint64_t digest = rangesDigest(base);
    const struct {
        std::string text;
        bool same;
    } cases[] = {
        {base + "resume 1\n", true},
        {"RESUME 0\n" + base, true},
        {base + " ,resume 1", true},  // leading delimiters, no final newline
        {base + "resume\n", true},
        {base + "#resume 1\n", false},  // a comment, not a setting
        {base + "resumes 1\n", false},
        // The limit is compared as a setting, so that a run can be continued.
        {base + "maxgenerations 600\n", true},
        {"MaxGenerations,300\n" + base, true},
        {base + "maxgeneration 600\n", false},
        {base + "processes 2\n", false},
        {allRanges() + "processes 3\n# a comment\n", false},
    };
    for (const auto& c : cases) EXPECT_EQ(rangesDigest(c.text) == digest, c.same) << c.text.substr(base.size());
    // The reader takes 255 characters at a time: after a 255-character
    // comment, "resume 1" on the same line is a setting line of its own.
    const std::string comment(255, '#');
    EXPECT_EQ(rangesDigest(base + comment + "resume 1\n"), rangesDigest(base + comment));
    // The digest of earlier versions keeps the limit's lines.
    EXPECT_EQ(rangesDigest(base + "resume 1\n", true), rangesDigest(base, true));
    EXPECT_NE(rangesDigest(base + "maxgenerations 600\n", true), rangesDigest(base, true));
}

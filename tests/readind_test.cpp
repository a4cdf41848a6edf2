// The test coil file.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "cli_util.h"
#include "coils/readind.h"

namespace {

// Reads `body` in-process and returns the coil names in list order.
std::vector<std::string> readCoils(const std::string& body) {
    CliRun scratch;
    scratch.write("coils.txt", body);
    theInductors = nullptr;
    readTestInductors((scratch.dir() / "coils.txt").c_str());
    std::vector<std::string> names;
    for (const InductorRecord* coil = theInductors; coil != nullptr; coil = coil->next)
        names.push_back(coil->fileName);
    return names;
}

// Runs the program on `body` and returns its standard error.
std::string coilError(const std::string& body) {
    CliRun run;
    run.write("c.txt", body);
    const CliResult result = run.run({"c.txt"});
    EXPECT_EQ(result.status, 255) << body;
    EXPECT_EQ(result.out, kBanner) << body;
    return result.err;
}

std::string prefix(int number, int line) {
    return "readind (readTestInductors:" + std::to_string(number) + ") At line " + std::to_string(line) +
           " in c.txt, ";
}

}  // namespace

TEST(CoilFile, ReadsFieldsAndKeepsReverseFileOrder) {
    const auto names = readCoils(
        "// header\nAbc comment\n"
        "4.48266e-06,0.0159268,0.000227333,25,11,0.0131143,coil001 trailing\n"
        " 1e-6 , 2e-3,1e-4,+7,12.7,0.5 , second,x\n"
        "-2,1,1,32,1,1,neg\r\n");
    ASSERT_EQ(names, (std::vector<std::string>{"neg", "second", "coil001"}));
    const InductorRecord* second = theInductors->next;
    EXPECT_EQ(second->measuredInductance, 1e-6);
    EXPECT_EQ(second->radius, 2e-3);
    EXPECT_EQ(second->wire, 1e-4);
    EXPECT_EQ(second->gauge, 7);
    EXPECT_EQ(second->turns, 12);
    EXPECT_EQ(second->length, 0.5);
    EXPECT_EQ(theInductors->measuredInductance, -2);
    EXPECT_EQ(theInductors->squaredError, 0);
}

TEST(CoilFile, EmptyOrCommentOnlyFilesGiveNoCoils) {
    EXPECT_TRUE(readCoils("").empty());
    EXPECT_TRUE(readCoils("/ only\nzzz\n").empty());
}

TEST(CoilFile, DoubleCommaShiftsTheFields) {
    // After the empty field the gauge (25) lands in the wire radius and the
    // turns (11) in the gauge: all accepted, the length is then 0.01 and the
    // name the last number.
    const auto names = readCoils("1e-6,0.01,,0.0002,25,11,0.01,name\n");
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(theInductors->wire, 0.0002);
    EXPECT_EQ(theInductors->gauge, 25);
    EXPECT_EQ(theInductors->turns, 11);
    EXPECT_EQ(theInductors->length, 0.01);
    EXPECT_EQ(names[0], "name");
}

TEST(CoilFile, LongLinesAreSplit) {
    // 79 characters before the newline: the newline is read on its own as an
    // empty data line.
    std::string line = "1e-6,0.01,0.0002,24,10,0.02,";
    line += std::string(79 - line.size(), 'n');
    EXPECT_EQ(coilError(line + "\n"), prefix(69, 2) + "no data\n");
    // A remainder that starts with a letter is skipped.
    EXPECT_EQ(readCoils(line + "more\n").size(), 1u);
    // A remainder that starts with a digit is a data line of its own.
    EXPECT_EQ(coilError(line + "5\n"), prefix(80, 2) + "missing radius\n");
}

TEST(CoilFile, EachFieldHasItsMessage) {
    const std::pair<std::string, std::string> cases[] = {
        {"\n", prefix(69, 1) + "no data\n"},
        {"1e-6\n", prefix(80, 1) + "missing radius\n"},
        {"1e-6,x,1,1,1,1,n\n", prefix(88, 1) + "radius 0 bad\n"},
        {"1e-6,-0.5,1,1,1,1,n\n", prefix(88, 1) + "radius -0.5 bad\n"},
        {"1e-6,nan,1,1,1,1,n\n", prefix(88, 1) + "radius nan bad\n"},
        {"1e-6,1\n", prefix(99, 1) + "missing wire radius\n"},
        {"1e-6,1,0,1,1,1,n\n", prefix(107, 1) + "wire radius 0 bad\n"},
        {"1e-6,1,1\n", prefix(117, 1) + "missing wire gauge\n"},
        {"1e-6,1,1,0,1,1,n\n", prefix(125, 1) + "wire gauge 0 bad\n"},
        {"1e-6,1,1,33,1,1,n\n", prefix(125, 1) + "wire gauge 33 bad\n"},
        {"1e-6,1,1,4294967329,1,1,n\n", prefix(125, 1) + "wire gauge 33 bad\n"},
        {"1e-6,1,1,1\n", prefix(135, 1) + "missing number of turns\n"},
        {"1e-6,1,1,1,0,1,n\n", prefix(143, 1) + "number of turns  0 bad\n"},
        {"1e-6,1,1,1,-5,1,n\n", prefix(143, 1) + "number of turns  -5 bad\n"},
        {"1e-6,1,1,1,1\n", prefix(153, 1) + "missing length\n"},
        {"1e-6,1,1,1,1,0,n\n", prefix(161, 1) + "length 0 bad\n"},
        {"1e-6,1,1,1,1,1\n", prefix(171, 1) + "missing file name\n"},
        {"1e-6,1,1,1,1,1,  \n", prefix(171, 1) + "missing file name\n"},
        {"/c\nA\n\n", prefix(69, 3) + "no data\n"},
    };
    for (const auto& [body, message] : cases) EXPECT_EQ(coilError(body), message) << body;
}

TEST(CoilFile, AcceptsAnyMeasuredInductance) {
    EXPECT_EQ(readCoils("0,1,1,1,1,1,a\n-3e-6,1,1,1,1,1,b\n x,1,1,1,1,1,c\n").size(), 3u);
}

// A file with CR LF line ends reads as its twin with LF alone: the same coils
// and names, and the same message at the same line, also where a line fills
// the 79-character read up to its carriage return.
TEST(CoilFile, CrLfLineEndsReadAsLfAlone) {
    const std::string fill = "1e-6,0.01,0.0002,24,10,0.02,";
    const std::string fits = fill + std::string(78 - fill.size(), 'n');
    const std::pair<std::string, bool> bodies[] = {
        {"// header\n1e-6,0.01,0.0002,24,10,0.02,a\n2e-6,0.02,0.0002,24,10,0.02,b\n", true},
        {fits + "\n", true},
        {"1e-6,0.01,0.0002,24,10,0.02,last", true},
        {fits + "n\n", false},
        {"1e-6,0.01,0.0002,24,10,0.02,a\n\n", false},
    };
    for (const auto& [lf, valid] : bodies) {
        const std::string crlf = std::regex_replace(lf, std::regex("\n"), "\r\n");
        const auto read = [&](const std::string& b) { return valid ? testing::PrintToString(readCoils(b)) : coilError(b); };
        EXPECT_EQ(read(crlf), read(lf)) << lf;
    }
    // A carriage return at the very end of the file ends the line too.
    EXPECT_EQ(readCoils("1e-6,0.01,0.0002,24,10,0.02,a\r\n2e-6,0.02,0.0002,24,10,0.02,b\r"),
              (std::vector<std::string>{"b", "a"}));
}

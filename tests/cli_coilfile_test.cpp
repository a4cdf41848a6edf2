// Errors in the test coil file: each ends the run with its own message,
// naming the line.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <utility>

#include "cli_util.h"

namespace {

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

TEST(CoilFileErrors, LongLinesAreSplit) {
    // 79 characters before the newline: the newline is read on its own as an
    // empty data line.
    std::string line = "1e-6,0.01,0.0002,24,10,0.02,";
    line += std::string(79 - line.size(), 'n');
    EXPECT_EQ(coilError(line + "\n"), prefix(69, 2) + "no data\n");
    // A remainder that starts with a digit is a data line of its own.
    EXPECT_EQ(coilError(line + "5\n"), prefix(80, 2) + "missing radius\n");
}

TEST(CoilFileErrors, EachFieldHasItsMessage) {
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

// A file with CR LF line ends gives the message of its twin with LF alone,
// at the same line, also where a line fills the 79-character read up to its
// carriage return.
TEST(CoilFileErrors, CrLfLineEndsReadAsLfAlone) {
    const std::string fill = "1e-6,0.01,0.0002,24,10,0.02,";
    const std::string fits = fill + std::string(78 - fill.size(), 'n');
    for (const std::string& lf : {fits + "n\n", std::string("1e-6,0.01,0.0002,24,10,0.02,a\n\n")}) {
        const std::string crlf = std::regex_replace(lf, std::regex("\n"), "\r\n");
        EXPECT_EQ(coilError(crlf), coilError(lf)) << lf;
    }
}

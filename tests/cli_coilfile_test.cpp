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

// The hint line that comes before the message of a line with `found` fields.
std::string fields(int line, int found) {
    return "At line " + std::to_string(line) + " in c.txt, expected 7 comma-separated fields, found " +
           std::to_string(found) + " (inductance, coil radius, wire radius, gauge, turns, length, name)\n";
}

std::string longLine(int line) {
    return "At line " + std::to_string(line) +
           " in c.txt, the line has 79 characters or more; a coil file is read 79 characters at a time, so the "
           "rest of the line was read as a line of its own, and the message below counts such pieces as lines: "
           "keep every line shorter, for example with a shorter coil name\n";
}

const std::string kCoil = "1e-6,0.01,0.0002,24,10,0.02,coil\n";

}  // namespace

TEST(CoilFileErrors, LongLinesAreSplit) {
    // 79 characters before the newline: the newline is read on its own as an
    // empty data line.
    std::string line = "1e-6,0.01,0.0002,24,10,0.02,";
    line += std::string(79 - line.size(), 'n');
    EXPECT_EQ(coilError(line + "\n"), longLine(1) + prefix(69, 2) + "no data\n");
    // A remainder that starts with a digit is a data line of its own.
    EXPECT_EQ(coilError(line + "5\n"), longLine(1) + prefix(80, 2) + "missing radius\n");
    // Lines of 200 characters: the hint names the line an editor shows, the
    // message the piece. The first line's rest begins with a letter and is
    // skipped, with a warning that the name was cut.
    const std::string wide = "1e-6,0.01,0.0002,24,10,0.02," + std::string(172, 'n') + "\n";
    const std::string digits = "1e-6,0.01,0.0002,24,10,0.02," + std::string(172, '7') + "\n";
    EXPECT_EQ(coilError(kCoil + wide + digits),
              "Warning: at line 2 in c.txt, the line is longer than 79 characters; its rest, from `" +
                  std::string(79, 'n') + "`, is ignored\n" + longLine(3) + prefix(80, 6) + "missing radius\n");
}

TEST(CoilFileErrors, EachFieldHasItsMessage) {
    // The message of each fault, with the hint line for a fault the message
    // alone does not explain.
    const std::pair<std::string, std::string> cases[] = {
        {"\n", "At line 1 in c.txt, the last line is blank: remove it (or start it with `/`)\n" + prefix(69, 1) +
                    "no data\n"},
        {"\n" + kCoil,
         "At line 1 in c.txt, the line is blank: remove it, or start it with `/` to keep it as a comment\n" +
             prefix(69, 1) + "no data\n"},
        {"1e-6\n", fields(1, 1) + prefix(80, 1) + "missing radius\n"},
        {"1e-6,x,1,1,1,1,n\n", prefix(88, 1) + "radius 0 bad\n"},
        {"1e-6,-0.5,1,1,1,1,n\n", prefix(88, 1) + "radius -0.5 bad\n"},
        {"1e-6,nan,1,1,1,1,n\n", prefix(88, 1) + "radius nan bad\n"},
        {"1e-6,1\n", fields(1, 2) + prefix(99, 1) + "missing wire radius\n"},
        {"1e-6,1,0,1,1,1,n\n", prefix(107, 1) + "wire radius 0 bad\n"},
        {"1e-6,1,1\n", fields(1, 3) + prefix(117, 1) + "missing wire gauge\n"},
        {"1e-6,1,1,0,1,1,n\n", prefix(125, 1) + "wire gauge 0 bad\n"},
        {"1e-6,1,1,33,1,1,n\n", prefix(125, 1) + "wire gauge 33 bad\n"},
        {"1e-6,1,1,4294967329,1,1,n\n", prefix(125, 1) + "wire gauge 33 bad\n"},
        {"1e-6,1,1,1\n", fields(1, 4) + prefix(135, 1) + "missing number of turns\n"},
        {"1e-6,1,1,1,0,1,n\n", prefix(143, 1) + "number of turns  0 bad\n"},
        {"1e-6,1,1,1,-5,1,n\n", prefix(143, 1) + "number of turns  -5 bad\n"},
        {"1e-6,1,1,1,1\n", fields(1, 5) + prefix(153, 1) + "missing length\n"},
        {"1e-6,1,1,1,1,0,n\n", prefix(161, 1) + "length 0 bad\n"},
        {"1e-6,1,1,1,1,1\n", fields(1, 6) + prefix(171, 1) + "missing file name\n"},
        {"1e-6,1,1,1,1,1,  \n", fields(1, 6) + prefix(171, 1) + "missing file name\n"},
        {"/c\nA\n\n", "At line 3 in c.txt, the last line is blank: remove it (or start it with `/`)\n" +
                             prefix(69, 3) + "no data\n"},
        // A `#` comment, tabs and blanks after the commas.
        {"# coils\n" + kCoil,
         "At line 1 in c.txt, the line starts with `#`, which a coil file does not take as a comment: start "
         "comment lines with `/`\n" +
             prefix(80, 1) + "missing radius\n"},
        {"1e-6\t0.01\t0.0002\t24\t10\t0.02\tcoil\n",
         "At line 1 in c.txt, the line holds a tab; the fields of a coil line are separated by commas alone: "
         "replace the tabs with commas\n" +
             prefix(80, 1) + "missing radius\n"},
        {"1e-6, 0.01, 0.0002, 24, 10, 0.02\n",
         "At line 1 in c.txt, expected 7 comma-separated fields, found 6 (inductance, coil radius, wire radius, "
         "gauge, turns, length, name); write the commas without blanks after them\n" +
             prefix(171, 1) + "missing file name\n"},
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

// An accepted line with text after the coil's name, a byte-order mark
// before the first line: the run goes on (here to the end of the coils, as
// no ranges file is given) with a warning or none.
TEST(CoilFileErrors, AcceptedLinesWarnOfWhatIsIgnored) {
    const std::pair<std::string, std::string> cases[] = {
        {"1e-6,0.01,0.0002,24,10,0.02,coil A\n",
         "Warning: at line 1 in c.txt, the line has more than 7 fields; `A` after the coil name is ignored (a "
         "name ends at a blank or a comma)\n"},
        {"1e-6,0.01,0.0002,24,10,0.02,coil,0.5,x\n",
         "Warning: at line 1 in c.txt, the line has more than 7 fields; `0.5,x` after the coil name is ignored "
         "(a name ends at a blank or a comma)\n"},
        {"\xEF\xBB\xBF" + kCoil, ""},
        {"\xEF\xBB\xBF/ comment\n" + kCoil, ""},
        {kCoil + "1e-6,0.01,0.0002,24,10,0.02,coil , \r\n", ""},
    };
    for (const auto& [body, warning] : cases) {
        CliRun run;
        run.write("c.txt", body);
        run.write("r.txt", quickRanges("maxgenerations 0\n"));
        const CliResult result = run.run({"c.txt", "r.txt"});
        EXPECT_EQ(result.status, 0) << body;
        EXPECT_EQ(result.err, warning) << body;
    }
    // A mark that is not whole is read as text, and fails as before.
    EXPECT_EQ(coilError("\xEF\xBB/ comment\n" + kCoil), fields(1, 1) + prefix(80, 1) + "missing radius\n");
}

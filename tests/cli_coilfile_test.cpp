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
        {"1e-6,x,1,1,1,1,n\n",
         "At line 1 in c.txt, the coil radius `x` holds no number and was read as 0\n" + prefix(88, 1) +
             "radius 0 bad\n"},
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
        // Fields of which only a part is a number are read as that part, and
        // named; a field that holds no number is named before the message.
        {"1e-6,1,1,25.5,0,1,n\n",
         "Warning: at line 1 in c.txt, the wire gauge `25.5` was read as 25; the rest of the token is ignored (the "
         "wire gauge is a whole number)\n" +
             prefix(143, 1) + "number of turns  0 bad\n"},
        {"1e-6,-0.5mm,1,1,1,1,n\n",
         "Warning: at line 1 in c.txt, the coil radius `-0.5mm` was read as -0.5; the rest of the token is ignored "
         "(sizes are in metres, written without a unit: 12.7 mm is 0.0127)\n" +
             prefix(88, 1) + "radius -0.5 bad\n"},
        {"1e-6,0.01,0.0002,\"24\",10,0.02,n\n",
         "At line 1 in c.txt, the wire gauge `\"24\"` holds no number (a number in quotes is not read as one: "
         "write it without them) and was read as 0\n" +
             prefix(125, 1) + "wire gauge 0 bad\n"},
        {kCoil + "1e-6,0.01,0.0002,24,-,0.02,n\n",
         "At line 2 in c.txt, the number of turns `-` holds no number and was read as 0\n" + prefix(143, 2) +
             "number of turns  0 bad\n"},
    };
    for (const auto& [body, message] : cases) EXPECT_EQ(coilError(body), message) << body;
}

// A table exported from a spreadsheet: the hint names the habits that make
// it fail, not the line's length or its field count.
TEST(CoilFileErrors, SpreadsheetExportsAreNamed) {
    const std::string takes = ", as a spreadsheet's export may: a coil file takes ";
    const std::string save = "; save the table as CSV with those, or write the file anew\n";
    const std::pair<std::string, std::string> cases[] = {
        // A quoted header row, with semicolons and CR LF line ends, longer
        // than one read.
        {"\"Name\";\"Inductance (uH)\";\"Coil radius (mm)\";\"Wire radius (mm)\";\"Gauge\";\"Turns\";\"Length (mm)\"\r\n"
         "\"coil1\";4,48266;15,9268;0,227333;25;11;13,1143\r\n",
         "At line 1 in c.txt, the line looks like a header row of column names, has semicolons between its fields "
         "and has values in quotes" + takes +
             "no header row (remove it, or start it with `/`), commas between the fields and no quotes" + save +
             prefix(80, 1) + "missing radius\n"},
        // Its data line: semicolons, decimal commas and a quoted name.
        {"\"coil1\";4,48266;15,9268;0,227333;25;11;13,1143\r\n",
         "At line 1 in c.txt, the line has semicolons between its fields, has decimal commas and has values in "
         "quotes" + takes + "commas between the fields, decimal points and no quotes" + save + prefix(125, 1) +
             "wire gauge 227333 bad\n"},
        // Tab-separated with decimal commas.
        {"4,48266e-6\t0,0159268\t0,000227333\t25\t11\t0,0131143\tcoil1\n",
         "At line 1 in c.txt, the line has tabs between its fields and has decimal commas" + takes +
             "commas between the fields and decimal points" + save + prefix(125, 1) + "wire gauge 227333 bad\n"},
        // A header row of unquoted names that starts with a character a
        // comment cannot start with.
        {"\xC2\xB5H,radius,wire,gauge,turns,length,name\n" + kCoil,
         "At line 1 in c.txt, the line looks like a header row of column names" + takes +
             "no header row (remove it, or start it with `/`)" + save + prefix(88, 1) + "radius 0 bad\n"},
    };
    for (const auto& [body, message] : cases) EXPECT_EQ(coilError(body), message) << body;
    // A quoted name on a line that is read keeps its quotes, with a warning.
    CliRun run;
    run.write("c.txt", kCoil + "1e-6,0.01,0.0002,24,10,0.02,\"coil2\"\r\n");
    run.write("r.txt", quickRanges("maxgenerations 0\n"));
    const CliResult result = run.run({"c.txt", "r.txt"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(afterFewCoilsWarning(result.err),
              "Warning: at line 2 in c.txt, the coil name `\"coil2\"` is in quotes, which the name keeps: write it "
              "without them\n");
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
        // Fields read in part: each is named, with what was written and what
        // was read; the values are those read.
        {"4.48266e-06,0.0159268,0.000227333,25.5,11.9,0.0131143,coil\n",
         "Warning: at line 1 in c.txt, the wire gauge `25.5` was read as 25; the rest of the token is ignored (the "
         "wire gauge is a whole number)\n"
         "Warning: at line 1 in c.txt, the number of turns `11.9` was read as 11; the rest of the token is ignored "
         "(the number of turns is a whole number)\n"},
        {kCoil + "4.48266e-06,15.9268mm,0.000227333,25,1.2e2,0.0131143,coil\n",
         "Warning: at line 2 in c.txt, the coil radius `15.9268mm` was read as 15.9268; the rest of the token is "
         "ignored (sizes are in metres, written without a unit: 12.7 mm is 0.0127)\n"
         "Warning: at line 2 in c.txt, the number of turns `1.2e2` was read as 1; the rest of the token is ignored "
         "(the number of turns is a whole number)\n"
         "Warning: 1 coil has a coil radius above 1 m or below 0.1 mm (coil 15.9268); the coil file c.txt takes "
         "metres: check the unit\n"},
        {kCoil + "4.5uH,0.01,0.0002,24,10,0.02,coil\n",
         "Warning: at line 2 in c.txt, the measured inductance `4.5uH` was read as 4.5; the rest of the token is "
         "ignored (inductances are in henry, written without a unit: 1 uH is 1e-6)\n"
         "Warning: 1 coil has a measured inductance above 1 H or below 1 nH (coil 4.5); the coil file c.txt takes "
         "henry (1 uH is 1e-6): check the unit\n"},
        // No number where the inductance belongs: a `-`, and a byte-order
        // mark after the first line (as where two files were joined).
        {kCoil + "-,0.01,0.0002,24,10,0.02,dash\n",
         "Warning: at line 2 in c.txt, the measured inductance `-` holds no number and was read as 0\n"
         "Warning: at line 2 in c.txt, the measured inductance is 0: every set's goodness is infinite, so the fit "
         "cannot tell sets apart\n"},
        {kCoil + "\xEF\xBB\xBF" + kCoil,
         "Warning: at line 2 in c.txt, the measured inductance `<EF BB BF>1e-6` holds no number (<EF BB BF> is a "
         "byte-order mark, which some editors write at the start of a file; after the first line, as where files "
         "were joined, it is not read as one: remove it) and was read as 0\n"
         "Warning: at line 2 in c.txt, the measured inductance is 0: every set's goodness is infinite, so the fit "
         "cannot tell sets apart\n"},
    };
    for (const auto& [body, warning] : cases) {
        CliRun run;
        run.write("c.txt", body);
        run.write("r.txt", quickRanges("maxgenerations 0\n"));
        const CliResult result = run.run({"c.txt", "r.txt"});
        EXPECT_EQ(result.status, 0) << body;
        EXPECT_EQ(afterFewCoilsWarning(result.err), warning) << body;
    }
    // A mark after the first line, here before a comment, is named.
    EXPECT_EQ(coilError(kCoil + "\xEF\xBB\xBF/ comment\n"),
              "At line 2 in c.txt, the line starts with a byte-order mark (the bytes EF BB BF, which some editors "
              "write at the start of a file); after the first line, as where files were joined, it is read as text: "
              "remove it\n" +
                  prefix(80, 2) + "missing radius\n");
    // A mark that is not whole is read as text, and fails as before.
    EXPECT_EQ(coilError("\xEF\xBB/ comment\n" + kCoil), fields(1, 1) + prefix(80, 1) + "missing radius\n");
}

// A run with no coil to fit is refused before the search (it used to run
// every generation and end with status 0 and a goodness of 1e+208); one with
// fewer coils than the free coefficients plus two is told so once.
TEST(CoilFileErrors, NothingToFitIsRefused) {
    const std::string sheetrosa = readFile(sourcePath("examples/ranges-sheet.txt")) + "base sheetrosa\n";
    const std::string spaced = "1e-6,0.01,0.0002,24,5,0.02,a\n1e-6,0.01,0.0002,24,5,0.03,b\n";
    const struct {
        std::string coils, ranges, err;
        int status;
    } cases[] = {
        {"", quickRanges(),
         "The coil file c.txt holds no coil, so there is nothing to fit: every line of it is a comment (it starts "
         "with a letter or `/`), or it is empty; give one measured coil per line: inductance, coil radius, wire "
         "radius, gauge, turns, length, name\n",
         255},
        {"// measured coils\nL,a,w,gauge,N,l,name\n", quickRanges(),
         "The coil file c.txt holds no coil, so there is nothing to fit: every line of it is a comment (it starts "
         "with a letter or `/`), or it is empty; give one measured coil per line: inductance, coil radius, wire "
         "radius, gauge, turns, length, name\n",
         255},
        // Every pitch above 0.3 times the radius: Rosa's correction holds for none.
        {spaced, sheetrosa,
         "Warning: base sheetrosa cannot evaluate 2 coils (a, b): they count in no goodness\n"
         "Base sheetrosa cannot evaluate any of the 2 coils of c.txt, so no coil is left to fit: choose another base "
         "(`base none` fits the equation alone), or give coils inside the base's range\n",
         255},
        {"1e999,0.01,0.0002,24,10,0.02,a\n", quickRanges(),
         "Warning: at line 1 in c.txt, the measured inductance is inf: the coil counts in no goodness\n"
         "No coil of c.txt counts in the goodness, so there is nothing to fit: every measured inductance is not a "
         "finite number; give the measured inductances in henry\n",
         255},
        {kCoil, quickRanges("maxgenerations 0\n"), fewCoilsWarning("c.txt", 1), 0},
        // A measured inductance so small that every goodness overflows.
        {kCoil + "1e-300,0.01,0.0002,24,10,0.02,tiny\n", quickRanges("maxgenerations 0\n"),
         "Warning: 1 coil has a measured inductance above 1 H or below 1 nH (tiny 1e-300); the coil file c.txt takes "
         "henry (1 uH is 1e-6): check the unit\n"
         "Warning: 1 coil has a measured inductance so small that its squared relative error overflows (tiny "
         "1e-300): every set's goodness is infinite, so the fit cannot tell sets apart; check the values, in henry\n" +
             fewCoilsWarning("c.txt", 2),
         0},
        // Pinned coefficients are not free: r0..r3 and t3 held leave 7.
        {kCoil, quickRanges("maxgenerations 0\nr0 0 0 1 1 1\nr1 0 0 1 1 1\nr2 1 1 1 1 1\nr3 0 0 1 1 1\nt3 0 0 1 1 1\n"),
         "Warning: the range of r0, r1, r2, r3, t3 is a single value (low equal to high), but a random draw gives "
         "low or low + resolution (r0 is drawn as 0 or 1); to keep them at low everywhere, add the line `hold "
         "r0,r1,r2,r3,t3` to the ranges file\n" +
             fewCoilsWarning("c.txt", 1, 7),
         0},
    };
    for (const auto& c : cases) {
        CliRun run;
        run.write("c.txt", c.coils);
        run.write("r.txt", c.ranges);
        const CliResult result = run.run({"c.txt", "r.txt"});
        EXPECT_EQ(result.status, c.status) << c.coils;
        EXPECT_EQ(result.err, c.err) << c.coils;
        if (c.status != 0) {
            EXPECT_EQ(result.out.find("Generated "), std::string::npos) << c.coils;
        }
    }
}

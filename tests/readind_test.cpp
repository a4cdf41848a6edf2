// The test coil file.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "cli_util.h"
#include "coils/readind.h"
#include "coils/unitcheck.h"
#include "common/warnlimit.h"

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
    // 79 characters before the newline: a remainder that starts with a
    // letter is skipped.
    std::string line = "1e-6,0.01,0.0002,24,10,0.02,";
    line += std::string(79 - line.size(), 'n');
    EXPECT_EQ(readCoils(line + "more\n").size(), 1u);
}

TEST(CoilFile, AcceptsAnyMeasuredInductance) {
    EXPECT_EQ(readCoils("0,1,1,1,1,1,a\n-3e-6,1,1,1,1,1,b\n x,1,1,1,1,1,c\n").size(), 3u);
}

// A file with CR LF line ends reads as its twin with LF alone: the same coils
// and names, also where a line fills the 79-character read up to its
// carriage return (the same messages: CoilFileErrors.CrLfLineEndsReadAsLfAlone).
TEST(CoilFile, CrLfLineEndsReadAsLfAlone) {
    const std::string fill = "1e-6,0.01,0.0002,24,10,0.02,";
    const std::string fits = fill + std::string(78 - fill.size(), 'n');
    const std::string bodies[] = {"// header\n1e-6,0.01,0.0002,24,10,0.02,a\n2e-6,0.02,0.0002,24,10,0.02,b\n",
                                  fits + "\n", "1e-6,0.01,0.0002,24,10,0.02,last"};
    for (const std::string& lf : bodies) {
        const std::string crlf = std::regex_replace(lf, std::regex("\n"), "\r\n");
        EXPECT_EQ(readCoils(crlf), readCoils(lf)) << lf;
    }
    // A carriage return at the very end of the file ends the line too.
    EXPECT_EQ(readCoils("1e-6,0.01,0.0002,24,10,0.02,a\r\n2e-6,0.02,0.0002,24,10,0.02,b\r"),
              (std::vector<std::string>{"b", "a"}));
}

// Values that look like the wrong unit give one warning per kind, naming
// the first three coils in file order; plausible ones give none.
TEST(CoilFile, UnitWarnings) {
    const std::string good = "1e-6,0.01,0.0002,24,10,0.02,ok\n";
    const struct {
        std::string body;
        std::string warnings;
    } cases[] = {
        {good + "1e-6,0.0001,0.00005,24,10,1,edge\n", ""},
        {"1e-6,10,0.2,24,10,20,mm\n" + good,
         "Warning: 1 coil has a coil radius above 1 m or below 0.1 mm (mm 10); the coil file coils.txt takes "
         "metres: check the unit\nWarning: 1 coil has a coil length above 1 m or below 0.1 mm (mm 20); the coil "
         "file coils.txt takes metres: check the unit\n"},
        {"1e-6,0.01,0.02,24,10,0.02,d\n",
         "Warning: 1 coil has a wire radius above the coil radius (d 0.02); the third field is the wire's radius, "
         "in metres, not its diameter or gauge\n"},
        {"4.5,0.01,0.0002,24,10,0.02,a\n1e-10,0.01,0.0002,24,10,0.02,b\n-1e-6,0.01,0.0002,24,10,0.02,c\n"
         "2,0.01,0.0002,24,10,0.02,d\n" + good + "0,0.01,0.0002,24,10,0.02,zero\n",
         "Warning: 4 coils have a measured inductance above 1 H or below 1 nH (a 4.5, b 1e-10, c -1e-06 and 1 "
         "more); the coil file coils.txt takes henry (1 uH is 1e-6): check the unit\n"},
    };
    for (const auto& c : cases) {
        readCoils(c.body);
        testing::internal::CaptureStderr();
        warnAboutUnits(theInductors, "coils.txt");
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.warnings) << c.body;
    }
}

TEST(CoilFile, NonPositiveComputedInductancesAreWarnedAbout) {
    readCoils("1e-6,0.01,0.0002,24,10,0.02,a\n1e-6,0.01,0.0002,24,10,0.02,b\n1e-6,0.01,0.0002,24,10,0.02,c\n");
    std::vector<const InductorRecord*> coils = {theInductors->next->next, theInductors->next, theInductors};
    const double computed[] = {1e-6, 0, -1.45e-6};
    for (size_t i = 0; i < coils.size(); ++i) const_cast<InductorRecord*>(coils[i])->computedInductance = computed[i];
    testing::internal::CaptureStderr();
    warnAboutNonPositiveInductances(coils);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Warning: 2 coils have an inductance of 0 or less computed by the final set, in henry (b 0, c "
              "-1.45e-06); the equation cannot describe them with this set: check their units and values, or "
              "widen the ranges\n");
    const_cast<InductorRecord*>(coils[2])->computedInductance = 1e-9;
    const_cast<InductorRecord*>(coils[1])->computedInductance = 1e-9;
    testing::internal::CaptureStderr();
    warnAboutNonPositiveInductances(coils);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// A warning repeated on many lines is written for the first few lines, then
// counted in one line per kind; the next file starts counting again.
TEST(CoilFile, RepeatedWarningsAreCapped) {
    std::string body;
    for (int i = 0; i < 1000; ++i) body += "1e-6,0.01,0.0002,24,10.5,0.02,c" + std::to_string(i) + " x\n";
    testing::internal::CaptureStderr();
    EXPECT_EQ(readCoils(body).size(), 1000u);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 2 * kWarningsShown + 2) << err;
    EXPECT_NE(err.find("Warning: at line 5 in "), std::string::npos);
    EXPECT_EQ(err.find("Warning: at line 6 in "), std::string::npos);
    EXPECT_NE(err.find("Warning: \xE2\x80\xA6 and 995 more such warnings (values read in part)\n"), std::string::npos);
    EXPECT_NE(err.find("Warning: \xE2\x80\xA6 and 995 more such warnings (lines with text after the coil name)\n"),
              std::string::npos);
    testing::internal::CaptureStderr();
    readCoils("1e-6,0.01,0.0002,24,10.5,0.02,again\n");
    EXPECT_NE(testing::internal::GetCapturedStderr().find("`10.5` was read as 10"), std::string::npos);
}

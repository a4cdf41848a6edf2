// The coefficient set listing, the coil lines, the final report and the checkpoint.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <random>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "cli_util.h"
#include "coils/equation.h"
#include "coils/readind.h"
#include "coils/storage.h"
#include "reports/ranking.h"
#include "reports/reports.h"
#include "run/lastresort.h"
#include "settings/symtab.h"
#include "testhooks.h"

namespace {

struct Coil {
    double microhenry;  // measured
    int turns;
    const char* name;
    double radius = 0.0127;
    double length = 0.0254;
    int gauge = 22;
};

// Makes theInductors from coils given in file order (the list runs in reverse).
void useCoils(const std::vector<Coil>& coils) {
    theInductors = nullptr;
    for (const Coil& c : coils) {
        InductorRecord* coil = newInductor();
        coil->measuredInductance = c.microhenry * 1e-6;
        coil->turns = c.turns;
        coil->radius = c.radius;
        coil->length = c.length;
        coil->wire = 0.0005;
        coil->gauge = c.gauge;
        coil->fileName = strdup(c.name);
        coil->next = theInductors;
        theInductors = coil;
    }
}

// A set that computes (turns - 5) microhenry for every coil: a coil of five
// turns cannot be evaluated (the numerator is zero).
ResultRecord turnsSet() {
    ResultRecord set{};
    set.goodness = 0.0123;
    set.coefficients[cR0] = 1e-6 / kMu0;
    set.coefficients[cT0] = -5;
    set.coefficients[cT1] = 1;
    set.coefficients[cW0] = 1;
    set.coefficients[cL0] = 1;
    return set;
}

// What `write` writes to a stream.
template <typename Write>
std::string written(Write write) {
    char* text = nullptr;
    size_t size = 0;
    FILE* stream = open_memstream(&text, &size);
    write(stream);
    std::fclose(stream);
    std::string result(text, size);
    std::free(text);
    return result;
}

std::string listing(const ResultRecord& set) {
    return written([&](FILE* stream) { showResult(stream, &set); });
}

std::string rangeTable() {
    testing::internal::CaptureStdout();
    dumpRangeTable(stdout, "\n\nRange table\n");
    return testing::internal::GetCapturedStdout();
}

struct Report {
    std::string out;
    std::string err;
    ReportFiles files;
};

Report report(const ResultRecord& set) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const ReportFiles files = showInductorResults(&set);
    return {testing::internal::GetCapturedStdout(), testing::internal::GetCapturedStderr(), files};
}

void setString(int position, const std::string& value) { S[position].value.s = strdup(value.c_str()); }

const char* const kLine13 = "  0.2% L=12.500 : 13.000 uH, 18 turns, dia 1\", len 1\", #22 thirteen\n";

}  // namespace

TEST(Listing, GoodnessThenEveryCoefficientWithFourteenDecimals) {
    ResultRecord set{};
    set.goodness = 0.0123;
    set.coefficients[cR0] = 1.5;
    set.coefficients[cL3] = -2e-7;
    const std::string text = listing(set);
    EXPECT_EQ(text.substr(0, 50),
              "// Goodness = 0.0123\n"
              "   r0 =     1.50000000000000\n");
    EXPECT_NE(text.find("\n   w2 =     0.00000000000000\n"), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 29), "   l3 =    -0.00000020000000\n");
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 16);
}

TEST(CoilLine, ShowsOneHundredTimesTheSquaredErrorAndInchConversions) {
    InductorRecord coil{};
    coil.measuredInductance = 12.5e-6;
    coil.computedInductance = 13e-6;
    coil.squaredError = 0.0016;
    coil.turns = 18;
    coil.radius = 0.0127;
    coil.length = 0.0254;
    coil.gauge = 22;
    coil.fileName = const_cast<char*>("thirteen");
    const std::string text = written([&](FILE* stream) {
        showInductor(stream, &coil);
        coil.squaredError = 0.01;  // 10 % off
        showInductor(stream, &coil);
        coil.squaredError = 0.25;  // 50 % off
        showInductor(stream, &coil);
        coil.computedInductance = 1e208;
        showInductor(stream, &coil);
        coil.computedInductance = std::nan("");
        showInductor(stream, &coil);
    });
    EXPECT_EQ(text,
              std::string(kLine13) +
                  "  1.0% L=12.500 : 13.000 uH, 18 turns, dia 1\", len 1\", #22 thirteen\n"
                  " 25.0% L=12.500 : 13.000 uH, 18 turns, dia 1\", len 1\", #22 thirteen\n"
                  "  *** L=12.500 uH 18 turns, dia 1\", length 1\", #22, thirteen\n"
                  "  *** L=12.500 uH 18 turns, dia 1\", length 1\", #22, thirteen\n");
}

TEST(FinalReport, WorstFirstTiesInFileOrderUnevaluableLast) {
    resetTables();
    // File order: a (10 % off), b (50 % off), five1 (unevaluable), c (same as a),
    // five2 (unevaluable).
    useCoils({{10, 16, "a"}, {4, 11, "b"}, {3, 5, "five1"}, {10, 16, "c"}, {7, 5, "five2"}});
    const ResultRecord set = turnsSet();
    const Report r = report(set);
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(r.files.failed);
    EXPECT_FALSE(r.files.resultWritten);  // no result file was asked for
    EXPECT_EQ(r.out, listing(set) +
                         "\n\nWorst first\n"
                         " 25.0% L= 4.000 :  6.000 uH, 11 turns, dia 1\", len 1\", #22 b\n"
                         "  1.0% L=10.000 : 11.000 uH, 16 turns, dia 1\", len 1\", #22 a\n"
                         "  1.0% L=10.000 : 11.000 uH, 16 turns, dia 1\", len 1\", #22 c\n"
                         "  *** L= 3.000 uH  5 turns, dia 1\", length 1\", #22, five1\n"
                         "  *** L= 7.000 uH  5 turns, dia 1\", length 1\", #22, five2\n");
}

TEST(FinalReport, RankingIsThatOfOneByOneInsertionWithTiesAndNaNs) {
    // Few distinct errors, so that ties are common, with NaN and infinity.
    const double errors[] = {0, 0.25, 0.25, 1, INFINITY, NAN, NAN};
    std::mt19937_64 random(20240611);
    for (int round = 0; round < 500; ++round) {
        std::vector<InductorRecord> coils(random() % 30);
        for (InductorRecord& coil : coils) coil.squaredError = errors[random() % std::size(errors)];
        std::vector<InductorRecord*> order;
        InductorRecord* reference = nullptr;
        for (InductorRecord& coil : coils) order.push_back(&coil);
        std::vector<const InductorRecord*> fast, slow;
        for (const InductorRecord* c = rankWorstFirst(order); c != nullptr; c = c->next) fast.push_back(c);
        for (InductorRecord* coil : order) reference = sortInd(reference, coil);
        for (const InductorRecord* c = reference; c != nullptr; c = c->next) slow.push_back(c);
        ASSERT_EQ(fast, slow) << "round " << round;
    }
}

TEST(FinalReport, ResultFileStructureAndExportsLast) {
    CliRun scratch;
    resetTables();
    R[cR0].low = 0.5;
    R[cR0].steps = 7;
    const std::string result = (scratch.dir() / "result.txt").string();
    const std::string table = (scratch.dir() / "table.c").string();
    const std::string script = (scratch.dir() / "coils.ja").string();
    scratch.write("result.txt", std::string(5000, 'x'));  // replaced whole
    setString(kResultFile, result);
    setString(kResultC, table);
    setString(kResultJa, script);
    setString(kJaVarName, "coils");
    S[kSeed].value.l = 424242;
    useCoils({{12.5, 18, "thirteen"}, {3, 5, "five"}});
    const ResultRecord set = turnsSet();
    const Report r = report(set);
    const std::string unevaluable = "  *** L= 3.000 uH  5 turns, dia 1\", length 1\", #22, five\n";
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, listing(set) + "\n\nWorst first\n" + kLine13 + unevaluable +
                         "Writing inductor results to " + table + "\n" +
                         "Writing inductor results to " + script + "\n");
    EXPECT_EQ(readFile(result), "Results from V20.03.008 EQUATION J\nRandom seed 424242\n" +
                                    listing(set) + "Worst first\n" + kLine13 + unevaluable +
                                    rangeTable());
    // Only the evaluated coil is exported.
    EXPECT_NE(readFile(table).find("NearTable ???[] = {\n  {.measuredInductance = 1.25e-05,\n"),
              std::string::npos);
    EXPECT_EQ(readFile(table).find(".turns = 5"), std::string::npos);
    EXPECT_NE(readFile(script).find("coils = genericVector(1);\n"), std::string::npos);
}

TEST(FinalReport, NoCoilsAndNoResultFile) {
    CliRun scratch;
    resetTables();
    const std::string table = (scratch.dir() / "table.c").string();
    setString(kResultC, table);
    useCoils({});
    const ResultRecord set = turnsSet();
    const Report r = report(set);
    EXPECT_EQ(r.out, listing(set) + "\n\nWorst first\nWriting inductor results to " + table + "\n");
    EXPECT_NE(readFile(table).find("NearTable ???[] = {\n};\n"), std::string::npos);
}

TEST(FinalReport, ScriptExportNeedsTheCTableSetting) {
    CliRun scratch;
    resetTables();
    setString(kResultJa, (scratch.dir() / "coils.ja").string());
    useCoils({{10, 16, "a"}});
    const Report r = report(turnsSet());
    EXPECT_EQ(r.out.find("Writing"), std::string::npos);
    EXPECT_FALSE(scratch.exists("coils.ja"));
}

TEST(FinalReport, UnopenableResultFileStillReportsAndExports) {
    CliRun scratch;
    resetTables();
    // A directory cannot be opened for writing, not even by a privileged user.
    const std::string result = scratch.dir().string();
    const std::string table = (scratch.dir() / "table.c").string();
    setString(kResultFile, result);
    setString(kResultC, table);
    useCoils({{10, 16, "a"}});
    const ResultRecord set = turnsSet();
    const Report r = report(set);
    EXPECT_TRUE(r.files.failed);
    EXPECT_FALSE(r.files.resultWritten);
    EXPECT_EQ(r.err, result + " fails because Is a directory\nCouldn't open " + result + " for output\n");
    EXPECT_EQ(r.out, listing(set) +
                         "\n\nWorst first\n"
                         "  1.0% L=10.000 : 11.000 uH, 16 turns, dia 1\", len 1\", #22 a\n"
                         "Writing inductor results to " +
                         table + "\n");
    EXPECT_TRUE(scratch.exists("table.c"));
}

TEST(FinalReport, FailedExportFailsTheReportWithTheResultFileWritten) {
    CliRun scratch;
    resetTables();
    setString(kResultFile, (scratch.dir() / "result.txt").string());
    setString(kResultC, scratch.dir().string());  // a directory: the export cannot be written
    useCoils({{10, 16, "a"}});
    const Report r = report(turnsSet());
    EXPECT_TRUE(r.files.resultWritten);
    EXPECT_TRUE(r.files.failed);
}

TEST(FinalReport, ResultFileWriteFailureIsReported) {
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    resetTables();
    setString(kResultFile, "/dev/full");
    useCoils({{10, 16, "a"}});
    const Report r = report(turnsSet());
    EXPECT_TRUE(r.files.failed);
    EXPECT_FALSE(r.files.resultWritten);
    EXPECT_EQ(r.err, "/dev/full fails because No space left on device\nCouldn't write /dev/full\n");
}

TEST(Checkpoint, EachCheckpointReplacesTheLastWhole) {
    CliRun scratch;
    const std::string path = (scratch.dir() / "checkpoint.txt").string();
    ResultRecord first = turnsSet();
    first.coefficients.fill(123456.0);  // a longer listing than the second
    writeCheckpoint(path.c_str(), &first);
    EXPECT_EQ(readFile(path), listing(first));
    const ResultRecord second = turnsSet();
    writeCheckpoint(path.c_str(), &second);
    EXPECT_EQ(readFile(path), listing(second));
    struct stat info;
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777 & ~0644, 0u);
}

TEST(Checkpoint, ReplacesLinksWritesFifosAndNeverEndsTheRun) {
    CliRun scratch;
    const ResultRecord set = turnsSet();
    // A symbolic link is replaced, not written through.
    scratch.write("target.txt", "keep");
    const std::string target = (scratch.dir() / "target.txt").string();
    const std::string link = (scratch.dir() / "link.txt").string();
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    writeCheckpoint(link.c_str(), &set);
    struct stat info;
    ASSERT_EQ(lstat(link.c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(readFile(link), listing(set));
    EXPECT_EQ(readFile(target), "keep");

    // A checkpoint that cannot be written is a warning; what stood at the
    // path stays, and no temporary file is left. A FIFO is written into,
    // never replaced, and without a reader it is not waited on.
    const std::string blocked = (scratch.dir() / "blocked").string();
    std::filesystem::create_directory(blocked);
    const std::string missing = (scratch.dir() / "no-such-dir" / "checkpoint.txt").string();
    const std::string fifo = (scratch.dir() / "fifo.txt").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    for (const std::string& path : {blocked, missing, fifo}) {
        testing::internal::CaptureStderr();
        writeCheckpoint(path.c_str(), &set);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(err.rfind("Couldn't write checkpoint " + path + " (", 0), 0u) << err;
        EXPECT_NE(err.find("); the run goes on\n"), std::string::npos) << err;
        if (path == fifo) {
            EXPECT_NE(err.find("(No program reads this FIFO)"), std::string::npos) << err;
        }
    }
    EXPECT_TRUE(std::filesystem::is_directory(blocked));
    ASSERT_EQ(lstat(fifo.c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
    EXPECT_EQ(scratch.files(), (std::vector<std::string>{"blocked", "fifo.txt", "link.txt", "target.txt"}));
}

// An exception that nothing caught ends the run with its cause and status
// 255, and what standard output holds is written out, not lost.
TEST(LastResortDeath, UncaughtExceptionIsToldAndEndsWith255) {
    const auto throwing = [] {
        installLastResort();
        std::printf("half a line");
        try {
            throw std::runtime_error("invalid byte");
        } catch (...) {
            std::terminate();
        }
    };
    EXPECT_EXIT(throwing(), testing::ExitedWithCode(255),
                "^Internal error: invalid byte; the run ends here, files written before are kept\n$");
}

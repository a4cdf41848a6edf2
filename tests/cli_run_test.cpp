// Complete runs: workers, exchange files, the generation schedule and the
// ways a run ends.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>

#include "cli_util.h"

namespace {

// After a run, every worker's request file holds the single stop byte.
void expectStopBytes(const CliRun& run, int workers) {
    for (int i = 0; i < workers; ++i)
        EXPECT_EQ(run.read("quelmoi." + std::to_string(i)), std::string(1, '\0')) << "slot " << i;
}

const std::vector<std::string> kArgs = {"coils-small.txt", "ranges.txt"};

}  // namespace

TEST(Run, OneWorkerRunIsAFunctionOfItsInputs) {
    CliRun first, second;
    prepareQuickRun(first);
    prepareQuickRun(second);
    const CliResult a = first.run(kArgs);
    const CliResult b = second.run(kArgs);
    ASSERT_EQ(a.status, 0) << a.err;
    EXPECT_EQ(a.err, fewCoilsWarning("coils-small.txt"));
    EXPECT_FALSE(a.processesLeft);
    EXPECT_EQ(a.out, b.out);
    EXPECT_EQ(first.read("result.txt"), second.read("result.txt"));
    expectStopBytes(first, 1);

    // The shape of the run on standard output.
    const std::string& out = a.out;
    EXPECT_EQ(out.rfind(kBanner + "Startup\n", 0), 0u);
    const size_t range = out.find("\ntest range\n");
    const size_t last = out.find("\nLAST 14, startup 1e+208\nGenerated 4 random values ");
    const size_t gen0 = out.find("\ngen = 0 done already ");
    const size_t gen2 = out.find("\ngen = 2 done already ");
    const size_t report = out.find("\n// Goodness = ", gen2);
    const size_t worst = out.find("\n\n\nWorst first\n", report);
    ASSERT_NE(range, std::string::npos);
    EXPECT_LT(range, last);
    EXPECT_LT(last, gen0);
    EXPECT_LT(gen0, gen2);
    EXPECT_LT(gen2, report);
    EXPECT_LT(report, worst);
    EXPECT_EQ(countOf(out, "\ngen = "), 3);
    EXPECT_EQ(countOf(out.substr(worst), "% L="), 12);
    EXPECT_EQ(out.find("Starting with best result"), std::string::npos);

    // Improvement lines: the count of harvested results, then four goodness values.
    EXPECT_TRUE(std::regex_search(out, std::regex(R"(\n\d+, [-+.e\d]+, [-+.e\d]+, [-+.e\d]+, [-+.e\d]+\n)")));
    const std::string result = first.read("result.txt");
    EXPECT_EQ(result.rfind("Results from V20.03.008 EQUATION J\nRandom seed 20240611\n// Goodness = ", 0), 0u);
    EXPECT_NE(result.find("\n\n\nRange table\n"), std::string::npos);
}

TEST(Run, TwoWorkersStopCleanlyEveryTime) {
    // Short runs end while jobs are still out; repeated to catch a stop byte
    // written while a worker is taking its last job.
    for (int i = 0; i < 12; ++i) {
        CliRun run;
        prepareQuickRun(run, "processes 2\nmaxgenerations 1\n");
        const CliResult result = run.run(kArgs);
        ASSERT_EQ(result.status, 0) << result.err;
        ASSERT_FALSE(result.processesLeft) << "run " << i;
        expectStopBytes(run, 2);
        EXPECT_EQ(countOf(result.out, "\ngen = "), 1);
        EXPECT_NE(result.out.find("\n\n\nWorst first\n"), std::string::npos);
    }
}

TEST(Run, StartUpLinesAndScheduleSettings) {
    CliRun run;
    prepareQuickRun(run, "noise 2\nmaxgenerations 0\nbestl3 0.25\n");
    const CliResult result = run.run(kArgs);
    ASSERT_EQ(result.status, 0) << result.err;
    // Only bestl3 given: the others stay at the sentinel, so the start set
    // evaluates nothing.
    EXPECT_NE(result.out.find("\nLAST 14, startup 0.25\nStarting with best result\ngoodness = "),
              std::string::npos);
    EXPECT_NE(result.out.find("\ngeneticproc (optimizeProc:210) Generating 4 random\nGenerated 4 random values "),
              std::string::npos);
    EXPECT_EQ(countOf(result.out, "\ngen = "), 0);
    EXPECT_NE(result.out.find("\n\n\nWorst first\n"), std::string::npos);
}

TEST(Run, StallLimitEndsTheRun) {
    CliRun run;
    // A wire polynomial pinned at zero leaves every set unevaluable, so the
    // best goodness never improves on the start population's.
    prepareQuickRun(run, "w0 0 0 1e-300 0.01 2\nw1 0 0 1e-300 0.01 2\nw2 0 0 1e-300 0.01 2\n"
                 "quitat 0\nmaxgenerations 1000\n");
    const CliResult result = run.run(kArgs);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("\ngen = 1 done already "), std::string::npos);
    const size_t gone = result.out.find("\nGone to long without results\n// Goodness = 1e+208\n");
    ASSERT_NE(gone, std::string::npos);
    EXPECT_NE(result.out.find("\n\n\nWorst first\n", gone), std::string::npos);
    EXPECT_EQ(countOf(result.out, "\ngen = "), 2);
}

TEST(Run, RangeAdaptationMovesRangeEnds) {
    CliRun run;
    // Every ratio is below 1000, so each adaptation moves one low and one high end.
    prepareQuickRun(run, "rangeexpand 1\nraiselower 1\npctchange 1000\nmaxgenerations 2\n");
    const CliResult result = run.run(kArgs);
    ASSERT_EQ(result.status, 0) << result.err;
    const size_t gen1 = result.out.find("\ngen = 1 done already ");
    ASSERT_NE(gen1, std::string::npos);
    const std::string after = result.out.substr(gen1);
    EXPECT_TRUE(std::regex_search(after, std::regex(R"(\n  Lowered \w\d from [^\n]+ to  [^\n]+\n  Raised )")));
    EXPECT_EQ(countOf(result.out, "  Lowered "), 1);
}

TEST(Run, StaleExchangeFilesAreRemovedAtStart) {
    CliRun run;
    prepareQuickRun(run);
    run.write("quelmoi.0", std::string(1, '\0'));  // would stop the new worker at once
    std::filesystem::create_directory(run.dir() / "quelmor.0");
    run.write("quelmor.0/old", "x");
    const CliResult result = run.run(kArgs, 60);
    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("\n\n\nWorst first\n"), std::string::npos);
}

TEST(Run, WorkersEndWithinASecondOfTheMastersDeath) {
    // Short jobs, where workers wait on their doorbells, and long ones
    // (about a million grid points), where they are killed mid-job.
    for (const char* jobs : {"minormax 50\n", "minormax 1000000\n"}) {
        CliRun run;
        prepareQuickRun(run, std::string("processes 2\nmaxgenerations 100000\n") + jobs);
        const CliResult result = run.runAndKillMaster(kArgs, 1.0, 1.0);
        EXPECT_EQ(result.status, 128 + 9) << jobs;
        EXPECT_FALSE(result.processesLeft) << jobs;
    }
}

// Standard output without the start-up listing's line for `ordered`.
std::string withoutOrderedLine(std::string out) {
    const std::string line = "             ordered: 1\n";
    const size_t at = out.find(line);
    if (at != std::string::npos) out.erase(at, line.size());
    return out;
}

TEST(Run, OrderedDispatchIsAFunctionOfInputsSeedAndWorkers) {
    // With one worker, ordered dispatch is what the plain loop always did.
    {
        CliRun plain, ordered;
        prepareQuickRun(plain);
        prepareQuickRun(ordered, "ordered 1\n");
        const CliResult a = plain.run(kArgs);
        const CliResult b = ordered.run(kArgs);
        ASSERT_EQ(b.status, 0) << b.err;
        EXPECT_NE(b.out.find("\n             ordered: 1\n"), std::string::npos);
        EXPECT_EQ(withoutOrderedLine(b.out), a.out);
        EXPECT_EQ(ordered.read("result.txt"), plain.read("result.txt"));
    }
    // With three workers on jobs of uneven length, two runs still agree in
    // every line and in the result file.
    CliRun first, second;
    const std::string extra = "processes 3\nordered 1\nmaxgenerations 6\nminormax 2000\n";
    prepareQuickRun(first, extra);
    prepareQuickRun(second, extra);
    const CliResult a = first.run(kArgs);
    const CliResult b = second.run(kArgs);
    ASSERT_EQ(a.status, 0) << a.err;
    EXPECT_FALSE(a.processesLeft);
    EXPECT_EQ(a.out, b.out);
    EXPECT_EQ(first.read("result.txt"), second.read("result.txt"));
    expectStopBytes(first, 3);
}

TEST(Run, KeysWhileWorkersAreBusy) {
    {
        CliRun run;
        prepareQuickRun(run);
        const CliResult result = run.runWithInput(kArgs, "\x1b");
        EXPECT_EQ(result.status, 255);
        EXPECT_FALSE(result.processesLeft);
        const size_t progress = result.out.find("\nEQUATION J: time/process: ");
        const size_t quitting = result.out.find("\nrange table\n", progress);
        const size_t report = result.out.find("\nQuitting early\n// Goodness = ", quitting);
        ASSERT_NE(progress, std::string::npos);
        ASSERT_NE(quitting, std::string::npos);
        ASSERT_NE(report, std::string::npos);
        EXPECT_NE(result.out.find("\n\n\nWorst first\n", report), std::string::npos);
        EXPECT_TRUE(run.exists("result.txt"));
        // The workers are told to stop, as at the end of a completed run.
        expectStopBytes(run, 1);
    }
    {
        CliRun run;
        prepareQuickRun(run);
        const CliResult result = run.runWithInput(kArgs, "x");
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(countOf(result.out, "EQUATION J: time/process: "), 1);
        EXPECT_EQ(countOf(result.out, "\ngen = "), 3);
        EXPECT_EQ(result.out.find("Quitting early"), std::string::npos);
    }
    {
        CliRun run;
        prepareQuickRun(run);
        const CliResult result = run.runWithInput(kArgs, "\x03");
        EXPECT_EQ(result.status, 0);
        EXPECT_FALSE(result.processesLeft);
        EXPECT_EQ(result.out.find("Worst first"), std::string::npos);
        EXPECT_EQ(result.out.find("time/process"), std::string::npos);
        expectStopBytes(run, 1);
    }
}

TEST(Run, RangesWithoutDistinctRandomSets) {
    for (const bool withRanges : {false, true}) {
        CliRun run;
        run.copyExample("coils-small.txt");
        std::string ranges;
        for (const char* name : {"r0", "r1", "r2", "r3", "w0", "w1", "w2", "t0", "t1", "t2", "t3", "l0",
                                 "l1", "l2", "l3"})
            ranges += std::string(name) + " 1 1 1e-300 0.01 2\n";
        run.write("ranges.txt", ranges);
        const CliResult result =
            withRanges ? run.run({"coils-small.txt", "ranges.txt"}) : run.run({"coils-small.txt"});
        EXPECT_EQ(result.status, 255);
        // Without a ranges file the run says first what it lacked.
        const std::string reason = withRanges ? ""
                                              : "No ranges file was given, so every range is 0; give one after "
                                                "the coil file, as in quelmo coils-small.txt ranges.txt\n";
        EXPECT_EQ(result.err, reason + "The coefficient ranges admit no further distinct random sets\n");
        EXPECT_FALSE(result.processesLeft);
        expectStopBytes(run, 1);
    }
}

TEST(Run, ResultFileNames) {
    {
        // The third argument replaces the ranges file's result file.
        CliRun run;
        prepareQuickRun(run, "maxgenerations 0\n");
        const CliResult result = run.run({"coils-small.txt", "ranges.txt", "third.txt"});
        EXPECT_EQ(result.status, 0);
        EXPECT_TRUE(run.exists("third.txt"));
        EXPECT_FALSE(run.exists("result.txt"));
    }
    // A result file that cannot be written is refused before the search:
    // see the fault tests.

}

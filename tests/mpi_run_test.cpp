// quelmo-mpi under mpirun: the same runs as quelmo's, its keys, and the ways
// a job ends badly, always with every rank and daemon gone afterwards.
#include <gtest/gtest.h>

#include <signal.h>

#include <string>
#include <vector>

#include "cli_util.h"

namespace {

#ifdef QUELMO_MPI_BIN
#define SKIP_WITHOUT_MPI()
#else
#define SKIP_WITHOUT_MPI() GTEST_SKIP() << "MPI was not found when the tests were built: quelmo-mpi is not built"
#endif

// mpirun starting `ranks` ranks of quelmo-mpi, as root too, on more ranks
// than cores, and not bound to cores (the machine may be shared).
std::vector<std::string> mpiCommand(int ranks, const std::vector<std::string>& args) {
#ifdef QUELMO_MPI_BIN
    std::vector<std::string> command{QUELMO_MPIEXEC, "--allow-run-as-root", "--oversubscribe", "--bind-to",
                                     "none", "-n", std::to_string(ranks), QUELMO_MPI_BIN};
    command.insert(command.end(), args.begin(), args.end());
    return command;
#else
    (void)ranks;
    return args;
#endif
}

const std::vector<std::string> kArgs = {"coils-small.txt", "ranges.txt"};

}  // namespace

TEST(Mpi, OrderedRunsMatchTheFileExchange) {
    SKIP_WITHOUT_MPI();
    // Jobs of uneven length, so that results come back out of hand-over order.
    for (const int workers : {1, 3}) {
        const std::string extra =
            "processes " + std::to_string(workers) + "\nordered 1\nmaxgenerations 6\nminormax 2000\n";
        CliRun files, mpi;
        prepareQuickRun(files, extra);
        prepareQuickRun(mpi, extra);
        const CliResult a = files.run(kArgs);
        const CliResult b = mpi.runCommand(mpiCommand(workers + 1, kArgs));
        ASSERT_EQ(a.status, 0) << a.err;
        ASSERT_EQ(b.status, 0) << b.err;
        EXPECT_EQ(afterFewCoilsWarning(b.err), "");
        EXPECT_FALSE(b.processesLeft);
        EXPECT_EQ(b.out, a.out) << workers << " workers";
        EXPECT_EQ(mpi.read("result.txt"), files.read("result.txt")) << workers << " workers";
        // No exchange files: only the inputs, the result and the checkpoint.
        EXPECT_EQ(mpi.files(), (std::vector<std::string>{"coils-small.txt", "fit-checkpoint.txt", "ranges.txt",
                                                         "result.txt"}));
    }
}

// The workers receive the coils' targets under the base formula: a
// correction fit over MPI is the same run as over files.
TEST(Mpi, ACorrectionRunMatchesTheFileExchange) {
    SKIP_WITHOUT_MPI();
    const std::string extra = "processes 2\nordered 1\nmaxgenerations 4\nminormax 2000\nbase sheet\nbaselines 1\n";
    CliRun files, mpi;
    prepareQuickRun(files, extra);
    prepareQuickRun(mpi, extra);
    const CliResult a = files.run(kArgs);
    const CliResult b = mpi.runCommand(mpiCommand(3, kArgs));
    ASSERT_EQ(a.status, 0) << a.err;
    ASSERT_EQ(b.status, 0) << b.err;
    EXPECT_EQ(b.out, a.out);
    EXPECT_NE(a.out.find("fitted set (corrects sheet)"), std::string::npos);
    EXPECT_EQ(mpi.read("result.txt"), files.read("result.txt"));
}

// A held coefficient stays at its low on worker ranks too, with the polish
// and without.
TEST(Mpi, HeldCoefficientsStayAtLow) {
    SKIP_WITHOUT_MPI();
    for (const int polish : {0, 1})
        for (const int seed : {1, 2, 3}) {
            CliRun mpi;
            prepareQuickRun(mpi, "processes 2\nt1 0 0 1 1 1\nhold t1\nseed " + std::to_string(seed) + "\npolish " +
                                     std::to_string(polish) + "\n");
            const CliResult result = mpi.runCommand(mpiCommand(3, kArgs));
            ASSERT_EQ(result.status, 0) << result.err;
            EXPECT_NE(mpi.read("result.txt").find("t1 =     0.00000000000000\n"), std::string::npos)
                << "seed " << seed << ", polish " << polish;
        }
}

TEST(Mpi, TheRanksStartedSetTheWorkerCount) {
    SKIP_WITHOUT_MPI();
    struct Case {
        int processes;
        int ranks;
    };
    // Values the file exchange refuses are overruled here as well.
    for (const Case c : {Case{5, 3}, Case{0, 2}, Case{49, 2}}) {
        CliRun run;
        prepareQuickRun(run, "processes " + std::to_string(c.processes) + "\nmaxgenerations 1\n");
        const CliResult result = run.runCommand(mpiCommand(c.ranks, kArgs));
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_FALSE(result.processesLeft);
        const std::string note = "Setting processes is " + std::to_string(c.processes) + ": the " +
                                 std::to_string(c.ranks - 1) + " worker ranks started serve instead\n";
        EXPECT_EQ(countOf(result.out, note), 1) << result.out;
        EXPECT_LT(result.out.find(note), result.out.find("LAST 14"));
        EXPECT_NE(result.out.find("\n\n\nWorst first\n"), std::string::npos);
    }
}

// The pairs of lines a worker's range table check prints, as (pid in the
// first line, pid in the second, coefficient and minor count) per report.
std::vector<std::string> rangeReports(const std::string& out) {
    std::vector<std::string> reports;
    const std::string first = "Range table error pid ";
    for (size_t at = out.find(first); at != std::string::npos; at = out.find(first, at + 1)) {
        const size_t end = out.find('\n', at);
        const std::string line = out.substr(at + first.size(), end - at - first.size());
        const std::string pid = line.substr(0, line.find(' '));
        const size_t next = out.find('\n', end + 1);
        const std::string abort = out.substr(end + 1, next - end - 1);
        reports.push_back(pid + "|" + abort + "|" + line.substr(pid.size()));
    }
    return reports;
}

TEST(Mpi, WorkerReportsReachTheMastersOutput) {
    SKIP_WITHOUT_MPI();
    // A negative minor count passes the ranges file and is reported by the
    // worker after each of its jobs under the worker's process id: every one
    // of the 70 jobs of a generation, the last one included. (A forked
    // worker prints the same, but its last report can be lost when the
    // master ends first.)
    CliRun run;
    prepareQuickRun(run, "r1 -0.01 0.03 2.5e-4 2.5e-5 -3\nmaxgenerations 1\n");
    const CliResult result = run.runCommand(mpiCommand(2, kArgs));
    ASSERT_EQ(result.status, 0) << result.err;
    const std::vector<std::string> reports = rangeReports(result.out);
    ASSERT_EQ(reports.size(), 70u);
    const std::string pid = reports[0].substr(0, reports[0].find('|'));
    EXPECT_EQ(reports[0], pid + "|Task " + pid + " abort| r1 has mcount of -3");
    for (const std::string& report : reports) EXPECT_EQ(report, reports[0]);  // one worker: one pid
}

TEST(Mpi, KeysReachTheMasterThroughMpirun) {
    SKIP_WITHOUT_MPI();
    struct Case {
        std::string key;
        int status;
        bool finalReport;
        int progressReports;
    };
    const Case cases[] = {
        {"\x1b", 255, true, 1},  // progress report, Quitting early, final report
        {"x", 0, true, 1},       // progress report, then the run goes on
        {"\x03", 0, false, 0},   // ends at once
    };
    for (const Case& c : cases) {
        CliRun run;
        prepareQuickRun(run, "maxgenerations 40\n");
        const CliResult result = run.runCommandWithInput(mpiCommand(3, kArgs), c.key);
        EXPECT_EQ(result.status, c.status) << int(c.key[0]) << result.err;
        EXPECT_FALSE(result.processesLeft) << int(c.key[0]);
        EXPECT_EQ(countOf(result.out, "EQUATION J: time/process: "), c.progressReports) << int(c.key[0]);
        EXPECT_EQ(result.out.find("\n\n\nWorst first\n") != std::string::npos, c.finalReport) << int(c.key[0]);
        EXPECT_EQ(result.out.find("\nQuitting early\n") != std::string::npos, c.key == "\x1b");
        EXPECT_EQ(run.exists("result.txt"), c.finalReport) << int(c.key[0]);
        if (c.status == 0) {
            EXPECT_EQ(afterFewCoilsWarning(result.err), "");
        }
    }
}

TEST(Mpi, BadStartsEndEveryRank) {
    SKIP_WITHOUT_MPI();
    struct Case {
        const char* what;
        int ranks;
        std::vector<std::string> args;
        std::string coils;   // written as c.txt when not empty
        std::string ranges;  // written as r.txt when not empty
        std::string message;
    };
    const std::string coil = "1e-06,0.01,0.0002,24,10,0.02,coil\n";
    const Case cases[] = {
        {"missing coil file", 3, {"nothing.txt"}, "", "", "readind (readTestInductors:46) Couldn't open nothing.txt\n"},
        {"broken coil file", 3, {"c.txt"}, "1e-06,0.01\n", "", "readind (readTestInductors:99) At line 1 in c.txt, missing wire radius\n"},
        {"broken ranges file", 3, {"c.txt", "r.txt"}, coil, "r0 0 1\n",
         "symtab (readSymtab:322) At line 1 in r.txt, missing resolution value for r0\n"},
        {"unusable setting", 2, {"c.txt", "r.txt"}, coil, quickRanges("save 3\n"),
         "Setting save is 3, accepted range is 4 to 1000000\n"},
        {"a single rank", 1, {"c.txt", "r.txt"}, coil, quickRanges(""),
         "quelmo-mpi runs one master and 1 to 1024 workers, one per rank: start it as mpirun -n K+1 "
         "quelmo-mpi ... for K workers (it was started with 1 rank)\n"},
    };
    for (const Case& c : cases) {
        CliRun run;
        if (!c.coils.empty()) run.write("c.txt", c.coils);
        if (!c.ranges.empty()) run.write("r.txt", c.ranges);
        const CliResult result = run.runCommand(mpiCommand(c.ranks, c.args), 60);
        EXPECT_EQ(result.status, 255) << c.what;
        EXPECT_FALSE(result.timedOut) << c.what;
        EXPECT_FALSE(result.processesLeft) << c.what;
        // mpirun adds its own account of the end, before or after the message.
        EXPECT_NE(result.err.find(c.message), std::string::npos) << c.what << "\n" << result.err;
    }
}

TEST(Mpi, UsageEndsTheWaitingWorkers) {
    SKIP_WITHOUT_MPI();
    CliRun run;
    const CliResult result = run.runCommand(mpiCommand(3, {}), 60);
    EXPECT_EQ(result.status, 0);
    EXPECT_FALSE(result.processesLeft);
    EXPECT_EQ(result.out.rfind(kBanner + "Usage: quelmo ", 0), 0u);
    EXPECT_EQ(result.err, "");
    // Help and the version need no workers: they answer with one rank too.
    for (const std::string argument : {"-h", "--version"}) {
        const CliResult asked = run.runCommand(mpiCommand(1, {argument}), 60);
        EXPECT_EQ(asked.status, 0) << argument;
        EXPECT_EQ(asked.out.rfind(kBanner + (argument == "-h" ? "Usage: quelmo " : ""), 0), 0u) << asked.out;
        EXPECT_EQ(asked.out == kBanner, argument == "--version") << asked.out;
        EXPECT_EQ(asked.err, "") << argument;
    }
}

TEST(Mpi, AWorkerRankKilledMidRunEndsTheJob) {
    SKIP_WITHOUT_MPI();
    CliRun run;
    // Long jobs (about a million grid points) and no end in sight.
    prepareQuickRun(run, "maxgenerations 100000\nminormax 1000000\n");
    const CliResult result = run.runCommandAndKill(mpiCommand(3, kArgs), 2.0, "OMPI_COMM_WORLD_RANK=1", 60);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.status, 128 + 9);
    EXPECT_FALSE(result.processesLeft);
    EXPECT_NE(result.err.find("process rank 1 with PID"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("exited on signal 9 (Killed)"), std::string::npos) << result.err;
}

// A fit moves between the programs through its snapshot: stopped by SIGTERM
// in one (in quelmo-mpi to every rank, as srun and scancel send it), resumed
// in the other with the same number of workers, it ends with the result file
// of the uninterrupted run. Another number of workers is refused.
TEST(Mpi, SnapshotsMoveBetweenTransports) {
    SKIP_WITHOUT_MPI();
    const std::string ranges =
        quickRanges("processes 2\nordered 1\nmaxgenerations 60\nstatefile state.bin\nstateevery 7\n");
    CliRun whole;
    whole.copyExample("coils-small.txt");
    whole.write("ranges.txt", ranges);
    ASSERT_EQ(whole.run(kArgs).status, 0);

    struct Case {
        const char* what;
        bool stopInMpi;
        int resumeWorkers;  // in the other program
        int status;
        std::string message;
    };
    const Case cases[] = {
        {"quelmo to quelmo-mpi", false, 2, 0, ""},
        {"quelmo-mpi to quelmo", true, 2, 0, ""},
        {"quelmo to quelmo-mpi with 1 worker", false, 1, 255,
         "Cannot resume from state.bin: it was made with processes 2, this run has 1: set processes back to 2 to "
         "resume it, or remove it to start afresh\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CliRun run;
        run.copyExample("coils-small.txt");
        run.write("ranges.txt", ranges);
        const auto saved = [&] { return run.exists("state.bin"); };
        const CliResult stopped =
            c.stopInMpi ? run.runCommandAndSignalWhen(mpiCommand(3, kArgs), saved, SIGTERM, "OMPI_COMM_WORLD_RANK=")
                        : run.runAndSignalWhen(kArgs, saved, SIGTERM);
        ASSERT_EQ(stopped.status, 128 + SIGTERM) << "the run ended before it could be stopped\n" << stopped.err;
        EXPECT_NE(stopped.out.find("\nInterrupted by SIGTERM\n"), std::string::npos);
        EXPECT_EQ(stopped.err.find("MPI_ABORT"), std::string::npos) << stopped.err;
        EXPECT_FALSE(stopped.processesLeft);

        run.write("ranges.txt", ranges + "resume 1\n");
        const CliResult resumed =
            c.stopInMpi ? run.run(kArgs) : run.runCommand(mpiCommand(c.resumeWorkers + 1, kArgs));
        EXPECT_EQ(resumed.status, c.status) << resumed.err;
        EXPECT_FALSE(resumed.processesLeft);
        if (c.status == 0) {
            EXPECT_NE(resumed.out.find("\nResuming from state.bin at generation "), std::string::npos);
            EXPECT_EQ(run.read("result.txt"), whole.read("result.txt"));
        } else {
            EXPECT_NE(resumed.err.find(c.message), std::string::npos) << resumed.err;
        }
    }
}

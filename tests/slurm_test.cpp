// The batch script examples/slurm/fit.sbatch on a Slurm cluster: a job gives
// quelmo's result, a job stopped by SIGTERM (from the user, or before its
// time limit) continues to the uninterrupted run's result, a fit begun by
// quelmo continues as a job, and wrong arguments fail the job at once.
//
// They run on the cluster that SLURM_CONF names (scripts/slurm-local.sh start
// makes one) and skip, with the reason, without one or without MPI; a
// cluster that is named but does not answer is a failure.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "cli_util.h"

namespace {

// The program's path, from the PATH, or "" when it is not there.
std::string toolPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "";
    for (size_t at = 0; at <= dirs.size();) {
        size_t end = dirs.find(':', at);
        if (end == std::string::npos) end = dirs.size();
        const std::string candidate = dirs.substr(at, end - at) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        at = end + 1;
    }
    return "";
}

// Why the tests cannot run here, or "" when they can.
std::string missingCluster() {
#ifndef QUELMO_MPI_BIN
    return "MPI was not found when the tests were built: quelmo-mpi is not built";
#else
    if (std::getenv("SLURM_CONF") == nullptr)
        return "SLURM_CONF names no cluster to test on (scripts/slurm-local.sh start makes one)";
    for (const char* tool : {"sbatch", "squeue", "scancel", "scontrol", "srun"})
        if (toolPath(tool).empty()) return std::string("Slurm's ") + tool + " is not on the PATH";
    return "";
#endif
}

#define SKIP_WITHOUT_CLUSTER()                                     \
    do {                                                           \
        const std::string why = missingCluster();                  \
        if (!why.empty()) GTEST_SKIP() << why;                     \
        ASSERT_TRUE(clusterAnswers()) << "no answer from the cluster of SLURM_CONF"; \
    } while (false)

// A Slurm command's standard output, run in `run`'s directory.
CliResult slurm(const CliRun& run, const std::string& tool, const std::vector<std::string>& args,
                double timeoutSeconds = 60) {
    std::vector<std::string> command{toolPath(tool)};
    command.insert(command.end(), args.begin(), args.end());
    return run.runCommand(command, timeoutSeconds);
}

bool clusterAnswers() {
    CliRun run;
    return slurm(run, "sinfo", {"-h"}).status == 0;
}

bool awaitCondition(const std::function<bool()>& condition, double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

// The jobs a test submitted, cancelled when it ends however it ends.
class Jobs {
public:
    explicit Jobs(const CliRun& run) : run_(run) {}
    ~Jobs() {
        for (const std::string& id : ids_) slurm(run_, "scancel", {id});
    }
    Jobs(const Jobs&) = delete;
    Jobs& operator=(const Jobs&) = delete;

    // Submits fit.sbatch with one worker rank; with `wait`, returns once the
    // job has ended, with its exit code as the status.
    CliResult submit(const std::vector<std::string>& args, bool wait, std::string& id) {
        std::vector<std::string> options{"--parsable", "--ntasks=2", "--overcommit", "--job-name=quelmo-test"};
#ifdef QUELMO_MPI_BIN
        options.push_back(std::string("--export=ALL,QUELMO_MPI=") + QUELMO_MPI_BIN);
#endif
        if (wait) options.push_back("--wait");
        options.push_back(sourcePath("examples/slurm/fit.sbatch"));
        options.insert(options.end(), args.begin(), args.end());
        const CliResult result = slurm(run_, "sbatch", options, 600);
        id = result.out.substr(0, result.out.find_first_not_of("0123456789"));
        if (!id.empty()) ids_.push_back(id);
        return result;
    }
    // The job's state as squeue shows it ("" once it has been forgotten).
    std::string state(const std::string& id) const {
        const std::string out = slurm(run_, "squeue", {"-h", "-t", "all", "-j", id, "-o", "%T"}).out;
        return out.substr(0, out.find('\n'));
    }
    std::string output(const std::string& id) const { return run_.read("quelmo-fit-" + id + ".out"); }

private:
    const CliRun& run_;
    std::vector<std::string> ids_;
};

const std::vector<std::string> kArgs = {"coils-example.txt", "ranges.txt"};

// The example fit, cut to a length that a stop lands in the middle of.
std::string fitRanges(const std::string& extra = "") {
    return readFile(sourcePath("examples/ranges-example.txt")) + "normalize 0\nreportstyle classic\n" +
           "processes 1\nmaxgenerations 60\nstateevery 5\nresultfile result.txt\ncheckpoint checkpoint.txt\n" + extra;
}

void prepare(const CliRun& run, const std::string& ranges) {
    run.copyExample("coils-example.txt");
    run.write("ranges.txt", ranges);
}

// The result file of quelmo with one worker, run to the end.
std::string quelmoResult() {
    static const std::string result = [] {
        CliRun run;
        prepare(run, fitRanges());
        const CliResult whole = run.run(kArgs, 600);
        return whole.status == 0 ? run.read("result.txt") : "(quelmo failed: " + whole.err + ")";
    }();
    return result;
}

}  // namespace

TEST(SlurmJob, OneWorkerRankGivesQuelmosResult) {
    SKIP_WITHOUT_CLUSTER();
    CliRun run;
    prepare(run, fitRanges());
    Jobs jobs(run);
    std::string id;
    const CliResult job = jobs.submit(kArgs, true, id);
    ASSERT_EQ(job.status, 0) << job.err << jobs.output(id);
    EXPECT_NE(jobs.output(id).find("a fresh fit with snapshots in ranges.state\n"), std::string::npos);
    EXPECT_EQ(run.read("result.txt"), quelmoResult());
    EXPECT_TRUE(run.exists("ranges.state"));
}

TEST(SlurmJob, NamesWithBlanksQuotesAndEqualsResume) {
    SKIP_WITHOUT_CLUSTER();
    CliRun run;
    prepare(run, fitRanges());
    std::filesystem::rename(run.dir() / "coils-example.txt", run.dir() / "coil's \"x\".txt");
    std::filesystem::rename(run.dir() / "ranges.txt", run.dir() / "my r=1.txt");
    const std::vector<std::string> args = {"coil's \"x\".txt", "my r=1.txt"};
    Jobs jobs(run);
    std::string first, second;
    const CliResult fresh = jobs.submit(args, true, first);
    ASSERT_EQ(fresh.status, 0) << fresh.err << jobs.output(first);
    EXPECT_NE(jobs.output(first).find("a fresh fit with snapshots in my_r=1.state\n"), std::string::npos);
    EXPECT_EQ(run.read("result.txt"), quelmoResult());
    // The ended fit's snapshot is found again: only its final report.
    const CliResult again = jobs.submit(args, true, second);
    ASSERT_EQ(again.status, 0) << again.err << jobs.output(second);
    EXPECT_NE(jobs.output(second).find("resuming from my_r=1.state\n"), std::string::npos) << jobs.output(second);
}

TEST(SlurmJob, StoppedFitsContinueToTheSameResult) {
    SKIP_WITHOUT_CLUSTER();
    enum class Stop { user, cancel, timeLimit, workstation };
    struct Case {
        const char* what;
        Stop stop;
    };
    const Case cases[] = {
        {"scancel --signal=TERM, then submitted again", Stop::user},
        {"scancel: cancelled, not requeued, then submitted again", Stop::cancel},
        {"the signal before the time limit: the job requeues itself", Stop::timeLimit},
        {"begun by quelmo, stopped by SIGTERM, continued as a job", Stop::workstation},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CliRun run;
        // The workstation's fit names its snapshot in the ranges file.
        const std::string ranges = fitRanges(c.stop == Stop::workstation ? "statefile state.bin\n" : "");
        const std::string state = c.stop == Stop::workstation ? "state.bin" : "ranges.state";
        prepare(run, ranges);
        Jobs jobs(run);
        std::string first;
        if (c.stop == Stop::workstation) {
            const CliResult stopped = run.runAndSignalWhen(kArgs, [&] { return run.exists(state); }, SIGTERM);
            ASSERT_EQ(stopped.status, 128 + SIGTERM) << "the fit ended before it could be stopped";
        } else {
            ASSERT_EQ(jobs.submit(kArgs, false, first).status, 0);
            ASSERT_TRUE(awaitCondition([&] { return run.exists(state); }, 300)) << jobs.output(first);
            // --signal=B:USR1@120 signals the batch script alone, as scancel --batch does.
            const std::vector<std::string> signal =
                c.stop == Stop::user     ? std::vector<std::string>{"--signal=TERM", first}
                : c.stop == Stop::cancel ? std::vector<std::string>{first}
                                         : std::vector<std::string>{"--batch", "--signal=USR1", first};
            ASSERT_EQ(slurm(run, "scancel", signal).status, 0);
        }
        if (c.stop == Stop::user || c.stop == Stop::cancel) {
            const std::string ended = c.stop == Stop::user ? "FAILED" : "CANCELLED";
            ASSERT_TRUE(awaitCondition([&] { return jobs.state(first) == ended; }, 120)) << jobs.state(first);
            EXPECT_NE(jobs.output(first).find("\nInterrupted by SIGTERM\n"), std::string::npos) << jobs.output(first);
            EXPECT_EQ(jobs.output(first).find("requeued"), std::string::npos) << jobs.output(first);
        }
        if (c.stop == Stop::timeLimit) {
            // A requeued job waits for its credential to expire before it
            // starts again (20 s on scripts/slurm-local.sh's cluster).
            ASSERT_TRUE(awaitCondition([&] { return jobs.state(first) == "COMPLETED"; }, 400))
                << jobs.state(first) << jobs.output(first);
            EXPECT_EQ(countOf(jobs.output(first), "fit.sbatch: requeued, to continue from ranges.state\n"), 1);
            EXPECT_EQ(countOf(jobs.output(first), "\nResuming from ranges.state at generation "), 1);
        } else {
            std::string second;
            const CliResult job = jobs.submit(kArgs, true, second);
            ASSERT_EQ(job.status, 0) << job.err << jobs.output(second);
            EXPECT_NE(jobs.output(second).find("resuming from " + state + "\n"), std::string::npos);
        }
        EXPECT_EQ(run.read("result.txt"), quelmoResult());
    }
}

TEST(SlurmJob, WrongArgumentsFailTheJobAtOnce) {
    SKIP_WITHOUT_CLUSTER();
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const std::string usage =
        "fit.sbatch: give the coil file and the ranges file: sbatch [options] fit.sbatch COILS RANGES\n";
    const Case cases[] = {
        {{}, usage},
        {{"coils-example.txt"}, usage},
        {{"coils-example.txt", "nothing.txt"}, "fit.sbatch: cannot read the ranges file nothing.txt (in "},
        {{"nothing.txt", "ranges.txt"}, "fit.sbatch: cannot read the coil file nothing.txt (in "},
    };
    for (const Case& c : cases) {
        CliRun run;
        prepare(run, fitRanges());
        Jobs jobs(run);
        std::string id;
        const CliResult job = jobs.submit(c.args, true, id);
        EXPECT_EQ(job.status, 2) << c.message;
        EXPECT_FALSE(job.timedOut);
        EXPECT_EQ(jobs.output(id).rfind(c.message, 0), 0u) << jobs.output(id);
        EXPECT_FALSE(run.exists("ranges.state"));
    }
}

// The script's handling of names, run as a batch job would run it but on
// stand-ins for srun and quelmo-mpi, so no cluster is needed: every name
// reaches the program whole, the job's ranges file names the snapshot so the
// program reads it back whole, and a name that cannot be passed on is
// refused at once.
TEST(SlurmScript, NamesWithBlanksQuotesAndEqualsPassWhole) {
    struct Case {
        const char* name;
        std::string coils, ranges;
        std::string extra;     // ranges file lines
        int status;
        std::string seen;      // what the program received: its two arguments
        std::string snapshot;  // the snapshot's name in the job's ranges file
        std::string message;   // the start of the job's standard error
    };
    const Case cases[] = {
        {"blanks and quotes", "coil's \"x\".txt", "my ranges.txt", "", 0,
         "coil's \"x\".txt|my_ranges.state.ranges", "statefile my_ranges.state", ""},
        {"an equals sign", "c=1.txt", "x=y.txt", "statefile s=1.bin\n", 0, "c=1.txt|s=1.bin.ranges",
         "statefile s=1.bin", ""},
        {"a leading dash", "-c.txt", "-r.txt", "", 0, "./-c.txt|./-r.state.ranges", "statefile ./-r.state", ""},
        {"a line break", "coils\nx.txt", "ranges.txt", "", 2, "", "",
         "fit.sbatch: a file name holds a line break; rename the file\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CliRun run;
        run.write(c.coils, "coils\n");
        run.write(c.ranges, "maxgenerations 1\n" + c.extra);
        // srun passes its command on; the program notes its arguments and
        // the snapshot its ranges file names.
        std::filesystem::create_directory(run.dir() / "bin");
        run.write("bin/srun", "#!/bin/sh\nwhile [ \"${1#--}\" != \"$1\" ]; do shift; done\nexec \"$@\"\n");
        run.write("bin/quelmo-mpi",
                  "#!/bin/sh\nprintf '%s|%s' \"$1\" \"$2\" > seen.txt\ngrep '^statefile' \"$2\" > snapshot.txt\n");
        chmod((run.dir() / "bin/srun").c_str(), 0755);
        chmod((run.dir() / "bin/quelmo-mpi").c_str(), 0755);
        const std::string script = sourcePath("examples/slurm/fit.sbatch");
        const std::string bin = (run.dir() / "bin").string();
        const CliResult result = run.runCommand(
            {"/usr/bin/env", "PATH=" + bin + ":/usr/bin:/bin", "SLURM_JOB_ID=7", "SLURM_NTASKS=2", "/bin/bash", script,
             c.coils, c.ranges},
            30);
        EXPECT_EQ(result.status, c.status) << result.err;
        EXPECT_EQ(result.err.rfind(c.message, 0), 0u) << result.err;
        if (c.status != 0) {
            EXPECT_FALSE(run.exists("seen.txt"));
            continue;
        }
        EXPECT_EQ(run.read("seen.txt"), c.seen);
        EXPECT_EQ(run.read("snapshot.txt"), c.snapshot + "\n");
    }
}

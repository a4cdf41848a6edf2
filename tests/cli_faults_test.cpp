// Faults around a run: a shared directory, dying workers, a directory that
// turns read-only or fills up, input paths that are not files, and bounds on
// the settings. Every fault ends with a message that names its cause, a
// known exit status, no process left behind and no good file spoiled.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "cli_util.h"

namespace {

std::string ranges(const std::string& extra) {
    return readFile(sourcePath("examples/ranges-example.txt")) + "polish 0\nresultfile result.txt\n" + extra;
}

void prepare(const CliRun& run, const std::string& extra) {
    run.copyExample("coils-small.txt");
    run.write("ranges.txt", ranges(extra));
}

const std::vector<std::string> kArgs = {"coils-small.txt", "ranges.txt"};

void killWorkers(pid_t master) {
    for (const pid_t worker : childrenOf(master)) kill(worker, SIGKILL);
}

// A small tmpfs mounted on the run directory, for a directory that can be
// made read-only or full under a privileged test. Unmounted when it goes.
class SmallDisk {
public:
    SmallDisk(const CliRun& run, const char* size) : dir_(run.dir().string()) {
        const std::string options = std::string("size=") + size;
        mounted_ = mount("tmpfs", dir_.c_str(), "tmpfs", 0, options.c_str()) == 0;
    }
    ~SmallDisk() {
        if (mounted_) umount2(dir_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }

private:
    std::string dir_;
    bool mounted_ = false;
};

}  // namespace

TEST(Faults, OneRunPerDirectory) {
    CliRun run;
    prepare(run, "maxgenerations 1\n");
    run.write("quelmoi.0", "another run's request");
    // The test holds the lock as a running fit would.
    run.write("quelmo.lock", "4242\n");
    const int fd = open((run.dir() / "quelmo.lock").c_str(), O_RDWR);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    const CliResult refused = run.run(kArgs, 10);
    EXPECT_EQ(refused.status, 255);
    EXPECT_EQ(refused.err, "Another run (pid 4242) is using the directory " + run.dir().string() +
                               "; run each fit in a directory of its own\n");
    EXPECT_EQ(run.read("quelmoi.0"), "another run's request");
    EXPECT_FALSE(run.exists("result.txt"));
    close(fd);

    // Once the lock is free the directory is usable again, and the lock file
    // names the run that holds it.
    const CliResult second = run.run(kArgs);
    EXPECT_EQ(second.status, 0) << second.err;
    EXPECT_TRUE(run.exists("result.txt"));
}

TEST(Faults, KilledWorkersAreReplacedAndTheirJobsRedone) {
    // Ordered runs give the same result file however often a worker dies,
    // range adaptation included: replacements search with the ranges the
    // first workers started with.
    const std::string extra = "processes 2\nordered 1\nminormax 2000\nmaxgenerations 40\n"
                              "rangeexpand 1\nraiselower 2\n";
    CliRun calm, troubled;
    prepare(calm, extra);
    prepare(troubled, extra);
    const CliResult a = calm.run(kArgs);
    ASSERT_EQ(a.status, 0) << a.err;
    // Both workers are killed as soon as they are up. A fixed moment could
    // come after the end of this short run on a fast or idle machine, and
    // the test would then fail without a fault.
    bool killed = false;
    const CliResult b = troubled.runActing(kArgs, 0.01, [&killed](pid_t master) {
        if (killed || childrenOf(master).size() < 2) return;
        killWorkers(master);
        killed = true;
    });
    EXPECT_EQ(b.status, 0) << b.err;
    EXPECT_FALSE(b.processesLeft);
    EXPECT_EQ(countOf(b.err, " was killed by signal 9 (Killed); a new worker takes its job\n"), 2) << b.err;
    EXPECT_EQ(troubled.read("result.txt"), calm.read("result.txt"));
}

TEST(Faults, WorkersThatKeepDyingStopTheRun) {
    CliRun run;
    prepare(run, "processes 2\nminormax 2000\nmaxgenerations 100000\n");
    const double start = time(nullptr);
    const CliResult result = run.runActing(kArgs, 0.2, killWorkers, 30);
    EXPECT_FALSE(result.timedOut);
    EXPECT_LT(time(nullptr) - start, 10);
    EXPECT_EQ(result.status, 255);
    EXPECT_FALSE(result.processesLeft);
    EXPECT_NE(result.err.find("Workers keep dying (3 of them within 60 s, the last on slot "), std::string::npos)
        << result.err;
}

TEST(Faults, ExchangeFailuresEndTheRunWithTheirCause) {
    struct Case {
        const char* name;
        std::function<void(const CliRun&)> strike;
        const char* cause;
    };
    const Case cases[] = {
        {"read-only",
         [](const CliRun& run) { mount(nullptr, run.dir().c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr); },
         "Read-only file system"},
        {"full",
         [](const CliRun& run) {
             std::ofstream filler(run.dir() / "filler", std::ios::binary | std::ios::app);
             const std::string block(1 << 16, 'x');
             for (int i = 0; i < 256 && filler.good(); ++i) filler << block << std::flush;
         },
         "No space left on device"},
    };
    for (const Case& c : cases) {
        CliRun run;
        SmallDisk disk(run, "4m");
        if (!disk.mounted()) GTEST_SKIP() << "mounting a tmpfs needs privileges this test lacks";
        prepare(run, "processes 2\nminormax 50\nmaxgenerations 100000\ncheckpoint checkpoint.txt\n");
        run.write("result.txt", "an earlier good result");
        const double start = time(nullptr);
        // The strike comes once the first checkpoint stands.
        const CliResult result = run.runActing(
            kArgs, 0.2, [&](pid_t) { if (run.exists("checkpoint.txt")) c.strike(run); }, 30);
        EXPECT_FALSE(result.timedOut) << c.name;
        EXPECT_LT(time(nullptr) - start, 10) << c.name;
        EXPECT_EQ(result.status, 255) << c.name;
        EXPECT_FALSE(result.processesLeft) << c.name;
        EXPECT_NE(result.err.find(std::string(" fails because ") + c.cause + "\n"), std::string::npos)
            << c.name << ": " << result.err;
        EXPECT_EQ(run.read("result.txt"), "an earlier good result") << c.name;
        EXPECT_EQ(run.read("checkpoint.txt").rfind("// Goodness = ", 0), 0u) << c.name;
    }
}

TEST(Faults, InputsMustBeFiles) {
    CliRun run;
    run.copyExample("coils-small.txt");
    std::filesystem::create_directory(run.dir() / "folder");
    const CliResult coils = run.run({"folder"});
    EXPECT_EQ(coils.status, 255);
    EXPECT_EQ(coils.err, "folder fails because Is a directory\nreadind (readTestInductors:46) Couldn't open folder\n");
    const CliResult rangesFile = run.run({"coils-small.txt", "folder"});
    EXPECT_EQ(rangesFile.status, 255);
    EXPECT_EQ(rangesFile.err,
              "folder fails because Is a directory\nsymtab (readSymtab:237) Couldn't open folder for ranges\n");
    const CliResult device = run.run({"/dev/null"});
    EXPECT_EQ(device.status, 255);
    EXPECT_EQ(device.err,
              "/dev/null fails because not a plain file or a FIFO\nreadind (readTestInductors:46) Couldn't open /dev/null\n");
}

TEST(Faults, UnwritableOutputsAreRefusedBeforeTheSearch) {
    for (const std::string setting : {"resultfile", "resultc", "resultjson"}) {
        CliRun run;
        prepare(run, "maxgenerations 5\n" + setting + " missing/out.txt\n");
        const CliResult result = run.run(kArgs, 10);
        EXPECT_EQ(result.status, 255) << setting;
        EXPECT_EQ(result.err,
                  "missing/out.txt fails because No such file or directory\nCouldn't open missing/out.txt for output\n")
            << setting;
        EXPECT_EQ(result.out.find("LAST 14"), std::string::npos) << setting;
        EXPECT_FALSE(run.exists("quelmoi.0")) << setting;
    }
}

TEST(Faults, CheckpointSettingMovesIt) {
    CliRun run;
    prepare(run, "maxgenerations 1\ncheckpoint mine.txt\n");
    const CliResult result = run.run(kArgs);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("\n          checkpoint: 'mine.txt'\n"), std::string::npos);
    EXPECT_EQ(run.read("mine.txt").rfind("// Goodness = ", 0), 0u);
}

// Faults around a run: a shared directory, dying workers, a directory that
// turns read-only or fills up, input paths that are not files, and bounds on
// the settings. Every fault ends with a message that names its cause, a
// known exit status, no process left behind and no good file spoiled.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "cli_util.h"

namespace {

std::string ranges(const std::string& extra) {
    return readFile(sourcePath("examples/ranges-example.txt")) +
           "polish 0\nnormalize 0\nreportstyle classic\nresultfile result.txt\n" + extra;
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
    // The test holds the lock as a running fit would, its pid inside.
    const std::string pid = std::to_string(getpid());
    run.write("quelmo.lock", pid + "\n");
    const int fd = open((run.dir() / "quelmo.lock").c_str(), O_RDWR);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    const CliResult refused = run.run(kArgs, 10);
    EXPECT_EQ(refused.status, 255);
    EXPECT_EQ(refused.err, fewCoilsWarning("coils-small.txt") + "Another run (pid " + pid +
                               ") is using the directory " + run.dir().string() +
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

namespace {

// A file beside the run directory that no planted link may touch.
std::string secretPath(const CliRun& run) { return (run.dir().parent_path() / "secret").string(); }

// Text with every "DIR" replaced by the run's directory.
std::string inDirectory(std::string text, const CliRun& run) {
    for (size_t at; (at = text.find("DIR")) != std::string::npos;) text.replace(at, 3, run.dir().string());
    return text;
}

}  // namespace

TEST(Faults, PlantedFilesAndCollidingOutputs) {
    const std::string lockLink =
        "Couldn't lock the run directory DIR: quelmo.lock: Is a symbolic link; remove it if no run is using this "
        "directory\n";
    const auto link = [](const char* name, const char* target = "secret") {
        return [=](const CliRun& run) { symlink((run.dir().parent_path() / target).c_str(), (run.dir() / name).c_str()); };
    };
    struct Case {
        const char* name;
        std::string extra;  // ranges lines
        std::function<void(const CliRun&)> plant;
        int status;
        std::string err;
    };
    const Case cases[] = {
        // Links at the names earlier versions wrote temporary files under
        // are removed, never written through.
        {"exchange", "", [&](const CliRun& run) { link("quelmoi.0.new")(run); link("quelmor.0.new")(run); }, 0, ""},
        {"lock link", "", link("quelmo.lock"), 255, lockLink},
        {"dangling lock", "", link("quelmo.lock", "created"), 255, lockLink},
        {"fifo lock", "", [](const CliRun& run) { mkfifo((run.dir() / "quelmo.lock").c_str(), 0644); }, 255,
         "Couldn't lock the run directory DIR: quelmo.lock: Not a regular file; remove it if no run is using this "
         "directory\n"},
        {"shared", "", [](const CliRun& run) { chmod(run.dir().c_str(), 0777); }, 0,
         "Warning: the run directory DIR is writable by every user: another user could alter or remove the exchange "
         "records quelmoi.N and quelmor.N and so spoil the fit; run it in a directory of your own to avoid this\n"},
        // Written into and left a device (or, where no node can be made, a link to one).
        {"device", "coilcsv null\ncheckpoint null\n",
         [](const CliRun& run) {
             if (mknod((run.dir() / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0)
                 symlink("/dev/null", (run.dir() / "null").c_str());
         },
         0, ""},
        {"checkpoint directory", "checkpoint cp\n", [](const CliRun& run) { create_directory(run.dir() / "cp"); }, 0,
         "Couldn't write checkpoint cp (Is a directory); the run goes on without checkpoints\n"},
        {"coil file", "resultfile coils-small.txt\n", nullptr, 255,
         "Setting resultfile names the coil file coils-small.txt; an output must not replace an input\n"},
        {"two outputs", "coilcsv ./result.txt\n", nullptr, 255,
         "Settings resultfile and coilcsv both name ./result.txt; each output needs a file of its own\n"},
        {"snapshot", "statefile s.bin\ncheckpoint s.bin\n", nullptr, 255,
         "Settings statefile and checkpoint both name s.bin; each output needs a file of its own\n"},
        // Names the run itself creates, replaces or removes.
        {"checkpoint on a reply", "checkpoint quelmor.0\n", nullptr, 255,
         "Setting checkpoint names quelmor.0, a reply file of the exchange with the workers; give the output "
         "another name\n"},
        {"snapshot on the lock", "statefile ./quelmo.lock\n", nullptr, 255,
         "Setting statefile names ./quelmo.lock, the lock of the run directory; give the output another name\n"},
        {"result on the last slot", "resultfile quelmor.1\n", nullptr, 255,
         "Setting resultfile names quelmor.1, a reply file of the exchange with the workers; give the output "
         "another name\n"},
        {"slot the settings leave out", "resultfile quelmoi.2\n", nullptr, 0, ""},
        {"exchange temporary", "coilcsv DIR/quelmoi.1.Ab12Cd\n", nullptr, 255,
         "Setting coilcsv names DIR/quelmoi.1.Ab12Cd, a temporary name of the exchange files; give the output "
         "another name\n"},
        {"output temporary", "logcsv .quelmo-Ab12Cd\n", nullptr, 255,
         "Setting logcsv names .quelmo-Ab12Cd, a temporary name of the run's outputs; give the output another "
         "name\n"},
        {"zero inductance", "",
         [](const CliRun& run) { run.write("coils-small.txt", "// zero\n0,0.01,0.0003,22,20,0.02,z\n"); }, 0,
         "Warning: at line 2 in coils-small.txt, the measured inductance is 0: every set's goodness is infinite, so "
         "the fit cannot tell sets apart\n"},
    };
    for (const Case& c : cases) {
        CliRun run;
        prepare(run, "maxgenerations 1\n" + inDirectory(c.extra, run));
        std::ofstream(secretPath(run)) << "secret";
        if (c.plant) c.plant(run);
        const std::string coils = run.read("coils-small.txt");
        const CliResult result = run.run(kArgs, 20);
        EXPECT_EQ(result.status, c.status) << c.name;
        EXPECT_EQ(afterFewCoilsWarning(result.err), inDirectory(c.err, run)) << c.name;
        EXPECT_FALSE(result.processesLeft) << c.name;
        EXPECT_EQ(readFile(secretPath(run)), "secret") << c.name;
        EXPECT_EQ(run.read("coils-small.txt"), coils) << c.name;
        EXPECT_FALSE(run.exists("quelmoi.0.new")) << c.name;
        EXPECT_FALSE(std::filesystem::is_regular_file(std::filesystem::symlink_status(run.dir() / "null"))) << c.name;
        EXPECT_FALSE(std::filesystem::exists(run.dir().parent_path() / "created")) << c.name;
    }
}

TEST(Faults, AnotherUserInASharedDirectory) {
    if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "needs root and setpriv";
    const auto asNobody = [](std::vector<std::string> command) {
        command.insert(command.begin(), {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"});
        return command;
    };
    CliRun run;
    prepare(run, "processes 2\nminormax 50\nmaxgenerations 20\n");
    chmod(run.dir().parent_path().c_str(), 0755);
    chmod(run.dir().c_str(), 0777);
    const std::string secret = secretPath(run);
    std::ofstream(secret) << "root only";
    chmod(secret.c_str(), 0600);

    // A lock left by root, even under a strict umask, does not stop another user.
    std::vector<std::string> strict = programCommand(kArgs);
    strict.insert(strict.begin(), {"/bin/sh", "-c", "umask 077; exec \"$0\" \"$@\""});
    ASSERT_EQ(run.runCommand(strict).status, 0);
    const CliResult second = run.runCommand(asNobody(programCommand(kArgs)));
    EXPECT_EQ(second.status, 0) << second.err;

    // While a fit runs, another user keeps planting links to the secret at
    // the lock and at the names temporary files had before.
    std::vector<std::string> planter = asNobody(
        {"/bin/sh", "-c",
         "end=$(($(date +%s) + 3)); while [ $(date +%s) -lt $end ]; do for n in quelmo.lock quelmoi.0.new "
         "quelmor.0.new quelmoi.1.new quelmor.1.new; do ln -sfn \"$0\" $n; done; done 2>/dev/null",
         secret});
    pid_t planterPid = -1;
    const CliResult raced = run.runActing(kArgs, 0.01, [&](pid_t master) {
        if (planterPid > 0 || childrenOf(master).size() < 2) return;
        if ((planterPid = fork()) != 0) return;
        std::vector<char*> argv;
        for (std::string& arg : planter) argv.push_back(arg.data());
        argv.push_back(nullptr);
        if (chdir(run.dir().c_str()) == 0) execv(argv[0], argv.data());
        _exit(127);
    });
    ASSERT_GT(planterPid, 0);
    waitpid(planterPid, nullptr, 0);
    EXPECT_EQ(raced.status, 0) << raced.err;
    EXPECT_FALSE(raced.processesLeft);
    EXPECT_EQ(readFile(secret), "root only");
}

TEST(Faults, NamesThatAreNotUtf8ReachTheJson) {
    CliRun run;
    prepare(run, "maxgenerations 1\nresultjson out.json\ncoilcsv coils.csv\n");
    std::string coils = run.read("coils-small.txt");
    const size_t name = coils.find("sm001");
    ASSERT_NE(name, std::string::npos);
    coils.replace(name, 5, "sp\xfcle");
    run.write("coils-small.txt", coils);
    const CliResult result = run.run(kArgs, 20);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(afterFewCoilsWarning(result.err), "");
    // Each byte that is not UTF-8 is the escape of a lone surrogate, which
    // surrogateescape decoding turns back into the byte; other files keep it.
    EXPECT_NE(run.read("out.json").find("\"name\": \"sp\\udcfcle\""), std::string::npos);
    EXPECT_NE(run.read("coils.csv").find("sp\xfcle"), std::string::npos);
    EXPECT_EQ(result.out.back(), '\n');
}

namespace {

// Runs `command` as user nobody in `directory`; true when it succeeds.
bool asNobody(const std::filesystem::path& directory, const std::string& command) {
    const std::string line = "cd '" + directory.string() +
                             "' && /usr/bin/setpriv --reuid=nobody --regid=nogroup --clear-groups /bin/sh -c '" +
                             command + "'";
    return std::system(line.c_str()) == 0;
}

}  // namespace

// A FIFO or device of another user at an output's name would hand that user
// what the run writes, or stall the run when never read: refused at start,
// and the checkpoint skipped.
TEST(Faults, OtherUsersFifosAtOutputNamesAreRefused) {
    if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "needs root and setpriv";
    struct Case {
        const char* name;
        std::string extra;
        int status;
        std::string err;
    };
    const Case cases[] = {
        {"csv", "coilcsv shared/fifo\n", 255,
         "shared/fifo fails because Is a FIFO of another user\nCouldn't open shared/fifo for output\n"},
        {"result through own link", "resultfile link\n", 255,
         "link fails because Is a FIFO of another user\nCouldn't open link for output\n"},
        {"snapshot", "statefile shared/fifo\n", 255, "Cannot write snapshots to shared/fifo: Is a FIFO of another user\n"},
        {"checkpoint", "checkpoint shared/fifo\n", 0,
         "Couldn't write checkpoint shared/fifo (Is a FIFO of another user); the run goes on without checkpoints\n"},
    };
    for (const Case& c : cases) {
        CliRun run;
        prepare(run, "maxgenerations 1\n" + c.extra);
        chmod(run.dir().parent_path().c_str(), 0755);
        chmod(run.dir().c_str(), 0755);
        std::filesystem::create_directory(run.dir() / "shared");
        chmod((run.dir() / "shared").c_str(), 01777);
        ASSERT_TRUE(asNobody(run.dir() / "shared", "mkfifo -m 666 fifo")) << c.name;
        symlink("shared/fifo", (run.dir() / "link").c_str());
        const CliResult result = run.run(kArgs, 20);
        EXPECT_EQ(result.status, c.status) << c.name;
        EXPECT_EQ(afterFewCoilsWarning(result.err), c.err) << c.name;
        EXPECT_FALSE(result.timedOut) << c.name;
        EXPECT_FALSE(result.processesLeft) << c.name;
        struct stat info;
        ASSERT_EQ(lstat((run.dir() / "shared/fifo").c_str(), &info), 0);
        EXPECT_TRUE(S_ISFIFO(info.st_mode)) << c.name;
        EXPECT_EQ(info.st_mode & 0777, 0666u) << c.name;
    }
}

// A FIFO of one's own is written into without waiting for a reader, and
// under the user's umask, as a new file would be.
TEST(Faults, OwnFifosNeverStallTheRun) {
    // Nobody reads: the output is skipped at once, with its cause.
    CliRun unread;
    prepare(unread, "maxgenerations 1\ncoilcsv coils.csv\n");
    ASSERT_EQ(mkfifo((unread.dir() / "coils.csv").c_str(), 0644), 0);
    const CliResult skipped = unread.run(kArgs, 20);
    EXPECT_FALSE(skipped.timedOut);
    EXPECT_EQ(skipped.status, 255);
    EXPECT_EQ(afterFewCoilsWarning(skipped.err),
              "coils.csv fails because No program reads this FIFO\nCouldn't open coils.csv for output\n");

    // A reader gets the file, and the FIFO is narrowed to the umask 077.
    CliRun run;
    prepare(run, "maxgenerations 1\ncoilcsv coils.csv\n");
    const std::string fifo = (run.dir() / "coils.csv").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    chmod(fifo.c_str(), 0666);
    std::string received;
    std::thread reader([&] {
        const int in = open(fifo.c_str(), O_RDONLY);
        char buffer[4096];
        for (ssize_t got; in >= 0 && (got = read(in, buffer, sizeof buffer)) > 0;)
            received.append(buffer, static_cast<size_t>(got));
        if (in >= 0) close(in);
    });
    std::vector<std::string> strict = programCommand(kArgs);
    strict.insert(strict.begin(), {"/bin/sh", "-c", "umask 077; exec \"$0\" \"$@\""});
    const CliResult result = run.runCommand(strict);
    // Releases the reader if the run never opened the FIFO.
    const int release = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (release >= 0) close(release);
    reader.join();
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(received.rfind("name,", 0), 0u);
    struct stat info;
    ASSERT_EQ(lstat(fifo.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

// Temporaries of a run that died before its rename go at the next start;
// those of a live writer and other users' stay.
TEST(Faults, StaleTemporariesOfADeadRunAreRemoved) {
    CliRun run;
    prepare(run, "maxgenerations 1\n");
    run.write(".quelmo-Stale1", "left by a killed run");
    run.write(".quelmo-Held01", "being written");
    run.write(".quelmo-long-name", "not a temporary");
    const int held = open((run.dir() / ".quelmo-Held01").c_str(), O_RDONLY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    const bool root = geteuid() == 0;
    if (root) {
        run.write(".quelmo-Other1", "another user's");
        ASSERT_EQ(lchown((run.dir() / ".quelmo-Other1").c_str(), 65534, 65534), 0);
    }
    const CliResult result = run.run(kArgs, 20);
    close(held);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_FALSE(run.exists(".quelmo-Stale1"));
    EXPECT_TRUE(run.exists(".quelmo-Held01"));
    EXPECT_TRUE(run.exists(".quelmo-long-name"));
    if (root) {
        EXPECT_TRUE(run.exists(".quelmo-Other1"));
    }
}

namespace {

// The goodness column (the best member) of a generation log, as the result
// file prints a goodness.
std::string bestInLog(const std::string& log) {
    double best = 0;
    bool any = false;
    std::istringstream lines(log);
    std::string line;
    std::getline(lines, line);  // the header
    while (std::getline(lines, line)) {
        const size_t first = line.find(',');
        const size_t second = line.find(',', first + 1);
        const double goodness = std::strtod(line.c_str() + second + 1, nullptr);
        if (!any || goodness < best) best = goodness;
        any = true;
    }
    char text[40];
    std::snprintf(text, sizeof text, "%g", best);
    return text;
}

}  // namespace

// SIGINT or SIGTERM without a statefile ends the run as Escape does: the
// workers stop, the final report goes to standard output and the result
// file, the CSV files are whole, and the status tells the signal. The moment
// is random within the search; the result is the best set the log holds.
TEST(Faults, StopSignalsKeepTheResult) {
    struct Case {
        int signal;
        bool wholeGroup;  // as a terminal's Control-C
        int runs;
    };
    const Case cases[] = {{SIGINT, true, 20}, {SIGTERM, false, 2}};
    unsigned seed = static_cast<unsigned>(getpid());
    for (const Case& c : cases) {
        for (int i = 0; i < c.runs; ++i) {
            SCOPED_TRACE(std::string(strsignal(c.signal)) + " run " + std::to_string(i));
            CliRun run;
            prepare(run, "maxgenerations 100000\nminormax 50\nprocesses 2\nlogcsv log.csv\ncoilcsv coils.csv\n");
            const double delay = 0.05 + static_cast<double>(rand_r(&seed) % 1000) / 1000.0;
            double started = -1;
            const auto ready = [&] {
                // Once the workers have their first job, a random time later.
                const double now = std::chrono::duration<double>(
                                       std::chrono::steady_clock::now().time_since_epoch())
                                       .count();
                if (started < 0 && (run.exists("quelmor.0") || run.exists("quelmor.1"))) started = now;
                return started >= 0 && now - started >= delay;
            };
            const CliResult stopped = run.runAndSignalWhen(kArgs, ready, c.signal, c.wholeGroup);
            EXPECT_EQ(stopped.status, 128 + c.signal) << stopped.err;
            EXPECT_EQ(afterFewCoilsWarning(stopped.err), "");
            EXPECT_FALSE(stopped.processesLeft);
            const std::string interrupted = std::string("\nInterrupted by ") +
                                            (c.signal == SIGINT ? "SIGINT" : "SIGTERM") + "\n// Goodness = ";
            const size_t at = stopped.out.find(interrupted);
            ASSERT_NE(at, std::string::npos) << stopped.out.substr(stopped.out.size() / 2);
            const std::string report = stopped.out.substr(at + interrupted.size() - 14);
            EXPECT_EQ(stopped.out.back(), '\n');
            const std::string result = run.read("result.txt");
            EXPECT_NE(result.find(report.substr(0, report.find("\n\n\nWorst first"))), std::string::npos);
            const std::string log = run.read("log.csv");
            EXPECT_NE(result.find("// Goodness = " + bestInLog(log) + "\n"), std::string::npos) << log;
            for (const char* csv : {"log.csv", "coils.csv"}) {
                const std::string text = run.read(csv);
                EXPECT_TRUE(!text.empty() && text.back() == '\n') << csv;
            }
        }
    }
}

// A Control-C while the workers start is held until they have started, then
// stops the run as at any other time: at once with the final report, or,
// with snapshots, at the end of the first generation. The test build's hook
// keeps the master in that window until the signal is pending.
TEST(Faults, StopSignalWhileTheWorkersStartIsKept) {
    struct Case {
        const char* extra;
        const char* ending;
    };
    const Case cases[] = {
        {"", "\nInterrupted by SIGINT\n// Goodness = "},
        {"statefile state.bin\n", "\nState saved in state.bin at generation 1\nInterrupted by SIGINT\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.extra);
        CliRun run;
        prepare(run, std::string("maxgenerations 20\nminormax 50\nprocesses 2\n") + c.extra);
        std::vector<std::string> hooked = {QUELMO_HOOKED_BIN};
        hooked.insert(hooked.end(), kArgs.begin(), kArgs.end());
        const char* hook = "QUELMO_TEST_PAUSE_IN_WORKER_START";
        setenv(hook, "workers-starting", 1);
        const CliResult stopped = run.runCommandAndSignalWhen(
            hooked, [&run] { return run.exists("workers-starting"); }, SIGINT, std::string(hook) + "=");
        unsetenv(hook);
        EXPECT_EQ(stopped.status, 128 + SIGINT) << stopped.out.substr(stopped.out.size() / 2);
        EXPECT_EQ(afterFewCoilsWarning(stopped.err), "");
        EXPECT_FALSE(stopped.processesLeft);
        EXPECT_NE(stopped.out.find(c.ending), std::string::npos) << stopped.out;
        EXPECT_EQ(stopped.out.find("gen = 1 "), std::string::npos);
    }
}

// A result file that cannot be written outranks the stop signal that ended
// the run: its folder removed during the search, then SIGTERM, ends with 255,
// whether the stop waits for a snapshot at the end of the generation or not.
TEST(Faults, UnwritableResultOutranksTheSignal) {
    for (const char* snapshots : {"", "statefile state.bin\n"}) {
        SCOPED_TRACE(*snapshots != '\0' ? "with statefile" : "without statefile");
        CliRun run;
        run.copyExample("coils-small.txt");
        run.write("ranges.txt", readFile(sourcePath("examples/ranges-example.txt")) +
                                    "polish 0\nprocesses 2\nmaxgenerations 100000\nresultfile out/result.txt\n" +
                                    snapshots);
        std::filesystem::create_directory(run.dir() / "out");
        const auto removed = [&] {
            if (!run.exists("quelmor.0") && !run.exists("quelmor.1")) return false;
            std::filesystem::remove_all(run.dir() / "out");
            return true;
        };
        const CliResult stopped = run.runAndSignalWhen(kArgs, removed, SIGTERM);
        EXPECT_EQ(stopped.status, 255) << stopped.err;
        EXPECT_NE(stopped.out.find("Interrupted by SIGTERM\n"), std::string::npos);
        EXPECT_NE(stopped.err.find("Couldn't open out/result.txt for output\n"), std::string::npos) << stopped.err;
        EXPECT_FALSE(stopped.processesLeft);
    }
}

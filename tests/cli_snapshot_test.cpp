// Snapshots and resumption, end to end: a run killed or stopped after a
// snapshot and then resumed ends exactly as the uninterrupted run, a crash
// while a snapshot is written leaves the one before, and every snapshot that
// cannot be used is refused without touching it.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include "cli_util.h"
#include "snapshot_forge.h"

namespace {

const std::vector<std::string> kArgs = {"coils-small.txt", "ranges.txt"};

// Small fast jobs and enough generations that a run outlives the first
// snapshot by far; every few generations range adaptation moves the ranges
// (every ratio is below 1000), so the snapshot's range table matters.
std::string fitRanges(const std::string& extra) {
    return readFile(sourcePath("examples/ranges-example.txt")) + "polish 0\nnormalize 0\nreportstyle classic\n" +
           "minormax 50\nmaxgenerations 60\nresultfile result.txt\n"
           "rangeexpand 1\nraiselower 5\npctchange 1000\n" + extra;
}

// The first snapshot (generation 7) comes after the first range adaptation.
const std::string kSnapshots = "statefile state.bin\nstateevery 7\n";
const std::string kResume = "resume 1\n";

void prepare(const CliRun& run, const std::string& ranges) {
    run.copyExample("coils-small.txt");
    run.write("ranges.txt", ranges);
}

bool hasSnapshot(const CliRun& run) { return run.exists("state.bin"); }

// The number that follows `text` in `out`, or -1.
int numberAfter(const std::string& out, const std::string& text) {
    const size_t at = out.find(text);
    if (at == std::string::npos) return -1;
    return std::atoi(out.c_str() + at + text.size());
}

// The generation from the resumed run's "Resuming from ..." line.
int resumedAt(const std::string& out) { return numberAfter(out, "\nResuming from state.bin at generation "); }

// What the uninterrupted run printed after the snapshot of generation k:
// everything after generation k - 1's line and its range adaptation lines.
std::string afterGeneration(const std::string& out, int k) {
    size_t at = out.find("\ngen = " + std::to_string(k - 1) + " done already ");
    if (at == std::string::npos) return "(no such generation)";
    at = out.find('\n', at + 1) + 1;
    while (out.compare(at, 10, "  Lowered ") == 0 || out.compare(at, 9, "  Raised ") == 0) at = out.find('\n', at) + 1;
    return out.substr(at);
}

std::string afterResumeLine(const std::string& out) {
    const size_t at = out.find("\nResuming from ");
    if (at == std::string::npos) return "(no resume line)";
    return out.substr(out.find('\n', at + 1) + 1);
}

struct Uninterrupted {
    CliResult result;
    std::string resultFile;
};

Uninterrupted runWhole(const std::string& ranges) {
    CliRun run;
    prepare(run, ranges);
    Uninterrupted whole{run.run(kArgs), ""};
    whole.resultFile = run.read("result.txt");
    return whole;
}

// Resumes the run in `run` and checks that it ends as `whole` did.
void expectExactResume(const CliRun& run, const std::string& ranges, const Uninterrupted& whole) {
    run.write("ranges.txt", ranges + kResume);
    const CliResult resumed = run.run(kArgs);
    ASSERT_EQ(resumed.status, 0) << resumed.err;
    EXPECT_EQ(afterFewCoilsWarning(resumed.err), "");
    EXPECT_FALSE(resumed.processesLeft);
    const int k = resumedAt(resumed.out);
    ASSERT_GT(k, 0) << resumed.out;
    EXPECT_LT(k, 60);
    EXPECT_EQ(resumed.out.find("Generated "), std::string::npos);
    EXPECT_EQ(afterResumeLine(resumed.out), afterGeneration(whole.result.out, k));
    EXPECT_EQ(run.read("result.txt"), whole.resultFile);
}

}  // namespace

TEST(SnapshotRun, KilledRunResumesExactly) {
    // One worker; two and three workers with ordered dispatch. 71 jobs a
    // generation (tries 21) leave the two workers at different phases of
    // their grid search alternation at some snapshots.
    for (const std::string workers : {"processes 1\n", "processes 2\nordered 1\ntries 21\n", "processes 3\nordered 1\n"}) {
        SCOPED_TRACE(workers);
        const std::string ranges = fitRanges(workers + kSnapshots);
        const Uninterrupted whole = runWhole(ranges);
        ASSERT_EQ(whole.result.status, 0) << whole.result.err;

        // Snapshots do not change the run.
        const Uninterrupted plain = runWhole(fitRanges(workers));
        EXPECT_EQ(plain.resultFile, whole.resultFile);
        const std::string listed = "\ntest range\n";
        EXPECT_EQ(plain.result.out.substr(plain.result.out.find(listed)),
                  whole.result.out.substr(whole.result.out.find(listed)));

        CliRun run;
        prepare(run, ranges);
        const CliResult killed = run.runAndSignalWhen(kArgs, [&] { return hasSnapshot(run); }, SIGKILL);
        ASSERT_EQ(killed.status, 128 + SIGKILL) << "the run ended before it could be killed";
        EXPECT_FALSE(killed.processesLeft);
        expectExactResume(run, ranges, whole);
    }
}

// A snapshot made by an earlier program, with the coil and ranges files
// beside it in tests/fixtures/`name`, resumes to the end of the
// uninterrupted run.
void expectFixtureResumesExactly(const std::string& name) {
    const auto fixture = [&](const std::string& file) { return readFile(sourcePath("tests/fixtures/" + name + "/" + file)); };
    const std::string ranges = fixture("ranges.txt");
    CliRun first;
    first.write("coils-small.txt", fixture("coils-small.txt"));
    first.write("ranges.txt", ranges);
    const Uninterrupted whole{first.run(kArgs), first.read("result.txt")};
    ASSERT_EQ(whole.result.status, 0) << whole.result.err;

    CliRun run;
    run.write("coils-small.txt", fixture("coils-small.txt"));
    run.write("state.bin", fixture("state.bin"));
    expectExactResume(run, ranges, whole);
}

TEST(SnapshotRun, FirstFormatSnapshotResumesExactly) {
    // Made by the program before the current format: the snapshot of
    // generation 4 of 12.
    expectFixtureResumesExactly("snapshot-v1");
}

TEST(SnapshotRun, CurrentFormatSnapshotOfAnEarlierBuildResumesExactly) {
    // Made by an earlier build of the current format: the snapshot of
    // generation 3 of 12, two workers with ordered dispatch, at different
    // phases of their alternation, each with a job out.
    expectFixtureResumesExactly("snapshot-v2");
}

TEST(SnapshotRun, StopRequestsSaveAndEnd) {
    const std::string ranges = fitRanges("processes 2\nordered 1\n" + kSnapshots);
    const Uninterrupted whole = runWhole(ranges);
    ASSERT_EQ(whole.result.status, 0) << whole.result.err;

    struct Case {
        const char* name;
        int signal;       // 0: Escape on standard input
        bool wholeGroup;  // as a terminal's Control-C
        int status;
        const char* line;
    };
    const Case cases[] = {
        {"SIGINT to the process group", SIGINT, true, 128 + SIGINT, "Interrupted by SIGINT"},
        {"SIGTERM to the master", SIGTERM, false, 128 + SIGTERM, "Interrupted by SIGTERM"},
        {"Escape", 0, false, 255, "Quitting early"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CliRun run;
        prepare(run, ranges);
        // A signal is sent once the first snapshot exists, when the handlers
        // are surely in place.
        const CliResult stopped =
            c.signal != 0 ? run.runAndSignalWhen(kArgs, [&] { return hasSnapshot(run); }, c.signal, c.wholeGroup)
                          : run.runWithInput(kArgs, "\x1b");
        EXPECT_EQ(stopped.status, c.status) << stopped.err;
        EXPECT_EQ(afterFewCoilsWarning(stopped.err), "");
        EXPECT_FALSE(stopped.processesLeft);
        const std::string saved = "\nState saved in state.bin at generation ";
        const int k = numberAfter(stopped.out, saved);
        EXPECT_GT(k, 0);
        EXPECT_NE(stopped.out.find(saved + std::to_string(k) + "\n" + c.line + "\n// Goodness = "), std::string::npos)
            << stopped.out.substr(stopped.out.size() / 2);
        EXPECT_NE(stopped.out.find("\n\n\nWorst first\n"), std::string::npos);
        EXPECT_TRUE(run.exists("result.txt"));
        for (const char* request : {"quelmoi.0", "quelmoi.1"}) EXPECT_EQ(run.read(request), std::string(1, '\0'));
        expectExactResume(run, ranges, whole);
    }
}

TEST(SnapshotRun, CrashWhileWritingLeavesTheSnapshotBefore) {
    // A wire polynomial pinned at zero leaves every set unevaluable: the
    // population never improves and the operators keep making sets made
    // generations before, so the rejected counts after the resume also check
    // the restored duplicate library.
    const std::string stagnant = "w0 0 0 1e-300 0.01 2\nw1 0 0 1e-300 0.01 2\nw2 0 0 1e-300 0.01 2\n";
    const std::string ranges = fitRanges("processes 1\n" + stagnant + kSnapshots);
    const Uninterrupted whole = runWhole(ranges);
    ASSERT_EQ(whole.result.status, 0) << whole.result.err;

    CliRun run;
    prepare(run, ranges);
    // Test hook of the test build: the process kills itself during its
    // second snapshot (of generation 14), after writing it in full and
    // before renaming it.
    std::vector<std::string> hooked = {QUELMO_HOOKED_BIN};
    hooked.insert(hooked.end(), kArgs.begin(), kArgs.end());
    setenv("QUELMO_TEST_KILL_IN_SNAPSHOT", "2", 1);
    const CliResult crashed = run.runCommand(hooked);
    unsetenv("QUELMO_TEST_KILL_IN_SNAPSHOT");
    ASSERT_EQ(crashed.status, 128 + SIGKILL);
    EXPECT_FALSE(crashed.processesLeft);
    int temporary = 0;
    for (const std::string& name : run.files()) temporary += name.rfind(".quelmo-", 0) == 0 ? 1 : 0;
    EXPECT_EQ(temporary, 1);

    run.write("ranges.txt", ranges + kResume);
    const CliResult resumed = run.run(kArgs);
    ASSERT_EQ(resumed.status, 0) << resumed.err;
    EXPECT_EQ(resumedAt(resumed.out), 7);
    EXPECT_EQ(afterResumeLine(resumed.out), afterGeneration(whole.result.out, 7));
    EXPECT_EQ(run.read("result.txt"), whole.resultFile);
    // The killed run's temporary went at the start of the next.
    for (const std::string& name : run.files()) EXPECT_NE(name.rfind(".quelmo-", 0), 0u) << name;
}

TEST(SnapshotRun, UnusableSnapshotsAreRefusedAndLeftAlone) {
    const std::string base = readFile(sourcePath("examples/ranges-example.txt")) +
                             "polish 0\nnormalize 0\nreportstyle classic\n" +
                             "minormax 50\nmaxgenerations 3\nresultfile result.txt\n";
    const std::string resume = "statefile state.bin\nstateevery 1\n";

    // A good snapshot, written at the end of a three-generation run.
    CliRun source;
    prepare(source, base + resume);
    const CliResult made = source.run(kArgs);
    ASSERT_EQ(made.status, 0) << made.err;
    const std::string good = source.read("state.bin");
    ASSERT_GT(good.size(), 1000u);
    const std::string size = std::to_string(good.size());

    struct Case {
        const char* name;
        std::string state;  // the snapshot's bytes; "" with `directory` or `missing`
        bool missing = false;
        bool directory = false;
        std::string ranges = "";  // replaces the ranges file's settings after `base`
        std::string coils = "";   // replaces the coil file when given
        std::string err;
        uint64_t sparseSize = 0;  // the file is extended to this size by a hole
    };
    std::string corrupted = good;
    corrupted[corrupted.size() / 2] = static_cast<char>(corrupted[corrupted.size() / 2] ^ 0x10);
    std::string otherVersion = good;
    otherVersion[8] = 3;
    // Forgeries with valid checksums: a generation no run of 3 reaches, and a
    // best member that scores better than its set does.
    ForgedSnapshot lateGeneration(good);
    lateGeneration.set<int32_t>(lateGeneration.body("counters"), INT_MAX);
    ForgedSnapshot betterMember(good);
    const size_t member = betterMember.body("population") + 4;
    char scores[32];
    std::snprintf(scores, sizeof scores, "%g", betterMember.get<double>(member));
    betterMember.set<double>(member, 1e-9);
    // Sparse files far beyond the snapshot: its header as written, and one
    // that gives the whole size, so that nothing but zeros follows the last
    // section.
    constexpr uint64_t k4GiB = uint64_t{1} << 32;
    constexpr uint64_t k64GiB = uint64_t{1} << 36;
    ForgedSnapshot longHeader(good);
    longHeader.set<uint64_t>(16, k64GiB);
    const std::string coils = readFile(sourcePath("examples/coils-small.txt"));
    const std::string fewerCoils = coils.substr(0, coils.rfind('\n', coils.size() - 2) + 1);
    const std::string prefix = "Cannot resume from state.bin: ";
    const Case cases[] = {
        {"missing", "", true, false, "", "", prefix + "it does not exist\n"},
        {"a directory", "", false, true, "", "", prefix + "it cannot be read (Is a directory)\n"},
        {"empty", "", false, false, "", "", prefix + "it is empty\n"},
        {"not a snapshot", "resultfile result.txt\n", false, false, "", "", prefix + "it is not a quelmo snapshot\n"},
        {"truncated", good.substr(0, good.size() / 2), false, false, "", "",
         prefix + "it is truncated (" + std::to_string(good.size() / 2) + " of " + size + " bytes)\n"},
        {"truncated header", good.substr(0, 12), false, false, "", "", prefix + "it is truncated (12 of 24 bytes)\n"},
        {"corrupted byte", corrupted, false, false, "", "", prefix + "it is corrupted (checksum mismatch)\n"},
        {"other version", otherVersion, false, false, "", "",
         prefix + "it has format version 3, this program reads versions 1 and 2\n"},
        {"a generation beyond maxgenerations", lateGeneration.bytes(), false, false, "", "",
         prefix + "it is corrupted (generation 2147483647, maxgenerations is 3)\n"},
        {"a forged best goodness", betterMember.bytes(), false, false, "", "",
         prefix + "it is corrupted (population member 1 has goodness 1e-09, its set scores " + scores + ")\n"},
        {"4 GiB, sparse", good, false, false, "", "",
         prefix + "it is corrupted (its header gives " + size + " bytes, the file has " + std::to_string(k4GiB) +
             ")\n",
         k4GiB},
        {"64 GiB, sparse, as its header says", longHeader.bytes(), false, false, "", "",
         prefix + "it is corrupted (section at byte " + size + ")\n", k64GiB},
        {"other coil file", good, false, false, "", fewerCoils,
         prefix + "it was made from another coil file than coils-small.txt\n"},
        {"other ranges file", good, false, false, "r0 -5e-5 6e-5 1e-6 1e-7 6\n", "",
         prefix + "it was made from another ranges file than ranges.txt\n"},
        {"other settings", good, false, false, "seed 7\n", "",
         prefix + "it was made with seed 20240611, this run has 7: set seed back to 20240611 to resume it, or "
                  "remove it to start afresh\n"},
        {"a smaller maxgenerations than the run reached", good, false, false, "maxgenerations 2\n", "",
         prefix + "it was made with maxgenerations 3, this run has 2; its run ended at generation 3: set "
                  "maxgenerations back to 3 to see its final report, or above 3 to continue it\n"},
        {"another base formula", good, false, false, "base sheet\n", "",
         prefix + "it was made with base none, this run has sheet: set base back to none to resume it, or remove it to "
                  "start afresh\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CliRun run;
        prepare(run, base + resume + c.ranges + kResume);
        if (!c.coils.empty()) run.write("coils-small.txt", c.coils);
        if (c.directory) std::filesystem::create_directory(run.dir() / "state.bin");
        if (!c.missing && !c.directory) run.write("state.bin", c.state);
        if (c.sparseSize != 0) std::filesystem::resize_file(run.dir() / "state.bin", c.sparseSize);
        const CliResult result = run.run(kArgs);
        EXPECT_EQ(result.status, 255);
        EXPECT_EQ(afterFewCoilsWarning(result.err), c.err);
        EXPECT_FALSE(result.processesLeft);
        EXPECT_EQ(result.out.find("Generated "), std::string::npos);
        EXPECT_EQ(result.out.find("Resuming "), std::string::npos);
        EXPECT_FALSE(run.exists("result.txt"));
        if (c.missing) {
            EXPECT_FALSE(run.exists("state.bin"));
        } else if (c.directory) {
            EXPECT_TRUE(std::filesystem::is_directory(run.dir() / "state.bin"));
        } else if (c.sparseSize != 0) {
            EXPECT_EQ(std::filesystem::file_size(run.dir() / "state.bin"), c.sparseSize);
            std::ifstream in(run.dir() / "state.bin", std::ios::binary);
            std::string head(c.state.size(), '\0');
            in.read(head.data(), static_cast<std::streamsize>(head.size()));
            EXPECT_EQ(head, c.state);
        } else {
            EXPECT_EQ(run.read("state.bin"), c.state);
        }
    }

    // Settings that cannot work are refused before anything starts.
    const struct {
        const char* settings;
        const char* err;
    } refused[] = {
        {"resume 1\n", "Setting resume is 1, but no statefile names the snapshot to resume from\n"},
        {"statefile missing/state.bin\n", "Cannot write snapshots to missing/state.bin: No such file or directory\n"},
        // A fresh run would write over the snapshot.
        {"statefile state.bin\n",
         "The snapshot state.bin exists and resume is 0: set resume 1 to continue it, or remove it to start "
         "afresh\n"},
        {"statefile state.bin\nresume 0\n",
         "The snapshot state.bin exists and resume is 0: set resume 1 to continue it, or remove it to start "
         "afresh\n"},
    };
    for (const auto& r : refused) {
        SCOPED_TRACE(r.settings);
        CliRun run;
        prepare(run, base + r.settings);
        run.write("state.bin", good);
        const CliResult result = run.run(kArgs);
        EXPECT_EQ(result.status, 255);
        EXPECT_EQ(afterFewCoilsWarning(result.err), r.err);
        EXPECT_EQ(result.out.find("Generated "), std::string::npos);
        EXPECT_EQ(run.read("state.bin"), good);
    }
}

// A run that ended at maxgenerations goes on from its snapshot to a larger
// limit and ends exactly as one run to that limit; a run that the stall
// limit ended is not continued.
TEST(SnapshotRun, AFinishedRunContinuesToALargerLimit) {
    const std::string base = readFile(sourcePath("examples/ranges-example.txt")) +
                             "polish 0\nnormalize 0\nreportstyle classic\n" +
                             "minormax 50\nprocesses 1\nordered 1\nresultfile result.txt\nstatefile state.bin\n";
    const Uninterrupted whole = runWhole(base + "maxgenerations 60\n");
    ASSERT_EQ(whole.result.status, 0) << whole.result.err;

    CliRun run;
    prepare(run, base + "maxgenerations 30\n");
    const CliResult first = run.run(kArgs);
    ASSERT_EQ(first.status, 0) << first.err;
    run.write("ranges.txt", base + "maxgenerations 60\n" + kResume);
    const CliResult continued = run.run(kArgs);
    ASSERT_EQ(continued.status, 0) << continued.err;
    EXPECT_EQ(afterFewCoilsWarning(continued.err), "");
    EXPECT_EQ(resumedAt(continued.out), 30);
    EXPECT_EQ(afterResumeLine(continued.out), afterGeneration(whole.result.out, 30));
    EXPECT_EQ(run.read("result.txt"), whole.resultFile);

    // quitat 0 ends the run at the first generation without a better set
    // (with the smallest local grid, within a hundred generations).
    CliRun stalled;
    prepare(stalled, base + "minormax 1\nquitat 0\nmaxgenerations 200\n");
    const CliResult ended = stalled.run(kArgs);
    ASSERT_EQ(ended.status, 0) << ended.err;
    ASSERT_NE(ended.out.find("\nGone to long without results\n"), std::string::npos);
    const std::string state = stalled.read("state.bin");
    stalled.write("ranges.txt", base + "minormax 1\nquitat 0\nmaxgenerations 400\n" + kResume);
    const CliResult refused = stalled.run(kArgs);
    EXPECT_EQ(refused.status, 255);
    EXPECT_TRUE(std::regex_match(afterFewCoilsWarning(refused.err),
                                 std::regex("Cannot resume from state\\.bin: its run ended at generation [0-9]+ "
                                            "because quitat 0 stopped it \\(no better set since generation "
                                            "[0-9]+\\), so a larger maxgenerations cannot continue it: set "
                                            "maxgenerations back to 200 to see its final report, or remove it to "
                                            "start afresh\n")))
        << refused.err;
    EXPECT_EQ(stalled.read("state.bin"), state);
}

// The generation log's rows without their last field, the time.
std::vector<std::string> rowsWithoutTimes(const std::string& log) {
    std::vector<std::string> rows;
    for (size_t at = log.find('\n') + 1; at < log.size(); at = log.find('\n', at) + 1)
        rows.push_back(log.substr(at, log.rfind(',', log.find('\n', at)) - at));
    return rows;
}

// The times of the generation log's rows.
std::vector<double> rowTimes(const std::string& log) {
    std::vector<double> times;
    for (size_t at = log.find('\n') + 1; at < log.size(); at = log.find('\n', at) + 1)
        times.push_back(std::atof(log.c_str() + log.rfind(',', log.find('\n', at)) + 1));
    return times;
}

// A resumed run's log holds the rows of the run before it up to the
// snapshot, then its own: the rows of one uninterrupted run, and times that
// go on from the earlier ones. Continued after its end, killed after a
// snapshot, and resumed without the earlier log, which is said.
TEST(SnapshotRun, AResumedRunsLogKeepsItsRows) {
    const std::string base = readFile(sourcePath("examples/ranges-example.txt")) + "polish 0\nnormalize 0\nreportstyle classic\n" +
                             "minormax 50\nprocesses 1\nresultfile result.txt\nstatefile state.bin\n" +
                             "logcsv log.csv\n";
    CliRun whole;
    prepare(whole, base + "maxgenerations 20\n");
    ASSERT_EQ(whole.run(kArgs).status, 0);
    const std::vector<std::string> wholeRows = rowsWithoutTimes(whole.read("log.csv"));
    ASSERT_EQ(wholeRows.size(), 20u);

    const auto expectWholeLog = [&](const CliRun& run, int k) {
        const std::string log = run.read("log.csv");
        EXPECT_EQ(log.substr(0, log.find('\n') + 1), "generation,tested,best1,best2,best3,best4,library_size,rejects,elapsed_s\n");
        EXPECT_EQ(rowsWithoutTimes(log), wholeRows) << log;
        const std::vector<double> times = rowTimes(log);
        ASSERT_EQ(times.size(), 20u);
        EXPECT_LE(times[static_cast<size_t>(k) - 1], times[static_cast<size_t>(k)]) << log;
    };

    CliRun continued;
    prepare(continued, base + "maxgenerations 10\n");
    ASSERT_EQ(continued.run(kArgs).status, 0);
    continued.write("ranges.txt", base + "maxgenerations 20\n" + kResume);
    const CliResult more = continued.run(kArgs);
    ASSERT_EQ(more.status, 0) << more.err;
    EXPECT_EQ(afterFewCoilsWarning(more.err), "");
    expectWholeLog(continued, 10);
    // Resumed once more at its end, it gives its final report alone and
    // leaves the log as it was.
    const std::string log = continued.read("log.csv");
    ASSERT_EQ(continued.run(kArgs).status, 0);
    EXPECT_EQ(continued.read("log.csv"), log);

    // Killed at some point after its first snapshot (generation 7 or later):
    // the log was written with it.
    const std::string every7 = base + "stateevery 7\nmaxgenerations 20\n";
    CliRun killed;
    prepare(killed, every7);
    ASSERT_EQ(killed.runAndSignalWhen(kArgs, [&] { return hasSnapshot(killed); }, SIGKILL).status, 128 + SIGKILL);
    killed.write("ranges.txt", every7 + kResume);
    const CliResult resumed = killed.run(kArgs);
    ASSERT_EQ(resumed.status, 0) << resumed.err;
    EXPECT_EQ(afterFewCoilsWarning(resumed.err), "");
    expectWholeLog(killed, resumedAt(resumed.out));

    CliRun lost;
    prepare(lost, base + "maxgenerations 10\n");
    ASSERT_EQ(lost.run(kArgs).status, 0);
    std::filesystem::remove(lost.dir() / "log.csv");
    lost.write("ranges.txt", base + "maxgenerations 20\n" + kResume);
    const CliResult without = lost.run(kArgs);
    ASSERT_EQ(without.status, 0) << without.err;
    EXPECT_EQ(afterFewCoilsWarning(without.err),
              "Warning: log.csv lacks the rows of generations 0 to 9 (it does not exist): the log goes on from "
              "generation 10 without them\n");
    EXPECT_EQ(rowsWithoutTimes(lost.read("log.csv")),
              std::vector<std::string>(wholeRows.begin() + 10, wholeRows.end()));
}

TEST(SnapshotRun, ResumingAFinishedRunGivesItsFinalReport) {
    const std::string ranges = readFile(sourcePath("examples/ranges-example.txt")) +
                               "polish 0\nnormalize 0\nreportstyle classic\n" +
                               "minormax 50\nmaxgenerations 3\nresultfile result.txt\nstatefile state.bin\n";
    CliRun run;
    prepare(run, ranges);
    const CliResult whole = run.run(kArgs);
    ASSERT_EQ(whole.status, 0) << whole.err;
    const std::string result = run.read("result.txt");
    const std::string state = run.read("state.bin");
    run.write("ranges.txt", ranges + kResume);
    const CliResult resumed = run.run(kArgs);
    ASSERT_EQ(resumed.status, 0) << resumed.err;
    EXPECT_EQ(resumedAt(resumed.out), 3);
    EXPECT_EQ(afterResumeLine(resumed.out), afterGeneration(whole.out, 3));
    EXPECT_EQ(run.read("result.txt"), result);
    EXPECT_EQ(run.read("state.bin"), state);
}

TEST(SnapshotRun, AFailedWriteIsReportedAndTheRunGoesOn) {
    CliRun run;
    prepare(run, fitRanges("processes 1\nstatefile sub/state.bin\nstateevery 7\nmaxgenerations 30\n"));
    std::filesystem::create_directory(run.dir() / "sub");
    // Once the first snapshot is there, its directory goes away (signal 0
    // sends nothing).
    const CliResult result = run.runAndSignalWhen(
        kArgs,
        [&] {
            if (!run.exists("sub/state.bin")) return false;
            std::filesystem::remove_all(run.dir() / "sub");
            return true;
        },
        0);
    EXPECT_EQ(result.status, 255);
    EXPECT_FALSE(result.processesLeft);
    EXPECT_NE(result.err.find("Couldn't write snapshot sub/state.bin: No such file or directory\n"), std::string::npos)
        << result.err;
    EXPECT_NE(result.out.find("\ngen = 29 done already "), std::string::npos);
    EXPECT_NE(result.out.find("\n\n\nWorst first\n"), std::string::npos);
    EXPECT_TRUE(run.exists("result.txt"));
}

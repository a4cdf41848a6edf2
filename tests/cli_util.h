// Runs the built quelmo, or any command, in a fresh temporary directory and
// captures what it prints, its exit status and whether any of its processes
// outlived it. A run is a session of its own: every process it starts counts
// as one of its processes, in whatever process group it puts itself.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

struct CliResult {
    int status = -1;            // exit status, or 128 + signal
    std::string out;            // standard output
    std::string err;            // standard error
    bool timedOut = false;      // the master had to be killed
    bool processesLeft = false; // a process of the run was still alive after the grace period
};

class CliRun {
public:
    CliRun();
    ~CliRun();
    CliRun(const CliRun&) = delete;
    CliRun& operator=(const CliRun&) = delete;

    // The working directory of the program.
    const std::filesystem::path& dir() const { return dir_; }

    void write(const std::string& name, const std::string& content) const;
    std::string read(const std::string& name) const;
    bool exists(const std::string& name) const;
    // Copies examples/<name> into the working directory.
    void copyExample(const std::string& name) const;
    // Names of the files in the working directory, sorted.
    std::vector<std::string> files() const;

    // Runs quelmo with the given arguments. Standard input is /dev/null, or a
    // pipe that delivers `input` and is then closed when `useInput` is set.
    CliResult run(const std::vector<std::string>& args, double timeoutSeconds = 120,
                  double graceSeconds = 10) const;
    CliResult runWithInput(const std::vector<std::string>& args, const std::string& input,
                           double timeoutSeconds = 120, double graceSeconds = 10) const;
    // Kills the master alone with SIGKILL after `seconds`, as a crash would.
    CliResult runAndKillMaster(const std::vector<std::string>& args, double seconds,
                               double graceSeconds = 10) const;
    // Sends `signal` once `ready()` holds (asked every few milliseconds while
    // the program runs), to the master alone or to its whole process group as
    // a terminal's Control-C would, then waits for the program to end.
    CliResult runAndSignalWhen(const std::vector<std::string>& args, const std::function<bool()>& ready,
                               int signal, bool wholeGroup = false, double timeoutSeconds = 120,
                               double graceSeconds = 10) const;
    // Calls `action` with the master's pid every `seconds` while the run
    // lasts, as an operator or a failing machine would act on it.
    CliResult runActing(const std::vector<std::string>& args, double seconds,
                        const std::function<void(pid_t)>& action, double timeoutSeconds = 120) const;

    // The same for any command: the program (a path) first, then its arguments.
    CliResult runCommand(const std::vector<std::string>& command, double timeoutSeconds = 120,
                         double graceSeconds = 10) const;
    CliResult runCommandWithInput(const std::vector<std::string>& command, const std::string& input,
                                  double timeoutSeconds = 120, double graceSeconds = 10) const;
    // After `seconds`, kills with SIGKILL every process of the run whose
    // environment holds `environmentEntry` ("NAME=value"), then lets the run
    // end on its own.
    CliResult runCommandAndKill(const std::vector<std::string>& command, double seconds,
                                const std::string& environmentEntry, double timeoutSeconds = 120,
                                double graceSeconds = 10) const;
    // Once `ready()` holds, sends `signal` to every process of the run with
    // an environment entry that starts with `environmentPrefix`, as a batch
    // system signals every task of a job ("OMPI_COMM_WORLD_RANK=": every
    // rank), then lets the run end on its own.
    CliResult runCommandAndSignalWhen(const std::vector<std::string>& command, const std::function<bool()>& ready,
                                      int signal, const std::string& environmentPrefix,
                                      double timeoutSeconds = 120, double graceSeconds = 10) const;

private:
    struct Launch {
        std::vector<std::string> command;
        const std::string* input = nullptr;
        double timeoutSeconds = 120;
        double graceSeconds = 10;
        double killAfter = 0;          // seconds; 0: kill nothing
        std::string victimEnvironment; // empty: the victim is the command itself
        const std::function<void(pid_t)>* action = nullptr;  // called with the command's pid
        double actionEvery = 0;        // seconds between calls of `action`
    };
    CliResult launch(const Launch& how) const;
    std::filesystem::path base_;
    std::filesystem::path dir_;
};

// The command that runs the built quelmo with `args`.
std::vector<std::string> programCommand(const std::vector<std::string>& args);
std::string sourcePath(const std::string& relative);
// The pids of the processes whose parent is `parent`.
std::vector<pid_t> childrenOf(pid_t parent);
std::string readFile(const std::filesystem::path& path);

// How often `piece` occurs in `text`.
int countOf(const std::string& text, const std::string& piece);
// The example ranges cut down to small, fast jobs (two windows of six values
// per job), a few generations with one worker and result.txt as the result
// file, followed by `extra`.
std::string quickRanges(const std::string& extra = "");
// The small example coils and quickRanges(extra) as ranges.txt in the run's
// directory.
void prepareQuickRun(const CliRun& run, const std::string& extra = "");

// The warning of a run with fewer coils than its free coefficients plus two
// (the example ranges leave 12 free): `coils` of them, in `file`.
inline std::string fewCoilsWarning(const std::string& file, int coils = 12, int free = 12) {
    return "Warning: " + std::to_string(coils) + (coils == 1 ? " coil of " : " coils of ") + file +
           (coils == 1 ? " counts" : " count") + " in the goodness, fewer than the " + std::to_string(free) +
           " free coefficients plus two: the data do not determine the formula, and its statistics need at least " +
           std::to_string(free + 2) + " coils\n";
}

// `err` without the line of that warning, for the tests of what else a run
// writes there.
inline std::string afterFewCoilsWarning(std::string err) {
    const size_t at = err.find(" free coefficients plus two: the data do not determine the formula");
    if (at == std::string::npos) return err;
    const size_t begin = err.rfind('\n', at) == std::string::npos ? 0 : err.rfind('\n', at) + 1;
    return err.erase(begin, err.find('\n', at) + 1 - begin);
}

// The banner line every run starts with.
inline const std::string kBanner = "quelmo V20.03.008 EQUATION J RMS goodness\n";

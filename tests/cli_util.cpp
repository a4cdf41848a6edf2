#include "cli_util.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

namespace {

double now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Orphaned processes of a run are re-parented to the test process, so it can
// reap them and see whether any outlived the run.
void becomeSubreaper() {
    static const bool done = [] {
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        return true;
    }();
    (void)done;
}

struct ProcessInfo {
    pid_t pid;
    pid_t parent;
    pid_t session;
    char state;
};

// Fields 3, 4 and 6 of /proc/<pid>/stat; the name before them may hold
// blanks and parentheses, so they are read after its last ')'.
bool readProcessInfo(pid_t pid, ProcessInfo& info) {
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return false;
    int parent = 0;
    int group = 0;
    int session = 0;
    char state = 0;
    if (std::sscanf(stat.c_str() + close + 1, " %c %d %d %d", &state, &parent, &group, &session) != 4)
        return false;
    info = {pid, parent, session, state};
    return true;
}

// The live processes of session `session`. Exited ones that are this
// process's children are reaped on the way, except the session's leader,
// which the run's own wait reaps; none of them counts, so that killing a
// session whose leader has exited ends.
std::vector<pid_t> sessionMembers(pid_t session) {
    std::vector<pid_t> members;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        ProcessInfo info{};
        if (!readProcessInfo(std::stoi(name), info) || info.session != session) continue;
        if (info.state == 'Z') {
            if (info.parent == getpid() && info.pid != session) waitpid(info.pid, nullptr, WNOHANG);
            continue;
        }
        members.push_back(info.pid);
    }
    return members;
}

// True when the process's environment holds `entry`, or with `prefixOnly`
// an entry that starts with it.
bool environmentHolds(pid_t pid, const std::string& entry, bool prefixOnly = false) {
    const std::string environment = readFile("/proc/" + std::to_string(pid) + "/environ");
    const std::string wanted = prefixOnly ? entry : entry + '\0';
    return environment.rfind(wanted, 0) == 0 || environment.find('\0' + wanted) != std::string::npos;
}

void killSession(pid_t session) {
    while (true) {
        const std::vector<pid_t> members = sessionMembers(session);
        if (members.empty()) return;
        for (const pid_t pid : members) kill(pid, SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string sourcePath(const std::string& relative) {
    return std::string(QUELMO_SOURCE_DIR) + "/" + relative;
}

CliRun::CliRun() {
    std::string pattern = (fs::temp_directory_path() / "quelmo-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    base_ = pattern;
    dir_ = base_ / "work";
    fs::create_directory(dir_);
}

CliRun::~CliRun() {
    std::error_code ignored;
    fs::remove_all(base_, ignored);
}

void CliRun::write(const std::string& name, const std::string& content) const {
    std::ofstream(dir_ / name, std::ios::binary) << content;
}

std::string CliRun::read(const std::string& name) const { return readFile(dir_ / name); }

bool CliRun::exists(const std::string& name) const { return fs::exists(dir_ / name); }

void CliRun::copyExample(const std::string& name) const {
    fs::copy_file(sourcePath("examples/" + name), dir_ / name, fs::copy_options::overwrite_existing);
}

std::vector<std::string> CliRun::files() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

CliResult CliRun::run(const std::vector<std::string>& args, double timeoutSeconds,
                      double graceSeconds) const {
    return runCommand(programCommand(args), timeoutSeconds, graceSeconds);
}

CliResult CliRun::runWithInput(const std::vector<std::string>& args, const std::string& input,
                               double timeoutSeconds, double graceSeconds) const {
    return runCommandWithInput(programCommand(args), input, timeoutSeconds, graceSeconds);
}

CliResult CliRun::runAndKillMaster(const std::vector<std::string>& args, double seconds,
                                  double graceSeconds) const {
    Launch how;
    how.command = programCommand(args);
    how.timeoutSeconds = seconds + 120;
    how.graceSeconds = graceSeconds;
    how.killAfter = seconds;
    return launch(how);
}

CliResult CliRun::runAndSignalWhen(const std::vector<std::string>& args, const std::function<bool()>& ready,
                                   int signal, bool wholeGroup, double timeoutSeconds,
                                   double graceSeconds) const {
    bool signalled = false;
    const std::function<void(pid_t)> action = [&](pid_t child) {
        if (signalled || !ready()) return;
        kill(wholeGroup ? -child : child, signal);
        signalled = true;
    };
    Launch how;
    how.command = programCommand(args);
    how.timeoutSeconds = timeoutSeconds;
    how.graceSeconds = graceSeconds;
    how.action = &action;
    how.actionEvery = 0.002;
    return launch(how);
}

CliResult CliRun::runActing(const std::vector<std::string>& args, double seconds,
                            const std::function<void(pid_t)>& action, double timeoutSeconds) const {
    Launch how;
    how.command = programCommand(args);
    how.timeoutSeconds = timeoutSeconds;
    how.action = &action;
    how.actionEvery = seconds;
    return launch(how);
}

int countOf(const std::string& text, const std::string& piece) {
    int count = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++count;
    return count;
}

std::string quickRanges(const std::string& extra) {
    return readFile(sourcePath("examples/ranges-example.txt")) + "polish 0\nnormalize 0\nreportstyle classic\n" +
           "minormax 50\nmaxgenerations 3\nprocesses 1\nresultfile result.txt\n" + extra;
}

void prepareQuickRun(const CliRun& run, const std::string& extra) {
    run.copyExample("coils-small.txt");
    run.write("ranges.txt", quickRanges(extra));
}

std::vector<pid_t> childrenOf(pid_t parent) {
    std::vector<pid_t> children;
    std::ifstream list("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) + "/children");
    for (pid_t pid; list >> pid;) children.push_back(pid);
    return children;
}

CliResult CliRun::runCommand(const std::vector<std::string>& command, double timeoutSeconds,
                             double graceSeconds) const {
    Launch how;
    how.command = command;
    how.timeoutSeconds = timeoutSeconds;
    how.graceSeconds = graceSeconds;
    return launch(how);
}

CliResult CliRun::runCommandWithInput(const std::vector<std::string>& command, const std::string& input,
                                      double timeoutSeconds, double graceSeconds) const {
    Launch how;
    how.command = command;
    how.input = &input;
    how.timeoutSeconds = timeoutSeconds;
    how.graceSeconds = graceSeconds;
    return launch(how);
}

CliResult CliRun::runCommandAndKill(const std::vector<std::string>& command, double seconds,
                                    const std::string& environmentEntry, double timeoutSeconds,
                                    double graceSeconds) const {
    Launch how;
    how.command = command;
    how.timeoutSeconds = timeoutSeconds;
    how.graceSeconds = graceSeconds;
    how.killAfter = seconds;
    how.victimEnvironment = environmentEntry;
    return launch(how);
}

CliResult CliRun::runCommandAndSignalWhen(const std::vector<std::string>& command, const std::function<bool()>& ready,
                                          int signal, const std::string& environmentPrefix, double timeoutSeconds,
                                          double graceSeconds) const {
    bool signalled = false;
    const std::function<void(pid_t)> action = [&](pid_t child) {
        if (signalled || !ready()) return;
        for (const pid_t pid : sessionMembers(child))
            if (environmentHolds(pid, environmentPrefix, true)) kill(pid, signal);
        signalled = true;
    };
    Launch how;
    how.command = command;
    how.timeoutSeconds = timeoutSeconds;
    how.graceSeconds = graceSeconds;
    how.action = &action;
    how.actionEvery = 0.002;
    return launch(how);
}

std::vector<std::string> programCommand(const std::vector<std::string>& args) {
    std::vector<std::string> command{QUELMO_BIN};
    command.insert(command.end(), args.begin(), args.end());
    return command;
}

CliResult CliRun::launch(const Launch& how) const {
    becomeSubreaper();
    const fs::path outPath = base_ / "stdout";
    const fs::path errPath = base_ / "stderr";
    const std::string* input = how.input;
    int inputPipe[2] = {-1, -1};
    if (input != nullptr && pipe(inputPipe) != 0) throw std::runtime_error("pipe failed");

    std::vector<std::string> copies = how.command;
    std::vector<char*> argv;
    for (std::string& arg : copies) argv.push_back(arg.data());
    argv.push_back(nullptr);

    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) {
        setsid();
        int in = input != nullptr ? inputPipe[0] : open("/dev/null", O_RDONLY);
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        if (input != nullptr) close(inputPipe[1]);
        if (chdir(dir_.c_str()) != 0) _exit(127);
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (input != nullptr) {
        close(inputPipe[0]);
        const char* data = input->data();
        size_t left = input->size();
        while (left > 0) {
            const ssize_t written = ::write(inputPipe[1], data, left);
            if (written <= 0) break;
            data += written;
            left -= static_cast<size_t>(written);
        }
        close(inputPipe[1]);
    }

    CliResult result;
    int status = 0;
    const double start = now();
    const double deadline = start + how.timeoutSeconds;
    double nextAction = start + how.actionEvery;
    bool killed = false;
    while (true) {
        const pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child) break;
        if (how.action != nullptr && now() > nextAction) {
            (*how.action)(child);
            nextAction = now() + how.actionEvery;
        }
        if (!killed && how.killAfter > 0 && now() > start + how.killAfter) {
            killed = true;
            if (how.victimEnvironment.empty()) {
                kill(child, SIGKILL);
                waitpid(child, &status, 0);
                break;
            }
            for (const pid_t pid : sessionMembers(child))
                if (environmentHolds(pid, how.victimEnvironment)) kill(pid, SIGKILL);
        }
        if (now() > deadline) {
            result.timedOut = true;
            killSession(child);
            waitpid(child, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);

    const double graceEnd = now() + how.graceSeconds;
    while (!sessionMembers(child).empty() && now() < graceEnd)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (!sessionMembers(child).empty()) {
        result.processesLeft = true;
        killSession(child);
    }
    result.out = readFile(outPath);
    result.err = readFile(errPath);
    return result;
}

#include "cli_util.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

// Orphaned workers are re-parented to the test process, so it can reap them
// and see whether any outlived the master.
void becomeSubreaper() {
    static const bool done = [] {
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        return true;
    }();
    (void)done;
}

// Reaps every exited process of the group; true while any is alive.
bool groupAlive(pid_t group) {
    while (true) {
        int status = 0;
        const pid_t pid = waitpid(-group, &status, WNOHANG);
        if (pid > 0) continue;
        if (pid == 0) return true;
        return errno != ECHILD;
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
    return launch(args, nullptr, timeoutSeconds, graceSeconds);
}

CliResult CliRun::runWithInput(const std::vector<std::string>& args, const std::string& input,
                               double timeoutSeconds, double graceSeconds) const {
    return launch(args, &input, timeoutSeconds, graceSeconds);
}

CliResult CliRun::runAndKillMaster(const std::vector<std::string>& args, double seconds,
                                  double graceSeconds) const {
    const double start = now();
    return runAndSignalWhen(args, [=] { return now() > start + seconds; }, SIGKILL, false, seconds + 120,
                            graceSeconds);
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
    return launch(args, nullptr, timeoutSeconds, graceSeconds, &action, 0.002);
}

CliResult CliRun::runActing(const std::vector<std::string>& args, double seconds,
                            const std::function<void(pid_t)>& action, double timeoutSeconds) const {
    return launch(args, nullptr, timeoutSeconds, 10, &action, seconds);
}

std::vector<pid_t> childrenOf(pid_t parent) {
    std::vector<pid_t> children;
    std::ifstream list("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) + "/children");
    for (pid_t pid; list >> pid;) children.push_back(pid);
    return children;
}

CliResult CliRun::launch(const std::vector<std::string>& args, const std::string* input,
                         double timeoutSeconds, double graceSeconds,
                         const std::function<void(pid_t)>* action, double actionEvery) const {
    becomeSubreaper();
    const fs::path outPath = base_ / "stdout";
    const fs::path errPath = base_ / "stderr";
    int inputPipe[2] = {-1, -1};
    if (input != nullptr && pipe(inputPipe) != 0) throw std::runtime_error("pipe failed");

    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) {
        setpgid(0, 0);
        int in = input != nullptr ? inputPipe[0] : open("/dev/null", O_RDONLY);
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        if (input != nullptr) close(inputPipe[1]);
        if (chdir(dir_.c_str()) != 0) _exit(127);
        std::vector<char*> argv;
        std::string program = QUELMO_BIN;
        argv.push_back(program.data());
        std::vector<std::string> copies = args;
        for (std::string& arg : copies) argv.push_back(arg.data());
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    setpgid(child, child);
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
    const double deadline = start + timeoutSeconds;
    double nextAction = start + actionEvery;
    while (true) {
        const pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child) break;
        if (action != nullptr && now() > nextAction) {
            (*action)(child);
            nextAction = now() + actionEvery;
        }
        if (now() > deadline) {
            result.timedOut = true;
            kill(-child, SIGKILL);
            waitpid(child, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);

    const double graceEnd = now() + graceSeconds;
    while (groupAlive(child) && now() < graceEnd)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (groupAlive(child)) {
        result.processesLeft = true;
        kill(-child, SIGKILL);
        while (groupAlive(child)) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    result.out = readFile(outPath);
    result.err = readFile(errPath);
    return result;
}

// The progress line on a real terminal: quelmo runs in a tmux pane with its
// standard output redirected to a file, and the pane's screen is read while
// the search runs and after it has ended, however it ended.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>

#include "cli_util.h"
#include "tool_run.h"

namespace fs = std::filesystem;

namespace {

// The program on the PATH, or "" when there is none.
std::string onPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        const size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::string candidate = dirs.substr(start, end - start) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return "";
}

const std::regex kProgressLine(R"(gen \d+/\d+  best \S+  \S+ jobs/s  elapsed \d+:\d\d:\d\d  left \S+)");

// One detached tmux session on a private server, killed with it at the end.
class Pane {
public:
    Pane(const std::string& tmux, const fs::path& socket, const fs::path& dir, const std::string& command)
        : tmux_(tmux), socket_(socket.string()), dir_(dir) {
        // Another tmux around the test must not take the session in.
        const ToolResult started = runTool({"/usr/bin/env", "-u", "TMUX", tmux_, "-S", socket_, "-f", "/dev/null",
                                            "new-session", "-d", "-s", "quelmo", "-x", "150", "-y", "12", command},
                                           dir_, 30);
        ok_ = started.status == 0;
        error_ = started.err;
    }
    ~Pane() { runTool({tmux_, "-S", socket_, "kill-server"}, dir_, 30); }
    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }

    std::string screen() const { return runTool({tmux_, "-S", socket_, "capture-pane", "-p", "-t", "quelmo"}, dir_, 30).out; }
    void sendKey(const std::string& key) const { runTool({tmux_, "-S", socket_, "send-keys", "-t", "quelmo", key}, dir_, 30); }

    // Polls the screen until it shows the progress line; that screen, or "".
    std::string waitForProgress(double seconds) const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < deadline) {
            const std::string shown = screen();
            if (std::regex_search(shown, kProgressLine)) return shown;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return "";
    }

private:
    std::string tmux_;
    std::string socket_;
    fs::path dir_;
    bool ok_ = false;
    std::string error_;
};

// Waits for the pane's command to write its exit status; -1 on timeout.
int waitForStatus(const CliRun& run, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        const std::string status = run.read("status.txt");
        if (!status.empty() && status.back() == '\n') return std::stoi(status);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
}

void prepare(const CliRun& run, int generations) {
    // Two coils more than the small example's 12, so that the coils are
    // enough for the free coefficients and no warning takes the pane's first
    // rows.
    const std::string more = readFile(sourcePath("examples/coils-example.txt"));
    const size_t first = more.find("\n4") + 1;
    const size_t end = more.find('\n', more.find('\n', first) + 1) + 1;
    run.write("coils-small.txt", readFile(sourcePath("examples/coils-small.txt")) + more.substr(first, end - first));
    run.write("ranges.txt", readFile(sourcePath("examples/ranges-example.txt")) + "polish 0\nnormalize 0\nreportstyle classic\n" +
                                "minormax 50\nprocesses 1\nmaxgenerations " + std::to_string(generations) + "\n");
}

// quelmo with standard output to out.txt and standard error on the pane; the
// shell outlives an interrupt (a trap is not inherited, so quelmo gets the
// default action), writes the exit status and keeps the pane open.
std::string paneCommand() {
    return std::string("trap : INT; ") + QUELMO_BIN +
           " coils-small.txt ranges.txt > out.txt; echo $? > status.txt; exec sleep 600";
}

enum class Ending { limit, escape, interrupt };

}  // namespace

TEST(ProgressTerminal, ShownWhileRunningAndGoneAfterEveryEnding) {
    const std::string tmux = onPath("tmux");
    if (tmux.empty()) GTEST_SKIP() << "tmux is not installed (scripts/install-deps.sh test installs it)";
    const struct {
        Ending ending;
        int generations;
        int status;
        const char* name;
    } cases[] = {
        {Ending::limit, 25, 0, "generation limit"},
        {Ending::escape, 100000, 255, "Escape"},
        {Ending::interrupt, 100000, 128 + SIGINT, "Control-C on the terminal"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CliRun run;
        prepare(run, c.generations);
        const Pane pane(tmux, run.dir().parent_path() / "tmux.sock", run.dir(), paneCommand());
        ASSERT_TRUE(pane.ok()) << pane.error();

        const std::string during = pane.waitForProgress(60);
        ASSERT_NE(during, "") << pane.screen();
        // One line, redrawn in place on the pane's first row.
        const std::string firstRow = during.substr(0, during.find('\n'));
        EXPECT_TRUE(std::regex_match(firstRow, kProgressLine)) << during;
        EXPECT_EQ(during.find_first_not_of('\n', firstRow.size()), std::string::npos) << during;
        if (c.ending == Ending::escape) pane.sendKey("Escape");
        if (c.ending == Ending::interrupt) pane.sendKey("C-c");

        ASSERT_EQ(waitForStatus(run, 120), c.status);
        const std::string after = pane.screen();
        EXPECT_FALSE(std::regex_search(after, std::regex("jobs/s|gen \\d"))) << after;
        // Every ending gives the final report; the last line on the terminal
        // names its result file.
        EXPECT_TRUE(std::regex_search(after, std::regex("Result written to fit-result.txt\n*$"))) << after;
        const std::string out = run.read("out.txt");
        EXPECT_EQ(out.find("jobs/s"), std::string::npos);
        EXPECT_NE(out.find("\n\n\nWorst first\n"), std::string::npos);
        if (c.ending == Ending::escape) {
            EXPECT_NE(out.find("\nQuitting early\n"), std::string::npos);
        }
        if (c.ending == Ending::interrupt) {
            EXPECT_NE(out.find("\nInterrupted by SIGINT\n"), std::string::npos);
        }
        if (c.ending == Ending::limit) {
            // Standard output is what it is without a terminal.
            CliRun plain;
            prepare(plain, c.generations);
            const CliResult reference = plain.run({"coils-small.txt", "ranges.txt"});
            EXPECT_EQ(out, reference.out);
            EXPECT_EQ(reference.err, "");
        }
    }
}

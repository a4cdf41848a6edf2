// The progress line: its text, how often it is drawn, the estimate of time
// left, and its removal on every way a process ends, by the drawing process
// alone. The line is drawn on a pipe or on captured standard error here; the
// terminal itself is tested in progress_terminal_test.cpp.
//
// Starting the line installs its exit, fatal and signal hooks in this test
// process; every test ends the line, which leaves the hooks with nothing to do.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstdlib>
#include <string>
#include <utility>

#include "common/fatal.h"
#include "common/version.h"
#include "reports/progress.h"
#include "reports/progressjson.h"
#include "search/searchstate.h"
#include "search/sort.h"
#include "settings/symtab.h"
#include "testhooks.h"

namespace {

const std::string kClear = "\r\x1b[K";

struct Pipe {
    int read = -1;
    int write = -1;
    Pipe() {
        int ends[2];
        if (pipe(ends) != 0) throw std::runtime_error("pipe failed");
        read = ends[0];
        write = ends[1];
        fcntl(read, F_SETFL, O_NONBLOCK);
    }
    ~Pipe() {
        close(read);
        close(write);
    }
    // Everything written since the last call.
    std::string take() const {
        std::string text;
        char buffer[4096];
        ssize_t got;
        while ((got = ::read(read, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(got));
        return text;
    }
};

int countOf(const std::string& text, const std::string& piece) {
    int count = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++count;
    return count;
}

// A search state for the line to show: generation 0 of `limit`, no population.
void searchAt(int32_t limit) {
    resetTables();
    S[kMaxGenerations].value.i = limit;
    gen = 0;
    collected = nullptr;
}

}  // namespace

TEST(ProgressText, ShowsEveryFigureAndFitsTheTerminal) {
    const struct {
        ProgressFigures figures;
        int columns;
        const char* text;
    } cases[] = {
        {{12, 200, 0.0812345, 61.23, 4.2, 28.7}, 80,
         "gen 12/200  best 0.0812345  61.2 jobs/s  elapsed 0:00:04  left 0:00:28"},
        // Nothing known yet.
        {{0, 200, kNoValue, -1, 0, -1}, 80, "gen 0/200  best -  - jobs/s  elapsed 0:00:00  left -"},
        {{5, 100000, 1e-5, 1234.56, 3725, 360000}, 120,
         "gen 5/100000  best 1e-05  1234.6 jobs/s  elapsed 1:02:05  left 100:00:00"},
        {{5, 10, std::nan(""), std::nan(""), 1, std::nan("")}, 80,
         "gen 5/10  best -  - jobs/s  elapsed 0:00:01  left -"},
        // Never the last column, where some terminals wrap.
        {{12, 200, 0.0812345, 61.23, 4.2, 28.7}, 20, "gen 12/200  best 0."},
        {{12, 200, 0.0812345, 61.23, 4.2, 28.7}, 1, ""},
        {{12, 200, 0.0812345, 61.23, 4.2, 28.7}, 0, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(formatProgress(c.figures, c.columns), c.text);
}

TEST(ProgressLine, DrawsAtMostTenTimesASecondAndClearsOnce) {
    searchAt(200);
    Pipe pipe;
    progressBegin(pipe.write, 100.0);
    // The first candidate draws at once.
    progressJob(100.0);
    const std::string first = pipe.take();
    EXPECT_EQ(first.rfind("\rgen 0/200  best -  - jobs/s  elapsed 0:00:00  left -", 0), 0u) << first;
    EXPECT_EQ(first.substr(first.size() - 3), "\x1b[K");
    // A thousand candidates in one second draw ten more times.
    for (int i = 1; i <= 1000; ++i) progressJob(100.0 + i * 0.001);
    EXPECT_EQ(countOf(pipe.take(), "\rgen "), 10);

    progressClear();
    EXPECT_EQ(pipe.take(), kClear);
    progressClear();
    EXPECT_EQ(pipe.take(), "");
    // A later candidate draws again; after the end nothing does.
    progressJob(102.0);
    EXPECT_EQ(countOf(pipe.take(), "\rgen "), 1);
    progressEnd();
    EXPECT_EQ(pipe.take(), kClear);
    progressJob(110.0);
    progressClear();
    EXPECT_EQ(pipe.take(), "");
    EXPECT_FALSE(progressActive());
}

TEST(ProgressLine, RateAndTimeLeftFromTheLastGeneration) {
    searchAt(10);
    Pipe pipe;
    progressBegin(pipe.write, 0.0);
    // 100 candidates a second; the first generation hands out 50.
    int job = 1;
    for (; job <= 50; ++job) progressJob(job * 0.01);
    progressGeneration();
    gen = 1;
    for (; job <= 80; ++job) progressJob(job * 0.01);
    std::string drawn = pipe.take();
    const std::string last = drawn.substr(drawn.rfind("\rgen "));
    // At about 0.8 s: 9 generations of 50 less the 30 out is 4.2 s at 100/s.
    EXPECT_NE(last.find("gen 1/10  best -  100.0 jobs/s  elapsed 0:00:00  left 0:00:04"), std::string::npos)
        << last;
    progressEnd();
}

TEST(ProgressLine, AForkedChildNeverTouchesTheLine) {
    searchAt(200);
    Pipe pipe;
    progressBegin(pipe.write, 0.0);
    progressJob(0.0);
    pipe.take();
    std::fflush(nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // A worker: draws are due and the line is shown, and it exits normally.
        progressJob(5.0);
        progressClear();
        std::exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(pipe.take(), "");
    progressEnd();
    EXPECT_EQ(pipe.take(), kClear);
}

TEST(ProgressLineDeathTest, RemovedBeforeAFatalMessageAtExitAndOnSignals) {
    const auto drawOnStandardError = [] {
        searchAt(200);
        progressBegin(STDERR_FILENO, 0.0);
        progressJob(0.0);
    };
    // The message starts a line of its own.
    EXPECT_EXIT(
        {
            drawOnStandardError();
            fatal("boom\n");
        },
        testing::ExitedWithCode(255), "left -\x1b\\[K\r\x1b\\[Kboom\n$");
    EXPECT_EXIT(
        {
            drawOnStandardError();
            std::exit(3);
        },
        testing::ExitedWithCode(3), "left -\x1b\\[K\r\x1b\\[K$");
    for (const int number : {SIGINT, SIGTERM}) {
        EXPECT_EXIT(
            {
                drawOnStandardError();
                std::raise(number);
            },
            testing::KilledBySignal(number), "left -\x1b\\[K\r\x1b\\[K$");
    }
    // A signal the user ignores stays ignored.
    EXPECT_EXIT(
        {
            std::signal(SIGTERM, SIG_IGN);
            drawOnStandardError();
            std::raise(SIGTERM);
            std::exit(4);
        },
        testing::ExitedWithCode(4), "");
}

// The progress stream's lines: members left unset are left out, numbers
// keep every digit, a missing goodness is null, and only the end line
// says whether a signal stopped the run.
TEST(ProgressStreamLine, EachEventAsOneJsonObject) {
    ProgressEvent start;
    start.event = "start";
    start.limit = 200;
    ProgressEvent generation;
    generation.event = "generation";
    generation.generation = 0;
    generation.limit = 200;
    generation.withGoodness = true;
    generation.goodness = kNoValue;
    generation.tested = 94;
    generation.elapsed = 0.25;
    ProgressEvent end = generation;
    end.event = "end";
    end.limit = -1;
    end.goodness = 0.1;
    end.stopped = "SIGINT";
    ProgressEvent finished = end;
    finished.stopped = nullptr;
    const std::pair<ProgressEvent, std::string> rows[] = {
        {start, R"({"event":"start","limit":200})"},
        {generation, R"({"event":"generation","generation":0,"limit":200,"goodness":null,"tested":94,"elapsed":0.25})"},
        {end, R"({"event":"end","generation":0,"goodness":0.10000000000000001,"tested":94,"elapsed":0.25,"stopped":"SIGINT"})"},
        {finished, R"({"event":"end","generation":0,"goodness":0.10000000000000001,"tested":94,"elapsed":0.25,"stopped":null})"},
    };
    for (const auto& [event, line] : rows) EXPECT_EQ(progressEventLine(event), line + "\n");
}

// The live progress line: one line on the terminal behind standard error,
// redrawn in place while the search runs and removed when it ends.
#pragma once

#include <cstdint>
#include <string>

// What the line shows.
struct ProgressFigures {
    int32_t generation;    // the generation under way, counted as the "gen =" lines count
    int32_t limit;         // maxgenerations
    double best;           // best goodness; kNoValue: none yet
    double jobsPerSecond;  // negative: not known yet
    double elapsed;        // seconds since the search started
    double left;           // seconds to the generation limit; negative: not known yet
};

// The text of the line, cut to fit a terminal of `columns` columns without
// reaching the last one (a character there makes some terminals wrap).
std::string formatProgress(const ProgressFigures& figures, int columns);

// Whether a run shows the line: standard error is a terminal that can clear
// a line, and standard output is not a terminal.
bool progressWanted();

// Starts drawing on `fd` for this process alone (forked children never
// draw). The line is removed again on every way the process ends: at exit,
// before a fatal message, and on SIGINT and SIGTERM.
void progressBegin(int fd, double now);
// Whether the line is being drawn by this run.
bool progressActive();
// A candidate went out; redraws the line when the last draw is 0.1 s old.
void progressJob(double now);
// The master waits for a worker; redraws the line when it is due, so that
// it stays current through long jobs.
void progressTick(double now);
// A generation ended: its candidate count sets the estimate of time left.
void progressGeneration();
// Removes the line if it is shown; the next due update draws it again.
void progressClear();
// Removes the line for good.
void progressEnd();

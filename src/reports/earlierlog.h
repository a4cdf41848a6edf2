// The generation log a resumed run continues: the rows that the runs before
// it wrote for the generations before the snapshot's, so that the log of a
// run interrupted and resumed holds every generation once, as one
// uninterrupted run's does.
#pragma once

#include <cstdint>
#include <string>

struct EarlierLog {
    std::string text;    // the header and the rows kept, as the file holds them
    int32_t rows = 0;    // rows kept: those of generations 0 to rows - 1
    double elapsed = 0;  // elapsed_s of the last row kept; 0 with none
    // Why the rows stop short of the generation asked for (empty when they
    // do not): that the file is missing, not a log, or ends or turns to
    // other text after row `rows`.
    std::string shortBecause;
};

// The rows of generations 0 to generation - 1 of the log at `path`, which
// must be a plain file of this user's (never read through a link, nor from
// a FIFO or device). Rows of later generations, which a run wrote after the
// snapshot it is resumed from, are left out; so is everything from the
// first line that is not the row of the next generation.
EarlierLog readEarlierLog(const char* path, int32_t generation);

// Input files: the coil file and the ranges file.
#pragma once

#include <cstdio>

// Opens `path` for reading when it is a plain file or a FIFO. Otherwise
// returns null and points `reason` at a text that says why.
FILE* openInputFile(const char* path, const char** reason);
// The reason a read of `file` stopped early, or null when it reached the end.
const char* inputReadFailure(FILE* file);
// Passes over a UTF-8 byte-order mark at the start of `file`, which some
// editors write before the first line; anything else is left to be read.
void skipByteOrderMark(FILE* file);

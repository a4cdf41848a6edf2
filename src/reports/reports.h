// The coefficient set listing, the coil lines, the final report and the
// checkpoint.
#pragma once

#include <cstdio>
#include <string>

#include "coils/records.h"

void showResult(FILE* stream, const ResultRecord* set);
void showInductor(FILE* stream, const InductorRecord* coil);
InductorRecord* sortInd(InductorRecord* list, InductorRecord* coil);
// What became of the files a report writes: whether the result file was
// written, and whether any file (the result file or an export) could not be
// (the run then ends with status 255 instead of 0).
struct ReportFiles {
    bool resultWritten = false;
    bool failed = false;
};
// The final report of `set`, with `appendix` after the coil lines on
// standard output and in the result file (before its range table). With
// `si`, in the style of `reportstyle si`.
struct SiDigits;
ReportFiles showInductorResults(const ResultRecord* set, const std::string& appendix = {},
                                const SiDigits* si = nullptr);
// The checkpoint of `set` at checkpointPath(). The run calls it only when a
// file can stand there (checked before the search).
void saveTempResults(const ResultRecord* set);
// The checkpoint's path: the `checkpoint` setting, or the fixed /tmp name.
const char* checkpointPath();
// The checkpoint written to `path`; saveTempResults picks the path.
void writeCheckpoint(const char* path, const ResultRecord* set);

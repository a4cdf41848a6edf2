// The coefficient set listing, the coil lines, the final report and the
// checkpoint.
#pragma once

#include <cstdio>
#include <string>

#include "coils/records.h"

// Set when a result, export or CSV file could not be written; the run then ends with
// status 255 instead of 0.
extern bool resultFileFailed;

void showResult(FILE* stream, const ResultRecord* set);
void showInductor(FILE* stream, const InductorRecord* coil);
InductorRecord* sortInd(InductorRecord* list, InductorRecord* coil);
// The final report of `set`, with `appendix` after the coil lines on
// standard output and in the result file (before its range table); true when
// it wrote the result file. With `si`, in the style of `reportstyle si`.
struct SiDigits;
bool showInductorResults(const ResultRecord* set, const std::string& appendix = {}, const SiDigits* si = nullptr);
void saveTempResults(const ResultRecord* set);
// The checkpoint's path: the `checkpoint` setting, or the fixed /tmp name.
const char* checkpointPath();
// Set before the search when no file can stand at the checkpoint's path (a
// directory, socket or block device is there): no checkpoint is written.
extern bool checkpointsSkipped;
// The checkpoint written to `path`; saveTempResults picks the path.
void writeCheckpoint(const char* path, const ResultRecord* set);

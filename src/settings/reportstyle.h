// The setting `reportstyle`: the final report as it always was (classic), or
// for an engineer who works in SI units (si).
#pragma once

enum class ReportStyle { classic, si };

// The style `reportstyle` names; classic when it is not given. An unknown
// name is refused through fatal(), with the known ones.
ReportStyle chosenReportStyle();

// The path of the coil file, kept for the result file's heading.
void rememberCoilFile(const char* path);
const char* coilFilePath();

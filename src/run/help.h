// The usage text, the command line's -h, --help and --version, and what a
// run is told when its command line gave no ranges file.
#pragma once

#include <string>

// The usage line and the coefficient names, printed when no argument is given.
void printUsage();
// True when the first argument asks for help or the version (-h, --help,
// --version) and names no file that opens: a file of that name is still
// read as the coil file.
bool asksForHelp(int argc, char** argv);
// Prints what the first argument asks for, after the banner: the usage with
// where the manual and the example files are, or, for the version, nothing
// more than the banner, which gives it.
void printHelp(const char* argument);
// Why the command line read no ranges file, for the moment the search runs
// out of distinct sets in the all-zero ranges: none was given, or the second
// argument did not open (for the reason `reason`).
std::string rangesNotReadReason(int argc, char** argv, const char* reason);

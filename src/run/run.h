// The master's run sequence, shared by every program whatever its transport:
// the banner, the input files, the checks, the workers, the search and the
// exit status.
#pragma once

// Runs the master with the program's command line and returns its exit
// status. Errors end the process through fatal() instead.
int runMaster(int argc, char** argv);

// The files a run reads and writes, checked before the search starts.
#pragma once

// Refuses an output that cannot be written or that names an input (the coil
// file, the ranges file when one was read) or another output, and warns about
// a checkpoint path where no file can stand, which is then skipped: false
// then, true when the run writes checkpoints. Errors end the process through
// fatal().
[[nodiscard]] bool checkRunFiles(const char* coilPath, const char* rangesPath);

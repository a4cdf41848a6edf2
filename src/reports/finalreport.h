// The final report of a run, however it ends: the polish when asked for,
// the listing and the result file, the exports and CSV files, and the last
// checkpoint.
#pragma once

// The final report of the population as it stands, and the last checkpoint
// when `checkpoints` (a file can stand at its path). False when a result,
// export, CSV or JSON file could not be written: the run then ends with
// status 255.
[[nodiscard]] bool finalReport(bool checkpoints);

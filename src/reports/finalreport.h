// The final report of a run, however it ends: the polish when asked for,
// the listing and the result file, the exports and CSV files, and the last
// checkpoint.
#pragma once

// The final report of the population as it stands.
void finalReport();

// The final report of a run.
#include "reports/finalreport.h"

#include <unistd.h>

#include <cstdio>

#include "coils/readind.h"
#include "refine/polish.h"
#include "reports/reports.h"
#include "reports/runmonitor.h"
#include "search/sort.h"
#include "settings/symtab.h"

namespace {

// A user at a terminal is told where the result went, on the last line there;
// standard output, and standard error when it is not a terminal, stay as
// they are.
void tellResultFile(const char* path) {
    if (isatty(STDERR_FILENO) == 0) return;
    std::fflush(stdout);
    std::fprintf(stderr, "Result written to %s\n", path);
}

}  // namespace

void finalReport() {
    const bool polish = S[kPolish].value.i == 1;
    if (polish) polishBest(theInductors, collected);
    monitorReportBegins();
    const bool written = showInductorResults(collected);
    monitorReportEnds();
    // The checkpoint then holds the final set, polished or not.
    if (polish) saveTempResults(collected);
    if (written) tellResultFile(S[kResultFile].value.s);
}

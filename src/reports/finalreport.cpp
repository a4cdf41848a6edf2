// The final report of a run.
#include "reports/finalreport.h"

#include "coils/readind.h"
#include "refine/polish.h"
#include "reports/reports.h"
#include "reports/runmonitor.h"
#include "search/sort.h"
#include "settings/symtab.h"

void finalReport() {
    const bool polish = S[kPolish].value.i == 1;
    if (polish) polishBest(theInductors, collected);
    monitorReportBegins();
    showInductorResults(collected);
    monitorReportEnds();
    // The checkpoint then holds the final set, polished or not.
    if (polish) saveTempResults(collected);
}

// The final report of a run.
#include "reports/finalreport.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "coils/readind.h"
#include "refine/fitanalysis.h"
#include "refine/polish.h"
#include "reports/reports.h"
#include "reports/resultjson.h"
#include "reports/runmonitor.h"
#include "search/sort.h"
#include "settings/symtab.h"

namespace {

// The final report relinks the coil list to rank it.
std::vector<const InductorRecord*> coilsInFileOrder() {
    std::vector<const InductorRecord*> coils;
    for (const InductorRecord* coil = theInductors; coil != nullptr; coil = coil->next) coils.push_back(coil);
    std::reverse(coils.begin(), coils.end());
    return coils;
}

}  // namespace

void finalReport() {
    // Cross-validation and pruning are part of the statistics, and the
    // statistics are those of the polished set.
    const bool statistics =
        S[kStatistics].value.i == 1 || S[kCrossValidate].value.i > 0 || S[kPrune].value.i == 1;
    const bool polish = S[kPolish].value.i == 1 || statistics;
    const char* jsonPath = S[kResultJson].value.s;
    ResultDocument document;
    std::optional<ResultRecord> found;
    if (collected != nullptr) found = *collected;
    PolishOutcome outcome;
    if (polish) outcome = polishBest(theInductors, collected);

    std::optional<FitAnalysis> analysis;
    std::string block;
    if (collected != nullptr && (statistics || jsonPath != nullptr)) {
        document.coils = coilsInFileOrder();
        if (statistics) {
            analysis = analyseFit(document.coils, collected, pinnedCoefficients(), outcome.held,
                                  S[kCrossValidate].value.i, S[kPrune].value.i == 1);
            block = fitStatisticsBlock(*analysis);
        }
    }
    monitorReportBegins();
    showInductorResults(collected, block);
    monitorReportEnds();
    // The checkpoint then holds the final set, polished or not.
    if (polish) saveTempResults(collected);

    if (jsonPath != nullptr && collected != nullptr) {
        document.final = collected;
        if (outcome.replaced) found->goodness = outcome.found;
        document.found = outcome.replaced ? &*found : collected;
        document.polished = outcome.replaced;
        document.held = outcome.held;
        document.pinned = pinnedCoefficients();
        document.analysis = analysis ? &*analysis : nullptr;
        writeResultJson(jsonPath, document);
    }
}

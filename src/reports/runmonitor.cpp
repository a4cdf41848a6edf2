// The progress line and the CSV files, fed by the generation driver.
//
// The generation log is kept in memory and written whole, through a
// temporary file and a rename, after generations 0, 100, 200, ... (with the
// checkpoint), with every snapshot, and at the end; a reader never sees half
// a file, and a run resumed from a snapshot finds the rows before it. After
// a failed write the log is only tried again at the end, and its failure is
// told only once.
#include "reports/runmonitor.h"

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "coils/readind.h"
#include "common/clock.h"
#include "common/outfile.h"
#include "common/version.h"
#include "reports/csvfiles.h"
#include "reports/earlierlog.h"
#include "reports/progress.h"
#include "reports/progressjson.h"
#include "reports/reports.h"
#include "search/library.h"
#include "search/searchstate.h"
#include "search/sort.h"
#include "settings/settingaccess.h"
#include "settings/symtab.h"

namespace {

double searchStart = 0;
// Taken while the coil list is still as read (the final report relinks it).
std::vector<const InductorRecord*> coilOrder;
std::string logText;
bool logFailed = false;

// A failed write is told on standard error and the run ends with status 255
// (monitorReportEnds says so); the search goes on.
bool writeOrTell(const char* path, const std::string& text, bool tell) {
    std::string error;
    if (writeCsvFile(path, text, error)) return true;
    if (tell) {
        std::fflush(stdout);
        progressClear();
        std::fputs(error.c_str(), stderr);
    }
    return false;
}

double goodnessOf(int rank) {
    const ResultRecord* member = memberAt(rank);
    return member != nullptr ? member->goodness : kNoValue;
}

}  // namespace

void monitorStart() {
    searchStart = monotonicSeconds();
    coilOrder.clear();
    if (textSetting<kCoilCsv>() != nullptr) coilOrder = coilsInFileOrder();
    logText = kGenerationCsvHeader;
    logFailed = false;
    if (progressWanted()) progressBegin(STDERR_FILENO, searchStart);
    progressStreamBegin(searchStart);
}

void monitorResumed() {
    const char* path = textSetting<kLogCsv>();
    // A FIFO or device took the earlier rows as they came.
    if (path == nullptr || outWay(path) != OutWay::replace) return;
    EarlierLog earlier = readEarlierLog(path, gen);
    logText = std::move(earlier.text);
    searchStart -= earlier.elapsed;
    if (earlier.rows >= gen) return;
    std::fflush(stdout);
    progressClear();
    const std::string missing = earlier.rows == gen - 1 ? "generation " + std::to_string(earlier.rows)
                                                        : "generations " + std::to_string(earlier.rows) + " to " +
                                                              std::to_string(gen - 1);
    std::fprintf(stderr, "Warning: %s lacks the rows of %s (%s): the log goes on from generation %d without them\n",
                 path, missing.c_str(), earlier.shortBecause.c_str(), gen);
}

void monitorCandidate() {
    if (progressActive()) progressJob(monotonicSeconds());
}

void monitorWaiting() {
    if (progressActive()) progressTick(monotonicSeconds());
}

// The generation log's row of the search as it stands.
static std::string logRow() {
    const GenerationRow row{gen,    tested,  {goodnessOf(1), goodnessOf(2), goodnessOf(3), goodnessOf(4)},
                            libCnt, rejects, monotonicSeconds() - searchStart};
    return generationCsvRow(row);
}

void monitorGeneration() {
    progressGeneration();
    progressStreamGeneration(monotonicSeconds());
    const char* path = textSetting<kLogCsv>();
    if (path == nullptr) return;
    logText += logRow();
    // A snapshot follows this generation when the next count is a multiple
    // of stateevery: the log is written with it, so that a run resumed from
    // it finds every row before.
    const bool snapshotDue = textSetting<kStateFile>() != nullptr && (gen + 1) % intSetting<kStateEvery>() == 0;
    if ((gen % kRewriteEvery == 0 || snapshotDue) && !logFailed) logFailed = !writeOrTell(path, logText, true);
}

void monitorStopped() {
    if (textSetting<kLogCsv>() != nullptr) logText += logRow();
}

void monitorBeforeMessage() { progressClear(); }

void monitorReportBegins() {
    progressEnd();
    if (textSetting<kCoilCsv>() != nullptr && coilOrder.empty()) coilOrder = coilsInFileOrder();
}

bool monitorReportEnds() {
    // A log write that failed during the search is a failure of the run even
    // when the last one succeeds.
    bool failed = logFailed;
    if (const char* path = textSetting<kCoilCsv>(); path != nullptr && collected != nullptr)
        if (!writeOrTell(path, coilCsv(coilOrder, collected), true)) failed = true;
    if (const char* path = textSetting<kLogCsv>(); path != nullptr) {
        if (logText.empty()) logText = kGenerationCsvHeader;
        if (!writeOrTell(path, logText, !logFailed)) failed = true;
    }
    progressStreamEnd(monotonicSeconds());
    return failed;
}

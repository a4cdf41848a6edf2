// The coefficient set listing, the checkpoint and the final report.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "coils/equation.h"
#include "coils/readind.h"
#include "common/fatal.h"
#include "common/outfile.h"
#include "common/version.h"
#include "reports/exports.h"
#include "reports/ranking.h"
#include "reports/reports.h"
#include "reports/sireport.h"
#include "settings/basesetting.h"
#include "settings/settingaccess.h"
#include "settings/symtab.h"


namespace {

constexpr double kMicrohenry = 1e6;
constexpr double kDiameterInches = 78.7402;  // coil radius in metres to diameter in inches
constexpr double kInches = 39.3701;          // metres to inches

bool hasValue(double value) { return value != kNoValue && !std::isnan(value); }

// Writes to the result file when there is one.
void showResultTo(FILE* file, const ResultRecord* set) {
    if (file != nullptr) showResult(file, set);
}

// Each coil line goes to standard output, then to the result file.
void showCoils(FILE* file, const InductorRecord* list, bool si) {
    const auto show = si ? showInductorSi : showInductor;
    for (const InductorRecord* coil = list; coil != nullptr; coil = coil->next) {
        show(stdout, coil);
        if (file != nullptr) show(file, coil);
    }
}

}  // namespace

void showResult(FILE* stream, const ResultRecord* set) {
    std::fprintf(stream, "// Goodness = %g\n", set->goodness);
    for (int k = 0; k < kCoefficientCount; ++k)
        std::fprintf(stream, "%5s = %20.14f\n", kCoefficientNames[k], set->coefficients[k]);
}

void showInductor(FILE* stream, const InductorRecord* coil) {
    if (hasValue(coil->computedInductance)) {
        // 100 times the squared relative error: a coil 10 % off shows 1.0.
        std::fprintf(stream, " %4.1f%% L=%6.3f : %6.3f uH, %2d turns, dia %g\", len %g\", #%d %s\n",
                     100 * coil->squaredError, measuredAsGiven(coil) * kMicrohenry,
                     coil->computedInductance * kMicrohenry, coil->turns,
                     kDiameterInches * coil->radius, kInches * coil->length, coil->gauge,
                     coil->fileName);
    } else {
        std::fprintf(stream, "  *** L=%6.3f uH %2d turns, dia %g\", length %g\", #%d, %s\n",
                     measuredAsGiven(coil) * kMicrohenry, coil->turns,
                     kDiameterInches * coil->radius, kInches * coil->length, coil->gauge,
                     coil->fileName);
    }
}

// Descending squaredError; a coil goes before listed coils with an equal error.
// This insertion defines the final report's order; the report itself ranks
// with rankWorstFirst, which gives the same order without its quadratic cost.
InductorRecord* sortInd(InductorRecord* list, InductorRecord* coil) {
    InductorRecord** link = &list;
    // A NaN error compares false either way and is passed over like a larger one.
    while (*link != nullptr && !((*link)->squaredError <= coil->squaredError)) link = &(*link)->next;
    coil->next = *link;
    *link = coil;
    return list;
}

namespace {

// The result file, opened with its heading; null when there is none or it
// cannot be opened (then `failed` is set, and the run's exit status tells of
// the failure).
FILE* openResultFile(OutFile& result, const char* path, bool si, bool& failed) {
    if (path == nullptr) return nullptr;
    if (!openOutFile(result, path)) {
        reportCause(path, outFileErrorText(path, errno));
        std::fprintf(stderr, "Couldn't open %s for output\n", path);
        failed = true;
        return nullptr;
    }
    std::fprintf(result.stream, "Results from V%d.%02d.%03d %s\n", kVersionMajor, kVersionMinor, kVersionPatch,
                 kEquationLabel);
    std::fprintf(result.stream, "Random seed %ld\n", static_cast<long>(longSetting<kSeed>()));
    if (si) showResultHeadingSi(result.stream);
    // A fit of a correction is of no use without the formula it corrects.
    if (const BaseFormula base = chosenBase(); base != BaseFormula::none)
        std::fprintf(result.stream, "Formula: %s\nBase %s: %s\n", correctedEquation(base).c_str(),
                     baseFormulaInfo(base).name, baseFormulaInfo(base).reference);
    return result.stream;
}

// A failed write leaves any earlier result file as it was. True when the
// file was written.
bool closeResultFile(OutFile& result, const char* path) {
    if (commitOutFile(result)) return true;
    reportCause(path, std::strerror(errno));
    std::fprintf(stderr, "Couldn't write %s\n", path);
    return false;
}

struct RankedCoils {
    InductorRecord* ranked = nullptr;       // worst first
    InductorRecord* unevaluable = nullptr;  // in file order
};

// Ranks the coils by their error under `set`, recording each one's computed
// inductance and squared error. The walk runs in reverse file order, and
// the ranking is that of inserting the coils one by one in it with sortInd,
// so equal errors end up in file order; pushing each unevaluable coil on the
// head of its own list leaves that list in file order too.
RankedCoils rankCoils(const ResultRecord* set) {
    RankedCoils lists;
    std::vector<InductorRecord*> evaluated;
    for (InductorRecord* coil = theInductors; coil != nullptr;) {
        InductorRecord* following = coil->next;
        coil->next = nullptr;
        const double computed = evalInductorAbs(coil, set);
        // Under a base the coil's error is that of the fit's target; the
        // inductance shown is the corrected formula's.
        if (hasValue(correctedInductance(coil, computed))) {
            coil->computedInductance = correctedInductance(coil, computed);
            coil->squaredError = squaredRelativeError(coil, computed);
            evaluated.push_back(coil);
        } else {
            coil->computedInductance = kNoValue;
            coil->squaredError = kNoValue;
            coil->next = lists.unevaluable;
            lists.unevaluable = coil;
        }
        coil = following;
    }
    lists.ranked = rankWorstFirst(evaluated);
    return lists;
}

// Only evaluated coils are exported; the script only with the C table. A
// failed export is no success: true when one failed, and the run's exit
// status tells of it.
bool exportsFailed(const InductorRecord* ranked) {
    const char* resultc = textSetting<kResultC>();
    if (resultc == nullptr) return false;
    bool failed = !CforTamblix(resultc, textSetting<kCVarName>(), ranked);
    const char* resultja = textSetting<kResultJa>();
    if (resultja != nullptr && !jaForSorvane(resultja, textSetting<kJaVarName>(), ranked)) failed = true;
    return failed;
}

}  // namespace

ReportFiles showInductorResults(const ResultRecord* set, const std::string& appendix, const SiDigits* si) {
    const char* path = textSetting<kResultFile>();
    ReportFiles files;
    OutFile result;
    FILE* file = openResultFile(result, path, si != nullptr, files.failed);
    if (si != nullptr) {
        showResultSi(stdout, set, *si);
        if (file != nullptr) showResultSi(file, set, *si);
    } else {
        showResult(stdout, set);
        showResultTo(file, set);
    }

    const RankedCoils coils = rankCoils(set);
    std::fputs("\n\nWorst first\n", stdout);
    if (file != nullptr) std::fputs("Worst first\n", file);
    if (si != nullptr) {
        showCoilHeadingSi(stdout);
        if (file != nullptr) showCoilHeadingSi(file);
    }
    showCoils(file, coils.ranked, si != nullptr);
    showCoils(file, coils.unevaluable, si != nullptr);
    std::fputs(appendix.c_str(), stdout);
    if (file != nullptr) std::fputs(appendix.c_str(), file);

    if (file != nullptr) {
        dumpRangeTable(file, "\n\nRange table\n");
        files.resultWritten = closeResultFile(result, path);
        if (!files.resultWritten) files.failed = true;
    }
    if (exportsFailed(coils.ranked)) files.failed = true;
    return files;
}

// The checkpoint often lives in a directory that every user shares. It is
// written beside its name and renamed over it, so a symbolic link or another
// user's file there is replaced or refused, never written through, and a
// reader never sees it half-written. It is a safety net: when it cannot be
// written the run says so and goes on.
void writeCheckpoint(const char* path, const ResultRecord* set) {
    OutFile out;
    bool written = openOutFile(out, path);
    if (written) {
        showResult(out.stream, set);
        written = commitOutFile(out);
    }
    if (!written) {
        std::fflush(stdout);
        clearForMessage();
        std::fprintf(stderr, "Couldn't write checkpoint %s (%s); the run goes on\n", path, outFileErrorText(path, errno));
    }
}

const char* checkpointPath() {
    if (const char* path = textSetting<kCheckpoint>()) return path;
    static char path[64];
    std::snprintf(path, sizeof path, "/tmp/%d_%02d_%03d.txt", kVersionMajor, kVersionMinor, kVersionPatch);
    return path;
}

void saveTempResults(const ResultRecord* set) { writeCheckpoint(checkpointPath(), set); }

// The settings the ranges file accepts, declared once: one row per setting
// with its name, its position in S, its type, its default, the values a run
// accepts and a line of help. The settings table S starts from these rows;
// the refusal of unusable values, and a test that holds the manual, the
// settings page and the Python package's keywords to the rows, read them.
//
// A new setting is one row here (at the end, at the next free position, with
// a position constant in symtab.h and kSymbolCount one larger) plus the code
// that uses it, for example
//     integer("level", kLevel, 0, kFlag, "1: the extra level"),
//     text("shape", kShape, "the shape the fit assumes", "none"),
// A value outside an integer row's accepted ones is refused with the table's
// message; a string setting's own check (a list of names) stays with the
// code that uses it.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <string>

#include "settings/symtab.h"

// The values an integer setting accepts: low to high, but for `hole` when it
// lies between them. Every other setting accepts what the ranges file gives.
struct Accepted {
    int64_t low;
    int64_t high;
    int64_t hole;
};
inline constexpr int64_t kNoLow = std::numeric_limits<int32_t>::min();
inline constexpr int64_t kNoHigh = std::numeric_limits<int32_t>::max();
inline constexpr int64_t kNoHole = std::numeric_limits<int64_t>::min();
inline constexpr Accepted kAnyValue = {kNoLow, kNoHigh, kNoHole};
inline constexpr Accepted kFlag = {0, 1, kNoHole};

// Who refuses a value outside the accepted ones: the run, before the search
// starts, or the transport, whose own limits apply (quelmo-mpi takes the
// number of worker ranks instead of `processes`).
enum class RefusedBy : uint8_t { run, transport };

struct SettingRow {
    const char* name;
    int position;  // in S; the row's own index in kSettingRows
    SymbolType type;
    SymbolValue initial;  // the default; strings: null, "unset"
    Accepted accepted;
    RefusedBy refusedBy;
    const char* help;  // one line
    // A string setting's word for its default ("none"), which counts as not
    // given, or null: the default is "unset".
    const char* defaultWord;
};

namespace settingrow {

constexpr SettingRow integer(const char* name, int position, int32_t initial, Accepted accepted,
                             const char* help, RefusedBy by = RefusedBy::run) {
    return {name, position, symInt, {.i = initial}, accepted, by, help, nullptr};
}
constexpr SettingRow real(const char* name, int position, double initial, const char* help) {
    return {name, position, symDouble, {.d = initial}, kAnyValue, RefusedBy::run, help, nullptr};
}
constexpr SettingRow wide(const char* name, int position, int64_t initial, const char* help) {
    return {name, position, symLong, {.l = initial}, kAnyValue, RefusedBy::run, help, nullptr};
}
constexpr SettingRow text(const char* name, int position, const char* help, const char* defaultWord = nullptr) {
    return {name, position, symString, {.s = nullptr}, kAnyValue, RefusedBy::run, help, defaultWord};
}

}  // namespace settingrow

// clang-format off
inline constexpr std::array<SettingRow, kSymbolCount> kSettingRows = [] {
    using namespace settingrow;
    return std::array<SettingRow, kSymbolCount>{
    integer("population", kPopulation, 64, kAnyValue, "not used"),
    integer("save", kSave, 4, {4, 1000000, kNoHole}, "members kept in the ranked population"),
    integer("maxgenerations", kMaxGenerations, 100000, kAnyValue, "number of generations"),
    text("resultfile", kResultFile, "the result file (the command line can replace it)"),
    integer("processes", kProcesses, 1, {1, 48, kNoHole}, "worker processes", RefusedBy::transport),
    wide("seed", kSeed, 1033888277, "seed of the random source"),
    integer("noise", kNoise, 1, kAnyValue, "above 1, one more start-up line"),
    integer("minormax", kMinorMax, 0x800000, kAnyValue, "cap on the grid points of one local search"),
    real("randomminor", kRandomMinor, 0.33, "not used"),
    integer("tries", kTries, 20, {kNoLow, 1000000, kNoHole}, "attempts at a set not made before; random sets per generation"),
    text("resultc", kResultC, "file for the C table export"),
    text("cvarname", kCVarName, "name of the C table"),
    real("pctchange", kPctChange, 0.01, "range adaptation threshold, as a fraction of a range's width"),
    integer("raiselower", kRaiseLower, 10, {1, kNoHigh, kNoHole}, "range adaptation period in generations"),
    integer("quitat", kQuitAt, -1, kAnyValue, "end after more generations than this without improvement"),
    integer("rangeexpand", kRangeExpand, 0, kAnyValue, "non-zero enables range adaptation"),
    real("direction", kDirection, 0.01, "relative step of the directed operator"),
    text("resultja", kResultJa, "file for the script export"),
    text("javarname", kJaVarName, "variable name in the script export"),
    real("bestr0", kBestFirst + cR0, kNoValue, "start value of r0; 1e208: not given"),
    real("bestr1", kBestFirst + cR1, kNoValue, "start value of r1; 1e208: not given"),
    real("bestr2", kBestFirst + cR2, kNoValue, "start value of r2; 1e208: not given"),
    real("bestr3", kBestFirst + cR3, kNoValue, "start value of r3; 1e208: not given"),
    real("bestw0", kBestFirst + cW0, kNoValue, "start value of w0; 1e208: not given"),
    real("bestw1", kBestFirst + cW1, kNoValue, "start value of w1; 1e208: not given"),
    real("bestw2", kBestFirst + cW2, kNoValue, "start value of w2; 1e208: not given"),
    real("bestt0", kBestFirst + cT0, kNoValue, "start value of t0; 1e208: not given"),
    real("bestt1", kBestFirst + cT1, kNoValue, "start value of t1; 1e208: not given"),
    real("bestt2", kBestFirst + cT2, kNoValue, "start value of t2; 1e208: not given"),
    real("bestt3", kBestFirst + cT3, kNoValue, "start value of t3; 1e208: not given"),
    real("bestl0", kBestFirst + cL0, kNoValue, "start value of l0; 1e208: not given"),
    real("bestl1", kBestFirst + cL1, kNoValue, "start value of l1; 1e208: not given"),
    real("bestl2", kBestFirst + cL2, kNoValue, "start value of l2; 1e208: not given"),
    real("bestl3", kBestFirst + cL3, kNoValue, "start value of l3; 1e208: not given; given, the start set is used"),
    // Listed at start-up only when set away from their defaults (from
    // kListedSymbolCount on).
    integer("ordered", kOrdered, 0, kFlag, "1: rank results in hand-over order"),
    text("checkpoint", kCheckpoint, "path of the checkpoint"),
    text("statefile", kStateFile, "the snapshot file; unset: no snapshots"),
    integer("stateevery", kStateEvery, 10, {1, kNoHigh, kNoHole}, "a snapshot every this many generations"),
    integer("resume", kResume, 0, kFlag, "1: continue from the snapshot in statefile"),
    integer("polish", kPolish, 0, kFlag, "1: least-squares polish of the final set"),
    text("coilcsv", kCoilCsv, "CSV file of the coils of the final set"),
    text("logcsv", kLogCsv, "CSV file with one row per generation"),
    integer("statistics", kStatistics, 0, kFlag, "1: statistics of the final set (implies polish)"),
    integer("crossvalidate", kCrossValidate, 0, {0, kNoHigh, 1}, "K: K-fold prediction RMS of the final set"),
    integer("prune", kPrune, 0, kFlag, "1: the terms the data do not support, by AIC"),
    text("resultjson", kResultJson, "the whole result as one JSON document"),
    integer("baselines", kBaselines, 0, kFlag, "1: the classical formulas' goodness on the coils beside the fit"),
    text("base", kBase, "the classical formula the equation corrects: none, wheeler, sheet or sheetrosa", "none"),
    integer("compare", kCompare, 0, kFlag, "1: fit every candidate formula on the coils and recommend one"),
    real("uncertainty", kUncertainty, 0, "the measurements' relative standard uncertainty, 0 to below 1; 0: not given"),
    text("hold", kHold, "coefficients held at their range's low in every draw, walk and fit"),
    integer("cvrepeats", kCvRepeats, 1, {1, kNoHigh, kNoHole}, "R: cross-validation repeated R times on reshuffled folds"),
    text("reportstyle", kReportStyle, "the final report's style: classic or si", "classic"),
    integer("normalize", kNormalize, 0, kFlag, "1: the polished set's free scales put at 1"),
    text("progressjson", kProgressJson, "JSON lines of the run's progress, to a file or to fd:N"),
    };
}();
// clang-format on

// Each row sits at its own position, so S[p] and kSettingRows[p] name the
// same setting.
inline constexpr bool rowsSitAtTheirPositions() {
    for (int p = 0; p < kSymbolCount; ++p)
        if (kSettingRows[p].position != p) return false;
    return true;
}
static_assert(rowsSitAtTheirPositions(), "a row of kSettingRows is not at its position in S");

// Whether the integer `value` is among those `row` accepts.
constexpr bool acceptsValue(const SettingRow& row, int64_t value) {
    return value >= row.accepted.low && value <= row.accepted.high && value != row.accepted.hole;
}
// The accepted values in words: "4 to 1000000", "1 or more",
// "1000000 or less", "0 or 2 or more".
std::string acceptedText(const Accepted& accepted);
// Ends the run when the integer setting at `position` holds a value it does
// not accept, with the message that names the accepted range.
void refuseUnaccepted(int position);
// The same for every setting the run refuses (RefusedBy::run), in the order
// runs have always tried them, then any other in table order.
void refuseUnacceptedSettings();

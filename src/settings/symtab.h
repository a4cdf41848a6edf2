// Settings table S, coefficient range table R, the ranges file and the
// adaptation and check of ranges during a run.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>

#include "coils/records.h"

enum SymbolType : uint8_t { symInt = 0, symDouble = 1, symLong = 2, symString = 3 };

union SymbolValue {
    int32_t i;  // symInt: the first four bytes
    double d;   // symDouble
    int64_t l;  // symLong
    char* s;    // symString: heap copy, or null when not given
};
static_assert(sizeof(SymbolValue) == 8);

struct SymbolEntry {
    const char* name;
    SymbolValue value;
    uint8_t type;
};

struct RangeEntry {
    const char* name;
    double low;
    double high;
    double resolution;  // spacing of the major grid (random draws)
    int32_t steps;      // number of major grid points; set by computeInc only
    double minorInc;    // spacing of the local grid of the grid search
    int32_t mcount;     // minor count: window size of the local grid
};

// The first 34 settings are always listed; the ones after them are listed
// only when set away from their defaults, so a run that uses none of them
// prints exactly what it always printed.
inline constexpr int kListedSymbolCount = 34;
inline constexpr int kSymbolCount = 55;

// Fixed positions of the settings in S.
inline constexpr int kPopulation = 0;
inline constexpr int kSave = 1;
inline constexpr int kMaxGenerations = 2;
inline constexpr int kResultFile = 3;
inline constexpr int kProcesses = 4;
inline constexpr int kSeed = 5;
inline constexpr int kNoise = 6;
inline constexpr int kMinorMax = 7;
inline constexpr int kRandomMinor = 8;
inline constexpr int kTries = 9;
inline constexpr int kResultC = 10;
inline constexpr int kCVarName = 11;
inline constexpr int kPctChange = 12;
inline constexpr int kRaiseLower = 13;
inline constexpr int kQuitAt = 14;
inline constexpr int kRangeExpand = 15;
inline constexpr int kDirection = 16;
inline constexpr int kResultJa = 17;
inline constexpr int kJaVarName = 18;
inline constexpr int kBestFirst = 19;  // bestr0 .. bestl3 at 19 + coefficient index
inline constexpr int kOrdered = 34;     // 1: rank results in hand-over order
inline constexpr int kCheckpoint = 35;  // checkpoint path; unset: the fixed /tmp name
inline constexpr int kStateFile = 36;   // snapshot path; unset: no snapshots
inline constexpr int kStateEvery = 37;  // snapshot interval in generations
inline constexpr int kResume = 38;      // 1: continue from the snapshot in statefile
inline constexpr int kPolish = 39;      // 1: least-squares polish of the final set
inline constexpr int kCoilCsv = 40;     // per-coil CSV of the final set
inline constexpr int kLogCsv = 41;      // per-generation CSV
inline constexpr int kStatistics = 42;     // 1: statistics of the final set (implies the polish)
inline constexpr int kCrossValidate = 43;  // K >= 2: K-fold prediction RMS of the final set
inline constexpr int kPrune = 44;          // 1: terms to drop by AIC
inline constexpr int kResultJson = 45;     // the whole result as one JSON document
inline constexpr int kBaselines = 46;      // 1: the classical formulas' goodness on the coils
inline constexpr int kBase = 47;           // the formula the equation corrects; unset or none: none
inline constexpr int kCompare = 48;        // 1: fit every candidate form and recommend one
inline constexpr int kUncertainty = 49;    // the measurements' relative standard uncertainty; 0: none given
inline constexpr int kHold = 50;           // coefficients held at their range's low everywhere
inline constexpr int kCvRepeats = 51;      // repeats of cross-validation with reshuffled folds
inline constexpr int kReportStyle = 52;    // the final report's style: classic or si
inline constexpr int kNormalize = 53;      // 1: the polished set's free scales put at 1
inline constexpr int kProgressJson = 54;   // JSON lines of the run's progress: a path or fd:N

extern std::array<SymbolEntry, kSymbolCount> S;
extern std::array<RangeEntry, kCoefficientCount> R;
// A range table. The one the ranges file gives, before range adaptation
// moves its ends, is part of the run's setup (the run sequence takes it once
// the file is read): every worker searches with it, and a snapshot's table
// must be one that adaptation can have made of it.
using RangeTable = std::array<RangeEntry, kCoefficientCount>;


// True when setting `index` still holds its compiled-in default.
bool isDefaultSetting(int index);

// True when the entry's step count can be derived: (high - low) / resolution,
// truncated, plus one is a positive 32-bit integer.
bool hasValidSteps(const RangeEntry& entry);
void computeInc();
void dumpSymtab(const char* title);
void dumpRangeTable(FILE* out, const char* title);
void readSymtab(const char* path);

void fixOneRange(const ResultRecord* best);
// A worker's check of its range table after each job, reported under its own
// process id; checkRangeTableOf reports under the id of the worker `pid` when
// the master checks on a worker's behalf (the table's minor counts never
// change during a run).
void checkRangeTable();
void checkRangeTableOf(int pid);

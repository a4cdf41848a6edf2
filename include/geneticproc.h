// The equation, the variation operators, the generation driver and dispatch,
// the local grid search and the reports.
#pragma once

#include <cstdint>
#include <cstdio>

#include "records.h"

// Equation and goodness.
inline constexpr double kMu0 = 1.256637061435916e-6;
double evalInductorAbs(const InductorRecord* coil, const ResultRecord* set);
// ((computed - measured) / measured)^2 for a computed inductance.
double squaredRelativeError(const InductorRecord* coil, double computed);
double evalInductor(const InductorRecord* coil, const ResultRecord* set);
void evalInductors(const InductorRecord* list, ResultRecord* set);

// Variation operators.
ResultRecord* genRandResult();
ResultRecord* breed(const ResultRecord* first, const ResultRecord* second, double rate);
ResultRecord* mutate(const ResultRecord* parent, double rate);
ResultRecord* goodDir(const ResultRecord* parent, double rate);
// Makes the next goodDir call scale down again, as at program start. For
// tests, which run many searches in one process.
void resetGoodDir();
// The direction of the next goodDir call (true: up), kept between calls; a
// snapshot saves and restores it.
bool goodDirUp();
void setGoodDirUp(bool up);

// Local grid search.
extern uint8_t swapper;
ResultRecord* runMajor(const InductorRecord* coils, const ResultRecord* candidate);

// Generation driver and dispatch.
extern int32_t gen;
extern int32_t lastgen;
extern double bestGoodness;
extern uint64_t tested;
extern uint64_t lastTested;
extern double accumSeconds;
extern uint32_t accumCnt;
void runOne(ResultRecord* candidate);
// The candidates out with workers, oldest hand-over first.
int outstandingCount();
const ResultRecord* outstandingCandidate(int i);
int outstandingSlot(int i);
// Hands `candidate` to the idle `slot` as the newest outstanding job, as
// runOne would have; for a resumed run, which puts every saved job back on
// the slot it was on.
void handOutAgain(int slot, ResultRecord* candidate);
void optimizeProc();
// The final report of the population as it stands, however the run ended.
void finalReport();

// Reports and exports.
// Set when the final report could not open its result file; the run then
// ends with status 255 instead of 0.
extern bool resultFileFailed;
void showResult(FILE* stream, const ResultRecord* set);
void showInductor(FILE* stream, const InductorRecord* coil);
InductorRecord* sortInd(InductorRecord* list, InductorRecord* coil);
void showInductorResults(const ResultRecord* set);
void saveTempResults(const ResultRecord* set);
// The checkpoint written to `path`; saveTempResults gives it the fixed name.
void writeCheckpoint(const char* path, const ResultRecord* set);
void CforTamblix(const char* path, const char* name, const InductorRecord* list);
void jaForSorvane(const char* path, const char* name, const InductorRecord* list);

// The local grid search: runMajor and the choice of the walk variant it runs
// on. What lies behind it (the window plan, the walk and its variants) is in
// gridsearch_choice.h and gridsearch_walk.h, for the tests and benchmarks.
#pragma once

#include <cstdint>

#include "coils/records.h"
#include "grid/gridsearch_choice.h"

// Alternates the order in which windows are offered from one call of runMajor
// to the next; each worker keeps its own.
extern uint8_t swapper;
// The best point of the grid around `candidate` over `coils`, a fresh record.
ResultRecord* runMajor(const InductorRecord* coils, const ResultRecord* candidate);


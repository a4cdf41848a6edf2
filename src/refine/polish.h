// Least-squares polish of a coefficient set. The search only ever produces
// sets on the grids of its ranges; from its best set a nonlinear least-squares
// solve reaches the nearby minimum of the goodness, off the grid and, when the
// minimum lies there, outside the ranges.
#pragma once

#include <cstdint>
#include <string>

#include "coils/records.h"

struct PolishOutcome {
    bool replaced = false;    // the set now holds the polished coefficients
    double found = 0;         // goodness of the set as it came
    double polished = 0;      // goodness of the solver's set; kNoValue when there is none
    int iterations = 0;       // solver iterations
    double milliseconds = 0;  // wall time of the whole polish
    std::string kept;         // why the found set was kept; empty when replaced
    int32_t held = 0;         // coefficients held for the equation's free scales (bit k: coefficient k)
    int leftOut = 0;          // coils left out: measured inductance 0 or not a finite number
    double usedFound = 0;     // with coils left out: the goodness over the others, of the set as it came
    double usedPolished = 0;  // ... and of the solver's set
    bool atLimit = false;      // the solver stopped at its iteration limit
    bool nonFinite = false;    // the solver met a cost that is not a finite number
    bool interrupted = false;  // a stop signal ended the solver early
    bool normalised = false;   // the held coefficients were put at 1 before the solve
    std::string notNormalised;  // why they could not be, when asked; empty otherwise
};

// Whether a coil's measured inductance can take part in a least-squares
// fit: a measured value of 0 makes its relative error infinite, one that is
// not a finite number makes it meaningless.
bool hasUsableMeasurement(const InductorRecord* coil);

// Bit k is set when coefficient k's range is a single value (low == high):
// the user pinned it, and the polish leaves it where it is.
int32_t pinnedCoefficients();

// Why `polished` may not take the place of `found`, or an empty string when
// it may: it must score strictly lower and evaluate every coil of `coils`
// that `found` evaluates. Both goodness fields must be current.
std::string polishRefusal(const InductorRecord* coils, const ResultRecord* found,
                          const ResultRecord* polished);

// Refines `set` by nonlinear least squares over the coils it evaluates, with
// residuals (L - m)/m, holding the coefficients in `pinned` (bit k stands
// for coefficient k). The coefficients and goodness of `set` are replaced
// only when polishRefusal accepts the result; nothing else is touched.
// With `normalize`, the found set's free scales are first put at 1
// (normalizeScales) and the solve holds them there; the set then takes the
// normalised coefficients even when the polished ones are refused.
PolishOutcome polishSet(const InductorRecord* coils, ResultRecord* set, int32_t pinned, bool normalize = false);

// The polish at the end of a run: polishes `best` with the range table's
// pinned coefficients, normalised with `normalize 1`, and says on one line of
// standard output what came of it.
PolishOutcome polishBest(const InductorRecord* coils, ResultRecord* best);

// Names, on one line of standard output, the coefficients of the polished
// `set` that lie outside their ranges in R, with their values and ranges;
// prints nothing when all lie inside.
void reportOutsideRanges(const ResultRecord* set);

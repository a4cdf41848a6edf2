// Which formula to use: every candidate form fitted to the same coils, each
// judged by its prediction RMS over repeated K-fold cross-validation with the
// same folds for all, and one recommended.
//
// The candidates are the four classical formulas alone (nothing fitted) and
// the equation as a correction to each base it can correct. Each correction
// is fitted by the least-squares refit from fixed starts (the base's own
// value: every polynomial 1, or the ideal solenoid for the equation alone),
// so its in-sample goodness is its least-squares floor, not the end of a
// search; the run's own form also starts from the run's final set.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "coils/baseformulas.h"
#include "refine/leastsquares.h"

// Coil positions in the shared list to folds 0..K-1. Repeat 0 is i mod K
// (the folds of crossvalidate); every later repeat reshuffles the positions
// with a fixed pseudo-random sequence of its own, so runs repeat.
std::vector<int> foldsOfRepeat(int coils, int folds, int repeat);

// Cross-validation of the set `c` fitted to `coils` (a subset of the shared
// list: `position[i]` is coil i's position there) with the folds `fold`
// (per shared position), refitting each fold from `c` holding `held`. The
// RMS of the left-out coils' relative errors; NaN when every fold failed.
// `foldSets`, when given, receives each fold's refitted set (the start set
// where the refit failed).
double crossValidatedRms(const std::vector<FitCoil>& coils, const std::vector<int>& position,
                         const std::vector<int>& fold, int folds, const Coefficients& c, int32_t held,
                         std::vector<Coefficients>* foldSets = nullptr);

// Mean and sample standard deviation of the repeats' prediction RMS; the
// spread is NaN for a single repeat.
struct RepeatedRms {
    double mean = 0;
    double spread = 0;
    int repeats = 0;  // repeats whose RMS is a number
};
RepeatedRms repeatedRms(const std::vector<double>& perRepeat);

struct CandidateForm {
    std::string name;      // for the JSON: solenoid, wheeler, sheet, sheetrosa, equation, equation+wheeler, ...
    std::string label;     // for the listing
    std::string baseName;  // the formula it is (classical) or corrects (equation)
    bool classical = false;
    bool own = false;      // the run's own form
    int fitted = 0;        // coefficients fitted
    int evaluated = 0;     // coils it evaluates
    bool comparable = false;  // it evaluates at least fitted + 2 coils
    double goodness = 0;
    double cvMean = 0, cvSpread = 0;  // NaN when none
    double aic = 0, bic = 0;
    double chi2PerDof = 0;  // NaN without a measurement uncertainty
    std::optional<Coefficients> coefficients;  // the equation's rows
    int32_t held = 0;
};

struct Comparison {
    int folds = 0;
    int repeats = 0;
    std::vector<CandidateForm> rows;
    int recommended = -1;  // row index; -1 when no row is comparable
    std::string reason;    // one line: why that row
    std::string lost;      // one line: what the run's own form loses; empty when it is the one recommended
};

// The run's own form: its base, final set and the coefficients the refit
// holds (pinned by the user, or held for a free scale).
struct OwnForm {
    BaseFormula base = BaseFormula::none;
    Coefficients coefficients{};
    int32_t held = 0;
    int32_t pinned = 0;
};

// Compares the candidate forms on `coils` (the coils with a usable
// measurement, in coil-file order). `uncertainty` is the measurements'
// relative standard uncertainty, or 0.
Comparison compareForms(const std::vector<const InductorRecord*>& coils, const OwnForm& own, int folds, int repeats,
                        double uncertainty);

// Each coil copied with its fit target measured / (base / mu0), as the
// setting base makes it; the target is NaN where the base cannot evaluate
// the coil.
std::vector<InductorRecord> retargetedCoils(const std::vector<const InductorRecord*>& coils, BaseFormula base);

// A start of the refit: the set, and the coefficients it holds.
struct FormStart {
    Coefficients coefficients{};
    int32_t held = 0;
};
// The fixed starts of the equation as a correction to `base`, each with the
// coefficients it holds for the equation's three free scales.
std::vector<FormStart> formStarts(BaseFormula base);

// The lowest least-squares floor reached from `starts` on `coils`, each start
// refitted until the solver converges (or five times its iteration limit);
// starts that cannot evaluate every coil are passed over.
struct FormFit {
    bool usable = false;
    Coefficients coefficients{};
    int32_t held = 0;
    double sum = 0;  // sum of squared relative errors
};
FormFit fitFromStarts(const std::vector<FitCoil>& coils, const std::vector<FormStart>& starts);
// A refit from `start` repeated while it stops at its iteration limit, at
// most five times.
Refit convergedRefit(const std::vector<FitCoil>& coils, const Coefficients& start, int32_t held);

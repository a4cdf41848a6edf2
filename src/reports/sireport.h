// The final report in the style `reportstyle si`: coil lines with the signed
// relative error in percent and sizes in millimetres, coefficients to the
// digits their standard errors support, and a result file that names its
// coil file, date, formula and settings.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "coils/records.h"
#include "refine/fitanalysis.h"

// What the coefficient lines need: each free coefficient's standard error
// (NaN where there is none) and the coefficients that are not free.
struct SiDigits {
    Coefficients standardError{};
    int32_t held = 0;    // held by the polish for a free scale
    int32_t pinned = 0;  // pinned by the user
    std::string unavailable;  // why there are no standard errors; empty when there are
};

// The standard errors of `set`: those of `analysis` when given, otherwise
// computed on the coils of `coils` the set evaluates.
SiDigits siDigitsOf(const FitAnalysis* analysis, const std::vector<const InductorRecord*>& coils,
                    const ResultRecord* set, int32_t pinned, int32_t held);

// `value` to the digits `standardError` supports, with the standard error to
// two digits: "1.9850 ± 0.0031"; six significant digits when the standard
// error is not a finite positive number.
std::string supportedDigits(double value, double standardError);

// The goodness and the coefficient lines.
void showResultSi(FILE* stream, const ResultRecord* set, const SiDigits& digits);
// The heading of the coil lines, after "Worst first".
void showCoilHeadingSi(FILE* stream);
// One coil line.
void showInductorSi(FILE* stream, const InductorRecord* coil);
// The run's date in UTC ("2026-12-08 18:00:27 UTC"), taken on the first call
// so that the result file and the result JSON give the same.
const std::string& reportDate();
// The result file's lines after its seed line: the coil file, the date, the
// formula (when no base names it already) and the settings set away from
// their defaults.
void showResultHeadingSi(FILE* stream);

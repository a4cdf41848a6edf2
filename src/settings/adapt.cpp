// Adaptation of the range table during a run, and the workers' check of it.
#include <unistd.h>

#include <cmath>
#include <cstdio>

#include "settings/rangehints.h"
#include "settings/rangemoves.h"
#include "settings/symtab.h"

namespace {

// The entry whose ratio is strictly smallest, starting from `m` = 1000 and
// keeping `k` when nothing beats it. Strict comparison gives ties to the lower
// index, and a NaN ratio (a range of width 0) never wins.
template <typename Ratio>
double smallestRatio(const ResultRecord* best, Ratio ratio, int& k) {
    double m = 1000;
    for (int i = 0; i < kCoefficientCount; ++i) {
        const double r = ratio(best->coefficients[i], R[i]);
        if (r < m) {
            m = r;
            k = i;
        }
    }
    return m;
}

}  // namespace

// Widens the search space where the best set presses against it: at most one
// low end is lowered and then, on the table as it now stands, at most one high
// end raised. Disabled (nothing changed or printed) while rangeexpand is 0.
void fixOneRange(const ResultRecord* best) {
    int k = 0;
    double m = smallestRatio(
        best,
        [](double c, const RangeEntry& e) { return std::fabs(c - e.low) / (e.high - e.low); }, k);
    if (S[kRangeExpand].value.i == 0) return;
    const double pctchange = S[kPctChange].value.d;

    if (m < pctchange) {
        RangeEntry& entry = R[k];
        std::printf("  Lowered %s from %g, %g to ", entry.name, entry.low, entry.high);
        entry.low = lowerEnd(entry.low, entry.high);
        std::printf(" %g, %g\n", entry.low, entry.high);
        explainAdaptedRange();
        computeInc();
    }

    // k carries over from the lowering search when no ratio is below 1000.
    m = smallestRatio(
        best,
        [](double c, const RangeEntry& e) { return std::fabs(e.high - c) / (e.high - e.low); }, k);
    if (m < pctchange) {
        RangeEntry& entry = R[k];
        std::printf("  Raised %s from %g, %g to ", entry.name, entry.low, entry.high);
        entry.high = raiseEnd(entry.low, entry.high);
        std::printf(" %g, %g\n", entry.low, entry.high);
        explainAdaptedRange();
        computeInc();
    }
}

void checkRangeTable() { checkRangeTableOf(static_cast<int>(getpid())); }

// Lists every entry whose minor count is not positive, under the given process
// id. A report only: the worker goes on serving jobs.
void checkRangeTableOf(int pid) {
    bool reported = false;
    for (const RangeEntry& entry : R) {
        if (entry.mcount > 0) continue;
        std::printf("Range table error pid %d %s has mcount of %d\n", pid, entry.name, entry.mcount);
        reported = true;
    }
    if (reported) {
        std::printf("Task %d abort\n", pid);
        // Whole lines, promptly, on the output the master shares.
        std::fflush(stdout);
    }
}

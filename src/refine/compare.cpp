// The comparison of candidate forms: classical formulas alone and the
// equation corrected to each base, on the same coils and the same folds.
#include "refine/compare.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <random>

#include "coils/equation.h"
#include "common/textformat.h"
#include "refine/polish.h"
#include "refine/statistics.h"

namespace {

constexpr double kPi = 3.141592653589793;
constexpr int32_t kAllCoefficients = (int32_t{1} << kCoefficientCount) - 1;
constexpr int kRefitRounds = 5;

int32_t bit(int k) { return int32_t{1} << k; }
int freeCount(int32_t held) { return std::popcount(static_cast<uint32_t>(~held & kAllCoefficients)); }

std::string formLabel(BaseFormula base) {
    return base == BaseFormula::none ? "equation alone" : std::string("equation + ") + baseFormulaInfo(base).name;
}
std::string formName(BaseFormula base) {
    return base == BaseFormula::none ? "equation" : std::string("equation+") + baseFormulaInfo(base).name;
}

void setCriteria(CandidateForm& row, double sum, double uncertainty) {
    const int n = row.evaluated;
    row.goodness = std::sqrt(sum / n);
    row.aic = akaike(n, sum, row.fitted);
    row.bic = n * std::log(sum / n) + std::log(static_cast<double>(n)) * row.fitted;
    row.chi2PerDof = uncertainty > 0 ? sum / (uncertainty * uncertainty) / (n - row.fitted) : std::nan("");
}

CandidateForm classicalRow(const std::vector<const InductorRecord*>& coils, size_t formula, int repeats,
                           double uncertainty) {
    CandidateForm row;
    row.name = kClassicalFormulas[formula].name;
    row.label = kClassicalFormulas[formula].shortLabel;
    row.baseName = row.name;
    row.classical = true;
    double sum = 0;
    for (const InductorRecord* coil : coils) {
        const double m = measuredAsGiven(coil);
        const double relative = (kClassicalFormulas[formula].inductance(coil) - m) / m;
        if (!std::isfinite(relative)) continue;
        sum += relative * relative;
        ++row.evaluated;
    }
    row.comparable = row.evaluated >= row.fitted + 2;
    row.cvMean = row.cvSpread = std::nan("");
    if (!row.comparable) return row;
    setCriteria(row, sum, uncertainty);
    // Nothing is fitted: every fold's left-out coils score as in sample.
    row.cvMean = row.goodness;
    row.cvSpread = repeats > 1 ? 0.0 : std::nan("");
    return row;
}

CandidateForm equationRow(const std::vector<const InductorRecord*>& coils, BaseFormula base, const OwnForm* own,
                          const std::vector<std::vector<int>>& foldSets, int folds, double uncertainty) {
    CandidateForm row;
    row.name = formName(base);
    row.label = formLabel(base) + (own != nullptr ? " (this run)" : "");
    row.baseName = baseFormulaInfo(base).name;
    row.own = own != nullptr;
    row.cvMean = row.cvSpread = std::nan("");

    std::vector<FormStart> starts;
    if (own != nullptr) starts.push_back({own->coefficients, own->held | own->pinned});
    // Pins are the user's: the fixed starts stand for the whole form only
    // when nothing is pinned.
    if (own == nullptr || own->pinned == 0)
        for (const FormStart& start : formStarts(base)) starts.push_back(start);

    // The fit's coils point into `targets`: neither leaves this function.
    const std::vector<InductorRecord> targets = retargetedCoils(coils, base);
    ResultRecord first{};
    first.coefficients = starts.front().coefficients;
    std::vector<FitCoil> fitCoils;
    std::vector<int> position;
    for (size_t i = 0; i < targets.size(); ++i)
        if (hasUsableMeasurement(&targets[i]) && evaluates(&targets[i], &first)) {
            fitCoils.push_back(fitCoilOf(&targets[i]));
            position.push_back(static_cast<int>(i));
        }
    row.evaluated = static_cast<int>(fitCoils.size());
    row.held = starts.front().held;
    row.fitted = freeCount(row.held);
    row.comparable = row.evaluated >= row.fitted + 2;
    if (!row.comparable) return row;

    const FormFit fit = fitFromStarts(fitCoils, starts);
    if (!fit.usable) {
        row.comparable = false;
        return row;
    }
    row.coefficients = fit.coefficients;
    row.held = fit.held;
    row.fitted = freeCount(fit.held);
    setCriteria(row, fit.sum, uncertainty);
    std::vector<double> perRepeat;
    for (const std::vector<int>& fold : foldSets)
        perRepeat.push_back(crossValidatedRms(fitCoils, position, fold, folds, fit.coefficients, fit.held));
    const RepeatedRms cv = repeatedRms(perRepeat);
    row.cvMean = cv.mean;
    row.cvSpread = cv.spread;
    return row;
}

double spreadOrZero(double spread) { return std::isnan(spread) ? 0.0 : spread; }

void recommend(Comparison& c) {
    int best = -1;
    for (size_t i = 0; i < c.rows.size(); ++i) {
        const CandidateForm& row = c.rows[i];
        if (!row.comparable || std::isnan(row.cvMean)) continue;
        if (best < 0 || row.cvMean < c.rows[best].cvMean) best = static_cast<int>(i);
    }
    if (best < 0) {
        c.reason = "no candidate evaluates enough coils to be compared";
        return;
    }
    const CandidateForm& lowest = c.rows[best];
    const double limit = lowest.cvMean + spreadOrZero(lowest.cvSpread);
    int chosen = best;
    for (size_t i = 0; i < c.rows.size(); ++i) {
        const CandidateForm& row = c.rows[i];
        if (!row.comparable || std::isnan(row.cvMean) || row.cvMean > limit) continue;
        const CandidateForm& now = c.rows[chosen];
        if (row.fitted < now.fitted || (row.fitted == now.fitted && row.cvMean < now.cvMean))
            chosen = static_cast<int>(i);
    }
    c.recommended = chosen;
    const CandidateForm& pick = c.rows[chosen];
    if (chosen == best) {
        int next = -1;
        for (size_t i = 0; i < c.rows.size(); ++i) {
            const CandidateForm& row = c.rows[i];
            if (static_cast<int>(i) == best || !row.comparable || std::isnan(row.cvMean)) continue;
            if (next < 0 || row.cvMean < c.rows[next].cvMean) next = static_cast<int>(i);
        }
        c.reason = formatted("%s predicts new coils best: prediction RMS %.3g", pick.label.c_str(), pick.cvMean);
        if (next >= 0)
            c.reason += formatted(", against %.3g for the next, %s", c.rows[next].cvMean, c.rows[next].label.c_str());
    } else {
        c.reason = formatted("%s fits %d coefficients against %d, and its prediction RMS %.3g is within one spread "
                             "(%.2g) of the lowest, %.3g (%s)",
                             pick.label.c_str(), pick.fitted, lowest.fitted, pick.cvMean, lowest.cvSpread,
                             lowest.cvMean, lowest.label.c_str());
    }
    int most = 0;
    for (const CandidateForm& row : c.rows) most = std::max(most, row.evaluated);
    if (pick.evaluated < most)
        c.reason += formatted("; it cannot evaluate %d of the %d coils, which its figures leave out",
                              most - pick.evaluated, most);
    for (const CandidateForm& row : c.rows) {
        if (!row.own || &row == &pick) continue;
        if (!row.comparable)
            c.lost = formatted("The run's own form, %s, evaluates only %d coils: too few to compare with %d "
                               "coefficients fitted",
                               row.label.c_str(), row.evaluated, row.fitted);
        else
            c.lost = formatted("The run's own form, %s, predicts new coils to %.3g against %.3g: %.2f times the "
                               "error of %s, with %d coefficients fitted against %d",
                               row.label.c_str(), row.cvMean, pick.cvMean, row.cvMean / pick.cvMean,
                               pick.label.c_str(), row.fitted, pick.fitted);
    }
}

}  // namespace

std::vector<int> foldsOfRepeat(int coils, int folds, int repeat) {
    std::vector<int> order(static_cast<size_t>(coils));
    for (int i = 0; i < coils; ++i) order[i] = i;
    if (repeat > 0) {
        // Fisher-Yates on the 64-bit Mersenne Twister, whose sequence the
        // standard fixes, so every platform makes the same folds.
        std::mt19937_64 random(0x51eda7e5u + static_cast<uint64_t>(repeat));
        for (int i = coils - 1; i > 0; --i) std::swap(order[i], order[random() % static_cast<uint64_t>(i + 1)]);
    }
    std::vector<int> fold(static_cast<size_t>(coils));
    for (int rank = 0; rank < coils; ++rank) fold[order[rank]] = rank % folds;
    return fold;
}

Refit convergedRefit(const std::vector<FitCoil>& coils, const Coefficients& start, int32_t held) {
    Refit fitted = refit(coils, start, held);
    for (int round = 1; round < kRefitRounds && fitted.usable && fitted.atLimit && !fitted.interrupted; ++round) {
        const Refit further = refit(coils, fitted.coefficients, held);
        if (!further.usable) break;
        fitted = further;
    }
    return fitted;
}

double crossValidatedRms(const std::vector<FitCoil>& coils, const std::vector<int>& position,
                         const std::vector<int>& fold, int folds, const Coefficients& c, int32_t held,
                         std::vector<Coefficients>* foldSets) {
    const size_t free = static_cast<size_t>(freeCount(held));
    double sum = 0;
    size_t counted = 0;
    if (foldSets != nullptr) foldSets->assign(static_cast<size_t>(folds), c);
    for (int k = 0; k < folds; ++k) {
        std::vector<FitCoil> training, left;
        for (size_t i = 0; i < coils.size(); ++i) (fold[position[i]] == k ? left : training).push_back(coils[i]);
        if (left.empty() || training.size() < free) continue;
        const Refit fitted = convergedRefit(training, c, held);
        if (!fitted.usable) continue;
        const double foldSum = squaredErrorSum(left, fitted.coefficients);
        if (std::isnan(foldSum)) continue;
        if (foldSets != nullptr) (*foldSets)[k] = fitted.coefficients;
        sum += foldSum;
        counted += left.size();
    }
    return counted > 0 ? std::sqrt(sum / static_cast<double>(counted)) : std::nan("");
}

RepeatedRms repeatedRms(const std::vector<double>& perRepeat) {
    RepeatedRms r;
    double sum = 0;
    for (const double rms : perRepeat)
        if (!std::isnan(rms)) {
            sum += rms;
            ++r.repeats;
        }
    if (r.repeats == 0) {
        r.mean = r.spread = std::nan("");
        return r;
    }
    r.mean = sum / r.repeats;
    if (r.repeats < 2) {
        r.spread = std::nan("");
        return r;
    }
    double squares = 0;
    for (const double rms : perRepeat)
        if (!std::isnan(rms)) squares += (rms - r.mean) * (rms - r.mean);
    r.spread = std::sqrt(squares / (r.repeats - 1));
    return r;
}

std::vector<InductorRecord> retargetedCoils(const std::vector<const InductorRecord*>& coils, BaseFormula base) {
    std::vector<InductorRecord> copies;
    copies.reserve(coils.size());
    for (const InductorRecord* coil : coils) {
        InductorRecord copy = *coil;
        copy.next = nullptr;
        const double given = measuredAsGiven(coil);
        if (base == BaseFormula::none) {
            copy.baseFactor = 0;
            copy.measuredInductance = given;
        } else {
            const double turns = coil->turns;
            copy.baseFactor = baseFactor(base, coil->radius, turns, coil->length, coil->wire);
            copy.givenInductance = given;
            copy.measuredInductance = given / copy.baseFactor;
        }
        copies.push_back(copy);
    }
    return copies;
}

std::vector<FormStart> formStarts(BaseFormula base) {
    if (base == BaseFormula::none) {
        // The ideal long solenoid, mu0·(pi·a²)·N²/(l·1), holding w0, t2 and l1
        // for the free scales; and the same with a thin end correction in
        // the length, l + 0.9·a in Wheeler's spirit expressed through l0.
        Coefficients ideal{};
        ideal[cR2] = kPi;
        ideal[cW0] = 1;
        ideal[cT2] = 1;
        ideal[cL1] = 1;
        Coefficients ended = ideal;
        ended[cL0] = 0.01;
        const int32_t held = bit(cW0) | bit(cT2) | bit(cL1);
        return {{ideal, held}, {ended, held}};
    }
    // The base itself: every polynomial 1, holding w0, t0 and l0.
    Coefficients one{};
    one[cR0] = one[cW0] = one[cT0] = one[cL0] = 1;
    return {{one, bit(cW0) | bit(cT0) | bit(cL0)}};
}

FormFit fitFromStarts(const std::vector<FitCoil>& coils, const std::vector<FormStart>& starts) {
    FormFit best;
    for (const FormStart& start : starts) {
        Coefficients c = start.coefficients;
        double sum = squaredErrorSum(coils, c);
        if (std::isnan(sum)) continue;
        const Refit fitted = convergedRefit(coils, c, start.held);
        if (fitted.usable) {
            const double refitted = squaredErrorSum(coils, fitted.coefficients);
            if (refitted < sum) {
                sum = refitted;
                c = fitted.coefficients;
            }
        }
        if (!best.usable || sum < best.sum) best = {true, c, start.held, sum};
    }
    return best;
}

Comparison compareForms(const std::vector<const InductorRecord*>& coils, const OwnForm& own, int folds, int repeats,
                        double uncertainty) {
    Comparison c;
    const int n = static_cast<int>(coils.size());
    c.folds = std::max(1, std::min(folds, n));
    c.repeats = repeats;
    std::vector<std::vector<int>> foldSets;
    for (int r = 0; r < repeats; ++r) foldSets.push_back(foldsOfRepeat(n, c.folds, r));
    for (size_t f = 0; f < kClassicalFormulas.size(); ++f)
        c.rows.push_back(classicalRow(coils, f, repeats, uncertainty));
    for (const BaseFormula base : kBaseFormulas)
        c.rows.push_back(equationRow(coils, base, base == own.base ? &own : nullptr, foldSets, c.folds, uncertainty));
    recommend(c);
    return c;
}

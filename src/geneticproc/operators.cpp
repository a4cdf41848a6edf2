// The variation operators: random, crossover, mutation and directed scaling.
// Each returns a fresh record from the pool with a null link and goodness 0;
// the change mask has bit k set for every coefficient k the operator changed.

#include "geneticproc.h"
#include "library.h"
#include "random.h"
#include "storage.h"
#include "symtab.h"

namespace {

// Direction of the next goodDir call: up (1 + direction) when set.
bool curDir = false;

constexpr int32_t bitOf(int k) {
    return int32_t{1} << k;
}

// Ends one attempt of breed, mutate or goodDir: true when the candidate is
// new to the library or the attempts are used up. At least one attempt is
// always made, whatever the tries setting.
bool lastAttempt(const ResultRecord* record, int32_t* attempts) {
    if (!doneAlready(record)) return true;
    ++*attempts;
    return *attempts >= S[kTries].value.i;
}

}  // namespace

void resetGoodDir() {
    curDir = false;
}

// One grid draw per coefficient, in coefficient order. The library is not
// asked; that is the caller's business.
ResultRecord* genRandResult() {
    ResultRecord* record = newResult();
    for (int k = 0; k < kCoefficientCount; ++k) {
        const RangeEntry& range = R[k];
        const double y = uniform() * static_cast<double>(range.steps);
        record->coefficients[k] = roundHalfAway(y) * range.resolution + range.low;
    }
    record->changeMask = -1;
    return record;
}

// Coefficient k comes from the second parent with chance `rate`.
ResultRecord* breed(const ResultRecord* first, const ResultRecord* second, double rate) {
    ResultRecord* record = newResult();
    int32_t attempts = 0;
    do {
        int32_t mask = 0;
        for (int k = 0; k < kCoefficientCount; ++k) {
            const double u = uniform();
            if (u < rate) {
                record->coefficients[k] = second->coefficients[k];
                mask |= bitOf(k);
            } else {
                record->coefficients[k] = first->coefficients[k];
            }
        }
        record->changeMask = mask;
    } while (!lastAttempt(record, &attempts));
    return record;
}

// Coefficient k is redrawn from its range with chance `rate`; the grid draw
// takes the draw right after the one that chose it.
ResultRecord* mutate(const ResultRecord* parent, double rate) {
    ResultRecord* record = newResult();
    int32_t attempts = 0;
    do {
        int32_t mask = 0;
        for (int k = 0; k < kCoefficientCount; ++k) {
            const double u = uniform();
            if (u < rate) {
                record->coefficients[k] = genUniform(&R[k]);
                mask |= bitOf(k);
            } else {
                record->coefficients[k] = parent->coefficients[k];
            }
        }
        record->changeMask = mask;
    } while (!lastAttempt(record, &attempts));
    return record;
}

// Coefficient k is scaled by 1 - direction or 1 + direction with chance
// `rate`. All attempts of one call scale the same way; successive calls
// alternate, starting downwards. Scaled values stay off the grid and may
// leave their range.
ResultRecord* goodDir(const ResultRecord* parent, double rate) {
    const double direction = S[kDirection].value.d;
    const double factor = curDir ? 1 + direction : 1 - direction;
    ResultRecord* record = newResult();
    int32_t attempts = 0;
    do {
        int32_t mask = 0;
        for (int k = 0; k < kCoefficientCount; ++k) {
            const double u = uniform();
            if (u < rate) {
                record->coefficients[k] = factor * parent->coefficients[k];
                mask |= bitOf(k);
            } else {
                record->coefficients[k] = parent->coefficients[k];
            }
        }
        record->changeMask = mask;
    } while (!lastAttempt(record, &attempts));
    curDir = !curDir;
    return record;
}

// The variation operators: random, crossover, mutation and directed scaling.
// Each returns a fresh record from the pool with a null link and goodness 0;
// the change mask has bit k set for every coefficient k the operator changed.

#include "coils/storage.h"
#include "search/library.h"
#include "search/operators.h"
#include "search/random.h"
#include "search/searchstate.h"
#include "settings/holdsetting.h"
#include "settings/symtab.h"

namespace {

// Direction of the next goodDir call: up (1 + direction) when set.
bool& curDir = searchCounters.goodDirUp;

constexpr int32_t bitOf(int k) {
    return int32_t{1} << k;
}

// The common frame of breed, mutate and goodDir: fill the 15 coefficients in
// order, one uniform() draw each first, by `rule(k, u, value)`, which sets
// the value and tells whether it changed coefficient k; ask the library, and
// refill the same record while it holds the set, up to `tries` attempts (at
// least one is always made). After the last attempt the record is returned
// even if the library already held it.
template <typename Rule>
ResultRecord* makeCandidate(Rule rule) {
    ResultRecord* record = newResult();
    for (int32_t attempts = 0;;) {
        int32_t mask = 0;
        for (int k = 0; k < kCoefficientCount; ++k) {
            const double u = uniform();
            if (rule(k, u, record->coefficients[k])) mask |= bitOf(k);
        }
        record->changeMask = mask;
        if (!doneAlready(record) || ++attempts >= S[kTries].value.i) return record;
    }
}

}  // namespace

#if defined(QUELMO_TEST_HOOKS)
void resetGoodDir() {
    curDir = false;
}
#endif

bool goodDirUp() { return curDir; }

void setGoodDirUp(bool up) { curDir = up; }

// One grid draw per coefficient, in coefficient order. The library is not
// asked; that is the caller's business.
ResultRecord* genRandResult() {
    ResultRecord* record = newResult();
    for (int k = 0; k < kCoefficientCount; ++k) record->coefficients[k] = genUniform(&R[k]);
    record->changeMask = -1;
    return record;
}

// Coefficient k comes from the second parent with chance `rate`.
ResultRecord* breed(const ResultRecord* first, const ResultRecord* second, double rate) {
    return makeCandidate([&](int k, double u, double& value) {
        const bool fromSecond = u < rate;
        value = (fromSecond ? second : first)->coefficients[k];
        return fromSecond;
    });
}

// Coefficient k is redrawn from its range with chance `rate`; the grid draw
// takes the draw right after the one that chose it.
ResultRecord* mutate(const ResultRecord* parent, double rate) {
    return makeCandidate([&](int k, double u, double& value) {
        const bool redrawn = u < rate;
        value = redrawn ? genUniform(&R[k]) : parent->coefficients[k];
        return redrawn;
    });
}

// Coefficient k is scaled by 1 - direction or 1 + direction with chance
// `rate`. All attempts of one call scale the same way; successive calls
// alternate, starting downwards. Scaled values stay off the grid and may
// leave their range.
ResultRecord* goodDir(const ResultRecord* parent, double rate) {
    const double direction = S[kDirection].value.d;
    const double factor = curDir ? 1 + direction : 1 - direction;
    ResultRecord* record = makeCandidate([&](int k, double u, double& value) {
        // A held coefficient keeps its value, which may not be 0.
        const bool scaled = u < rate && (heldBySetting() >> k & 1) == 0;
        value = scaled ? factor * parent->coefficients[k] : parent->coefficients[k];
        return scaled;
    });
    curDir = !curDir;
    return record;
}

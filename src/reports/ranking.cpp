// The final report's ranking of the coils, worst first.
//
// Inserting the coils one by one (sortInd) puts a coil before the first
// listed coil whose error is less than or equal to its own, passing over
// NaN errors, or at the end. So the coils with a number as error end up by
// descending error, a later coil before earlier ones of equal error. A coil
// with a NaN error goes to the end at its turn and is passed over by every
// later coil: the coils before it are then those inserted earlier and those
// inserted later whose error is at least the smallest error inserted before
// it. With none inserted before it, it stays ahead of every later coil.
#include "reports/ranking.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace {

struct Placed {
    InductorRecord* coil;
    size_t order;  // place in the insertion order
};

// A NaN coil stands after every numbered coil whose error is at least its
// threshold; with no threshold it stands before all of them.
struct Unranked {
    InductorRecord* coil;
    bool hasThreshold;
    double threshold;
};

}  // namespace

InductorRecord* rankWorstFirst(const std::vector<InductorRecord*>& coils) {
    std::vector<Placed> numbered;
    std::vector<Unranked> unranked;
    numbered.reserve(coils.size());
    bool seenNumber = false;
    double smallest = 0;
    for (size_t i = 0; i < coils.size(); ++i) {
        const double error = coils[i]->squaredError;
        if (std::isnan(error)) {
            unranked.push_back({coils[i], seenNumber, smallest});
            continue;
        }
        if (!seenNumber || error < smallest) smallest = error;
        seenNumber = true;
        numbered.push_back({coils[i], i});
    }
    std::sort(numbered.begin(), numbered.end(), [](const Placed& a, const Placed& b) {
        if (a.coil->squaredError != b.coil->squaredError) return a.coil->squaredError > b.coil->squaredError;
        return a.order > b.order;
    });

    // The thresholds fall as the insertion order goes on, so one merge
    // places every NaN coil.
    InductorRecord* head = nullptr;
    InductorRecord** tail = &head;
    auto append = [&tail](InductorRecord* coil) {
        *tail = coil;
        tail = &coil->next;
    };
    size_t n = 0;
    for (const Unranked& nan : unranked) {
        if (nan.hasThreshold)
            while (n < numbered.size() && numbered[n].coil->squaredError >= nan.threshold) append(numbered[n++].coil);
        append(nan.coil);
    }
    while (n < numbered.size()) append(numbered[n++].coil);
    *tail = nullptr;
    return head;
}

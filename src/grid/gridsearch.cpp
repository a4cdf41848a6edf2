// The local grid search: every candidate is replaced by the best point of a
// small grid of coefficient sets around it.
//
// The windows are settled first (gridsearch_walk.cpp); then every grid point
// is evaluated over the coils and the earliest point in walk order (r0
// outermost, l3 innermost) with the smallest goodness is returned. The walk
// runs on the variant chosen at start-up (gridsearch_choice.cpp); its
// results are bit-identical on every variant.
#include "coils/storage.h"
#include "grid/gridsearch.h"

uint8_t swapper = 0;

namespace {

// The grid search on a chosen walk. Test hooks reach it to compare the walks.
ResultRecord* searchGridWith(GridWalk walk, const InductorRecord* coils, const ResultRecord* candidate) {
    ResultRecord* best = newResult();
    best->goodness = kNoValue;
    ResultRecord* point = newResult();
    ResultRecord* base = newResult();

    const GridWindows windows = planGridWindows(candidate, (swapper & 1) != 0);
    ++swapper;
    for (int k = 0; k < kCoefficientCount; ++k) base->coefficients[k] = windows.start[k];

    const GridBest found = walkGrid(walk, windows, coils);
    if (found.found) {
        // Rebuild the winning point from its index in walk order (r0 most
        // significant) with the same formula the walk used.
        int64_t index = found.index;
        for (int k = kCoefficientCount - 1; k >= 0; --k) {
            point->coefficients[k] = gridValue(windows, k, index % windows.count[k]);
            index /= windows.count[k];
        }
        point->goodness = found.goodness;
        copyResult(best, point);
    }
    freeResult(point);
    freeResult(base);
    return best;
}

}  // namespace

#if defined(QUELMO_TEST_HOOKS)
ResultRecord* runMajorWith(GridWalk walk, const InductorRecord* coils, const ResultRecord* candidate) {
    return searchGridWith(walk, coils, candidate);
}

ResultRecord* runMajorOn(GridPath path, const InductorRecord* coils, const ResultRecord* candidate) {
    return searchGridWith(gridWalkFor(path), coils, candidate);
}
#endif

ResultRecord* runMajor(const InductorRecord* coils, const ResultRecord* candidate) {
    return searchGridWith(gridWalkFor(gridPathChosen()), coils, candidate);
}

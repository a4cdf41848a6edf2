// Fuzzes the ranges reader (readSymtab) with whole ranges files, then does
// what a run does next with the tables: draws a random set from the ranges
// and settles the grid search's windows around it.
#include "fuzz_support.h"
#include "search/operators.h"
#include "search/random.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::setUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz::InputFile input;
    const char* path = input.hold(data, size);
    const int freeBefore = fuzz::lowestFreeDescriptor();
    try {
        readSymtab(path);
        init_genrand64(static_cast<uint64_t>(S[kSeed].value.l));
        ResultRecord* set = genRandResult();
        for (bool forward : {true, false}) {
            const GridWindows windows = planGridWindows(set, forward);
            // Every coefficient has a window of at least one value, and the
            // granted ones stay under the cap.
            int64_t points = 1;
            for (int k = 0; k < kCoefficientCount; ++k) {
                if (windows.count[k] < 1) fuzz::fail("a window of no value");
                points *= windows.count[k];
            }
            if (points > 1 && points >= S[kMinorMax].value.i) fuzz::fail("windows beyond the minormax cap");
        }
        freeResult(set);
    } catch (const FatalError&) {
    }
    if (fuzz::lowestFreeDescriptor() != freeBefore) fuzz::fail("the ranges reader left a file open");
    fuzz::releaseInputs();
    return 0;
}

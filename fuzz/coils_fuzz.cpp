// Fuzzes the coil reader (readTestInductors) with whole coil files, then does
// what a run does with the coils: evaluates a set on them and runs the grid
// search over them, every walk against the literal one.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::setUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz::InputFile input;
    const char* path = input.hold(data, size);
    const int freeBefore = fuzz::lowestFreeDescriptor();
    try {
        readTestInductors(path);
        ResultRecord fit{};
        for (int k = 0; k < kCoefficientCount; ++k) fit.coefficients[k] = fuzz::kFit[k];
        evalInductors(theInductors, &fit);
        // Windows on r2, w1, t1 and l2: a point of every group varies.
        fuzz::setSmallWindows((1 << cR2) | (1 << cW1) | (1 << cT1) | (1 << cL2));
        fuzz::checkWalks(theInductors, fit);
    } catch (const FatalError&) {
    }
    if (fuzz::lowestFreeDescriptor() != freeBefore) fuzz::fail("the coil reader left a file open");
    fuzz::releaseInputs();
    return 0;
}

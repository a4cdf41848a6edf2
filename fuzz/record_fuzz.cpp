// Fuzzes the binary record reader (readResult) with exchange files of one or
// more records, then does with each record what the program does: a worker
// runs the grid search around it (every walk against the literal one, over
// the coils of the example file's first lines), the master ranks it.
#include <iterator>

#include "fuzz_support.h"
#include "search/sort.h"
#include "testhooks.h"

namespace {

// Eight of the example coils.
const InductorRecord* someCoils() {
    static const InductorRecord* coils = [] {
        static InductorRecord list[] = {
            {nullptr, 4.48266e-06, 0.0159268, 0.000227333, 25, 0.0131143, 11, nullptr, 0, 0, 0, 0},
            {nullptr, 7.87442e-06, 0.00629852, 0.00040591, 20, 0.0467111, 52, nullptr, 0, 0, 0, 0},
            {nullptr, 2.89666e-07, 0.0139895, 0.00115242, 11, 0.00998122, 3, nullptr, 0, 0, 0, 0},
            {nullptr, 3.66342e-05, 0.00734446, 0.000142971, 29, 0.0770225, 120, nullptr, 0, 0, 0, 0},
            {nullptr, 1.20761e-05, 0.00644204, 0.00045581, 19, 0.0776291, 80, nullptr, 0, 0, 0, 0},
            {nullptr, 0.000139143, 0.0390414, 0.000913913, 13, 0.117183, 60, nullptr, 0, 0, 0, 0},
            {nullptr, 0.000291809, 0.0289984, 0.00012732, 30, 0.139306, 120, nullptr, 0, 0, 0, 0},
            {nullptr, 0.000123642, 0.018353, 0.00040591, 20, 0.0846598, 98, nullptr, 0, 0, 0, 0},
        };
        for (size_t i = 0; i + 1 < std::size(list); ++i) list[i].next = &list[i + 1];
        return list;
    }();
    return coils;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::setUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz::InputFile input;
    FILE* in = std::fopen(input.hold(data, size), "rb");
    if (in == nullptr) std::abort();
    ResultRecord* ranked = nullptr;
    while (ResultRecord* record = readResult(in)) {
        // The change mask picks the coefficients that get a window.
        fuzz::setSmallWindows(record->changeMask);
        fuzz::checkWalks(someCoils(), *record);
        ranked = sortgen(ranked, record);
    }
    std::fclose(in);
    while (ranked != nullptr) {
        ResultRecord* next = ranked->next;
        freeResult(ranked);
        ranked = next;
    }
    resetTables();
    return 0;
}

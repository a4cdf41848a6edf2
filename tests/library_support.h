// Lets tests that run in one process start on an empty duplicate library.
#pragma once

#include <cstdint>

#include "coils/storage.h"
#include "search/library.h"
#include "testhooks.h"

// Returns to the pool every copy the library holds and clears it. Touches
// the table only when something was stored since the last clear.
inline void emptyLibrary() {
    static int64_t storedAtLastClear = 0;
    if (libCnt == storedAtLastClear) return;
    for (const ResultRecord* entry : libraryEntries()) freeResult(const_cast<ResultRecord*>(entry));
    initLibrary();
    storedAtLastClear = libCnt;
}

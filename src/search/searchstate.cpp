// The search's counters and stop request.
#include "search/searchstate.h"

int32_t gen = 0;
int32_t lastgen = 0;
double bestGoodness = 0;

uint64_t tested = 0;
uint64_t lastTested = 0;
double accumSeconds = 0;
uint32_t accumCnt = 0;

bool stopWaitsForGenerationEnd = false;
bool escapeRequested = false;

bool stopAtGenerationEnd() {
    if (!stopWaitsForGenerationEnd) return false;
    escapeRequested = true;
    return true;
}

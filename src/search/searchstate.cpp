// The search's counters and stop request.
#include "search/searchstate.h"

SearchCounters searchCounters;

bool stopWaitsForGenerationEnd = false;
bool escapeRequested = false;

bool stopAtGenerationEnd() {
    if (!stopWaitsForGenerationEnd) return false;
    escapeRequested = true;
    return true;
}

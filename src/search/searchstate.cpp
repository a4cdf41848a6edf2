// The search's counters.
#include "search/searchstate.h"

SearchCounters searchCounters;

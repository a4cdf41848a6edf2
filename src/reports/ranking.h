// The final report's ranking of the coils, worst first.
#pragma once

#include <vector>

#include "coils/records.h"

// Links `coils` through `next` in exactly the order that inserting them one
// by one, in the given order, with sortInd would give, and returns the head;
// in O(n log n) where the insertions take O(n^2).
InductorRecord* rankWorstFirst(const std::vector<InductorRecord*>& coils);

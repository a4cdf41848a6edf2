// The test coil file.
#pragma once

#include <vector>

#include "coils/records.h"

// The coils in reverse file order.
extern InductorRecord* theInductors;

void readTestInductors(const char* path);
// The coils of theInductors in file order. The final report relinks the
// list to rank it, so callers that need the file order take it before.
std::vector<const InductorRecord*> coilsInFileOrder();

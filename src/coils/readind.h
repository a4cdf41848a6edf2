// The test coil file.
#pragma once

#include "coils/records.h"

// The coils in reverse file order.
extern InductorRecord* theInductors;

void readTestInductors(const char* path);

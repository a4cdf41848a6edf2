// Exports of the ranked coil list: a C source table and a script.
#pragma once

#include "coils/records.h"

// Each tells a failure on standard error and returns false; the run goes on.
bool CforTamblix(const char* path, const char* name, const InductorRecord* list);
bool jaForSorvane(const char* path, const char* name, const InductorRecord* list);

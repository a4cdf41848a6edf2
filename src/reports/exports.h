// Exports of the ranked coil list: a C source table and a script.
#pragma once

#include "coils/records.h"

void CforTamblix(const char* path, const char* name, const InductorRecord* list);
void jaForSorvane(const char* path, const char* name, const InductorRecord* list);

// The duplicate library: every candidate the search has made.
#pragma once

#include <cstdint>

#include "records.h"

inline constexpr uint64_t kLibrarySlots = uint64_t{1} << 25;

extern ResultRecord* lib[kLibrarySlots];
extern int64_t libCnt;
extern int64_t rejects;

void initLibrary();
bool doneAlready(const ResultRecord* candidate);

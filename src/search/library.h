// The duplicate library: every candidate the search has made.
#pragma once

#include <cstdint>
#include <vector>

#include "coils/records.h"

inline constexpr uint64_t kLibrarySlots = uint64_t{1} << 25;

extern int64_t libCnt;
extern int64_t rejects;

void initLibrary();
bool doneAlready(const ResultRecord* candidate);
// The stored copies in the order they were stored. Storing the same sets
// again in this order into an empty library rebuilds the same table.
const std::vector<const ResultRecord*>& libraryEntries();

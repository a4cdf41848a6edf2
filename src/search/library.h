// The duplicate library: every candidate the search has made.
#pragma once

#include <cstdint>
#include <vector>

#include "coils/records.h"
#include "search/searchstate.h"

// The most slots the library's table grows to; it is exhausted there.
inline constexpr uint64_t kLibrarySlots = uint64_t{1} << 25;


// Empties the library and gives its table back; the copies it held are not
// released. Nothing is allocated until the first candidate is stored.
void initLibrary();
bool doneAlready(const ResultRecord* candidate);
// The stored copies in the order they were stored. Storing the same sets
// again in this order into an empty library rebuilds the same table.
const std::vector<const ResultRecord*>& libraryEntries();
// The 64-bit hash of a candidate's change mask and coefficients; its low
// bits are the home slot in a table of any power-of-two size.
uint64_t libraryHash(const ResultRecord* candidate);

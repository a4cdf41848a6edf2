// The state a worker starts from, as bytes: what a forked worker inherits
// from its master, for transports whose workers are started elsewhere. It is
// the test coils in list order, every setting, the range table and the grid
// search's alternation of every slot.
#pragma once

#include <cstddef>
#include <vector>

#include "settings/symtab.h"

// `workers`: the run's worker slots, each with its phase; `startRanges`: the
// range table the workers search with, as the ranges file gave it.
std::vector<unsigned char> packWorkerState(int workers, const RangeTable& startRanges);
// Replaces the coils, the settings and the range table by the ones in
// `bytes`, and starts the alternation where `slot` stands. Bytes that are not
// exactly one packed state, or name no such slot, are fatal.
void unpackWorkerState(const unsigned char* bytes, std::size_t size, int slot);

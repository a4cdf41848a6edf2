// The state a worker starts from, as bytes: what a forked worker inherits
// from its master, for transports whose workers are started elsewhere. It is
// the test coils in list order, every setting, the range table and the grid
// search's alternation.
#pragma once

#include <cstddef>
#include <vector>

std::vector<unsigned char> packWorkerState();
// Replaces the coils, the settings, the range table and the alternation by
// the ones in `bytes`. Bytes that are not exactly one packed state are fatal.
void unpackWorkerState(const unsigned char* bytes, std::size_t size);

// Digests that identify a run's input files, so that a snapshot is resumed
// only by a run of the same coils and the same ranges.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// 64-bit FNV-1a of `size` bytes.
uint64_t digestBytes(const void* data, size_t size);
// The digest of a ranges file's text with every line that sets `resume`
// left out (lines as the ranges file reader sees them), so that adding
// `resume 1` to resume a run leaves it unchanged; unless `withMaxGenerations`,
// the lines that set `maxgenerations` are left out too, so that a run can be
// continued to a larger limit (the value itself is compared as a setting).
uint64_t rangesDigest(const std::string& text, bool withMaxGenerations = false);
// Digests of the files at `path`; false with errno set when unreadable.
bool digestCoilFile(const char* path, uint64_t& digest);
bool digestRangesFile(const char* path, uint64_t& digest, uint64_t* legacyDigest = nullptr);


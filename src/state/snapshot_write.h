// The durable writing of snapshots, on a thread of its own.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Writes `bytes` to `path` durably: a temporary file beside it, fsync, a
// rename over the old file and an fsync of the directory, so the file holds
// either the old snapshot or the new one. The writing runs on a thread of
// its own and the caller goes on; a write first waits for the one before it.
// False, with errno set, when the temporary file could not be created.
bool beginSnapshotWrite(const std::string& path, std::vector<uint8_t>&& bytes);
// Waits for the write begun last. True when there was none or it succeeded;
// false with errno set when it failed (the file keeps the older snapshot).
bool endSnapshotWrite();
// The buffer of the last write that has ended, for the next snapshot to be
// encoded into: a fresh buffer the size of a large library's snapshot costs
// a page fault for every 4 KiB.
std::vector<uint8_t> reusableSnapshotBuffer();

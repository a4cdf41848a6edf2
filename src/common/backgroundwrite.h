// Durable writes of a whole file on a thread of their own, at most one at a
// time: the run goes on while its snapshot reaches the disk.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Writes `bytes` to `path` durably: a temporary file beside it, fsync, a
// rename over the old file and an fsync of the directory, so the file holds
// either the old content or the new. The writing runs on a thread of its own
// that takes no signals, and the caller goes on; a write first waits for the
// one before it, and the process does not exit before the last one ends.
// False, with errno set, when the temporary file could not be created.
bool beginBackgroundWrite(const std::string& path, std::vector<uint8_t>&& bytes);
// Waits for the write begun last. True when there was none or it succeeded;
// false with errno set when it failed (the file keeps its older content).
bool endBackgroundWrite();
// The buffer of the last write that has ended, for the next file to be
// encoded into: a fresh buffer the size of a large snapshot costs a page
// fault for every 4 KiB.
std::vector<uint8_t> reusableWriteBuffer();

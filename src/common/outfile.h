// Output files that are replaced whole. A file is written under a temporary
// name in its own directory and then renamed over the target, so a reader
// never sees it half-written and a failed write never replaces an older good
// file. A target that exists and is not a plain file (a terminal, a FIFO,
// /dev/null) is written in place instead, as there is nothing to rename over.
#pragma once

#include <cstdio>
#include <string>

struct OutFile {
    FILE* stream = nullptr;
    std::string path;      // the target, symbolic links resolved
    std::string tempPath;  // empty when writing in place
};

// How a target is treated: a file the user named is reached through a
// symbolic link and written in place when it is not a plain file; a file in a
// shared directory is always replaced by a rename, which replaces a link
// rather than writing where it points.
enum class OutTarget { follow, replace };

// Opens `path` for writing. False, with errno set, when it cannot be.
bool openOutFile(OutFile& file, const char* path, OutTarget target = OutTarget::follow);
// Checks that everything was written, closes the stream and renames the file
// into place; `durable` also forces the data and the directory entry to disk.
// False, with errno set, on failure: the temporary file is removed and the
// target keeps what it held.
bool commitOutFile(OutFile& file, bool durable = false);
// Closes and removes a file that will not be committed.
void abandonOutFile(OutFile& file);
// Flushes and closes `stream`; false, with errno set, when anything written
// to it failed to arrive.
bool closeChecked(FILE* stream);
// Whether a file can be created where `path` points: its directory exists
// and takes a new file. Found by creating and removing a temporary file, so
// the answer holds for every user, root included. False with errno set.
bool canCreateOutFile(const char* path);

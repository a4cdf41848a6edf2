// Output files. A file is written under a temporary name in its own
// directory, created afresh and exclusively, and then renamed over its name,
// so a reader never sees it half-written, a failed write never replaces an
// older good file, and nothing is ever written through a symbolic link that
// another user could have planted: the rename replaces a link itself.
//
// A character device or a FIFO at the name (/dev/null, a pipe to another
// program) is written into instead, never replaced; so is a link of the
// user's own or root's that leads to one, and a name for one of this
// process's open descriptors (/dev/stdout, /dev/fd/N). A directory, a socket
// or a block device at the name is refused.
#pragma once

#include <cstdio>
#include <string>

struct OutFile {
    FILE* stream = nullptr;
    std::string path;      // the name given
    std::string tempPath;  // empty when writing into a device, FIFO or descriptor
};

// How an output reaches its name, from what stands there now.
enum class OutWay {
    replace,  // a new file renamed into place
    stream,   // written into directly
    refused,  // a directory, socket or block device
};
OutWay outWay(const char* path);

// Opens `path` for writing. False, with errno set, when it cannot be.
bool openOutFile(OutFile& file, const char* path);
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
// Why an output could not be written at `path`, found before the work
// starts; null when it can. A new file is tried by creating and removing a
// temporary one, so the answer holds for every user, root included; a FIFO
// is not opened, as that would end its reader's input.
const char* outFileProblem(const char* path);
// The cause of a failure `error` to open or write the output at `path`, in
// words: that no program reads it, for a FIFO opened without a reader
// (ENXIO); strerror otherwise.
const char* outFileErrorText(const char* path, int error);

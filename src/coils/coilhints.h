// Plain words for the mistakes that a coil file's own messages do not make
// clear: a comment started with `#`, tabs or blanks between the fields, too
// few or too many fields, lines too long for one read, a blank line.
#pragma once

#include <string>

// One read of the coil file as the reader saw it, before it was split.
struct CoilPiece {
    std::string text;         // the read, newline included when it held one
    int line = 0;             // the line of the file it comes from, counting newlines
    bool continues = false;   // the read is the remainder of a line begun by an earlier read
    bool longLine = false;    // its line is too long for one read
    bool last = false;        // nothing follows it in the file
};

// The fields of a coil line as the reader takes them: six separated by commas,
// then the name, which also ends at a blank.
int coilFieldCount(const std::string& text);

// The sentence that tells what is wrong with `piece` of file `path`, whose
// reading failed; empty when none of the known mistakes explains it.
std::string coilLineHint(const CoilPiece& piece, const char* path);

// The text after the name on an accepted coil line, which the reader
// ignores; empty when there is none.
std::string textAfterName(const std::string& text);

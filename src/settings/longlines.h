// Ranges-file lines longer than one read: the reader takes a line 255
// characters at a time and reads each later piece as a line of its own, so
// the tail of a long comment can set a setting. These warnings say so.
#pragma once

#include <string>

// The characters one read of the ranges file takes.
inline constexpr int kRangesReadLength = 255;

// A piece of a line after its first read.
struct LinePiece {
    const char* path;
    int line;         // the line as an editor counts it
    int pieceLine;    // the line as the reader's messages count it: each piece is one
    int column;       // the characters of the line before the piece
    std::string text; // the piece, as read
};

// What the piece did when read as a line of its own. A piece that is blank
// or a comment does nothing, and gets no warning.
enum class PieceAction { set, unknown };

// Warns that `piece` was read as a line of its own and what it did: it set
// `name` (a setting, or a coefficient's range), or gave the error that
// follows.
void warnAboutLinePiece(const LinePiece& piece, PieceAction action, const char* name);

// Ranges-file lines longer than one read.
#include "settings/longlines.h"

#include <cstdio>

#include "common/fatal.h"
#include "common/warnlimit.h"

namespace {

// The characters of a piece a warning quotes.
constexpr size_t kQuoted = 40;

std::string quoted(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (text.size() > kQuoted) text = text.substr(0, kQuoted) + "\xE2\x80\xA6";
    return text;
}

}  // namespace

void warnAboutLinePiece(const LinePiece& piece, PieceAction action, const char* name) {
    if (!warningShown("pieces of long lines")) return;
    std::string what;
    switch (action) {
    case PieceAction::set: what = std::string("it set ") + name; break;
    case PieceAction::unknown:
        what = "the message below, which counts it as line " + std::to_string(piece.pieceLine) + ", comes from it";
        break;
    }
    clearForMessage();
    std::fprintf(stderr,
                 "Warning: at line %d in %s, the line is longer than the %d characters read at once; its "
                 "characters from %d on (`%s`) were read as a line of their own, and %s: break the line, or "
                 "shorten it\n",
                 piece.line, piece.path, kRangesReadLength, piece.column + 1, quoted(piece.text).c_str(),
                 what.c_str());
}

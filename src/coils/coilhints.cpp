// Plain words for the mistakes in a coil file.
#include "coils/coilhints.h"

#include <cstring>

#include "coils/tablehints.h"

namespace {

constexpr int kFields = 7;
constexpr int kReadLength = 79;

// Tokens as strtok takes them: runs of separators count as one.
std::string nextToken(const std::string& text, size_t& at, const char* separators) {
    at = text.find_first_not_of(separators, at);
    if (at == std::string::npos) return {};
    const size_t end = text.find_first_of(separators, at);
    std::string token = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
    at = end == std::string::npos ? text.size() : end;
    return token;
}

// A comma with a blank after it and a value after that.
bool blankAfterComma(const std::string& text) {
    for (size_t at = text.find(", "); at != std::string::npos; at = text.find(", ", at + 1)) {
        const size_t next = text.find_first_not_of(' ', at + 1);
        if (next != std::string::npos && text[next] != '\n' && text[next] != '\r') return true;
    }
    return false;
}

bool blank(const std::string& text) { return text.find_first_not_of(" \t\r\n") == std::string::npos; }

std::string lineOf(const CoilPiece& piece, const char* path) {
    return "At line " + std::to_string(piece.line) + " in " + path + ", ";
}

}  // namespace

int coilFieldCount(const std::string& text) {
    size_t at = 0;
    int count = 0;
    while (count < kFields - 1 && !nextToken(text, at, ",\n").empty()) ++count;
    if (count < kFields - 1) return count;
    while (!nextToken(text, at, " ,\n").empty()) ++count;
    return count;
}

std::string textAfterName(const std::string& text) {
    size_t at = 0;
    for (int field = 0; field < kFields - 1; ++field)
        if (nextToken(text, at, ",\n").empty()) return {};
    if (nextToken(text, at, " ,\n").empty()) return {};
    std::string rest = text.substr(at);
    const size_t first = rest.find_first_not_of(" ,\r\n");
    if (first == std::string::npos) return {};
    rest = rest.substr(first);
    while (!rest.empty() && (rest.back() == '\n' || rest.back() == '\r' || rest.back() == ' ')) rest.pop_back();
    return rest;
}

std::string coilLineHint(const CoilPiece& piece, const char* path) {
    const std::string where = lineOf(piece, path);
    // The reader passes over a mark before the first line only.
    if (!piece.continues && piece.text.rfind("\xEF\xBB\xBF", 0) == 0)
        return where + "the line starts with a byte-order mark (the bytes EF BB BF, which some editors write at the "
                       "start of a file); after the first line, as where files were joined, it is read as text: "
                       "remove it";
    // A spreadsheet's export explains a long line, a missing field or a
    // number that is not one better than the line's shape does.
    if (std::string hint = spreadsheetHint(piece.text, piece.line, piece.continues, path); !hint.empty()) return hint;
    if (piece.longLine)
        return where + "the line has " + std::to_string(kReadLength) +
               " characters or more; a coil file is read 79 characters at a time, so the rest of the line was "
               "read as a line of its own, and the message below counts such pieces as lines: keep every line "
               "shorter, for example with a shorter coil name";
    if (!piece.continues && !piece.text.empty() && piece.text[0] == '#')
        return where + "the line starts with `#`, which a coil file does not take as a comment: start comment lines "
                       "with `/`";
    if (blank(piece.text)) {
        if (piece.last) return where + "the last line is blank: remove it (or start it with `/`)";
        return where + "the line is blank: remove it, or start it with `/` to keep it as a comment";
    }
    if (piece.text.find('\t') != std::string::npos)
        return where + "the line holds a tab; the fields of a coil line are separated by commas alone: replace the tabs "
                       "with commas";
    const int fields = coilFieldCount(piece.text);
    if (fields < kFields) {
        std::string hint = where + "expected 7 comma-separated fields, found " + std::to_string(fields) +
                           " (inductance, coil radius, wire radius, gauge, turns, length, name)";
        if (blankAfterComma(piece.text)) hint += "; write the commas without blanks after them";
        return hint;
    }
    if (blankAfterComma(piece.text))
        return where + "the line has blanks after its commas: separate the fields with commas alone";
    return {};
}

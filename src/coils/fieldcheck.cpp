// Coil-file fields that are not wholly the number read from them.
#include "coils/fieldcheck.h"

#include <cctype>
#include <cstring>

namespace {

constexpr const char* kByteOrderMark = "\xEF\xBB\xBF";

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The token as a message shows it: without its line end, and a byte-order
// mark, which shows as nothing, spelled out.
std::string shownToken(const char* token) {
    std::string text(token);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    for (size_t at = text.find(kByteOrderMark); at != std::string::npos; at = text.find(kByteOrderMark, at))
        text.replace(at, 3, "<EF BB BF>");
    return text;
}

bool isWholeNumber(CoilField field) { return field == CoilField::gauge || field == CoilField::turns; }

// What the rest of the field suggests the writer meant.
std::string restNote(CoilField field, const char* end) {
    if (isWholeNumber(field) && (end[0] == '.' || ((end[0] == 'e' || end[0] == 'E') && (isDigit(end[1]) ||
                                                                                         end[1] == '+'))))
        return field == CoilField::gauge ? "the wire gauge is a whole number"
                                         : "the number of turns is a whole number";
    if (std::isalpha(static_cast<unsigned char>(end[0])) || static_cast<unsigned char>(end[0]) >= 0x80) {
        if (field == CoilField::measured) return "inductances are in henry, written without a unit: 1 uH is 1e-6";
        if (!isWholeNumber(field)) return "sizes are in metres, written without a unit: 12.7 mm is 0.0127";
    }
    return {};
}

}  // namespace

const char* coilFieldName(CoilField field) {
    switch (field) {
    case CoilField::measured: return "the measured inductance";
    case CoilField::radius: return "the coil radius";
    case CoilField::wire: return "the wire radius";
    case CoilField::gauge: return "the wire gauge";
    case CoilField::turns: return "the number of turns";
    case CoilField::length: return "the length";
    }
    return "";
}

std::string fieldReadInPart(const ValueSite& site, CoilField field, const char* token, const char* end,
                            const std::string& value) {
    if (end == token) return {};  // no number at all: noNumberSentence
    if (end[std::strspn(end, " \t\r\n")] == '\0') return {};
    return partlyReadWarning(site, shownToken(token).c_str(), value, restNote(field, end));
}

std::string noNumberSentence(CoilField field, const char* token, const char* end) {
    if (end != token) return {};
    std::string sentence = std::string(coilFieldName(field)) + " `" + shownToken(token) + "` holds no number";
    if (std::strstr(token, kByteOrderMark) != nullptr)
        sentence += " (<EF BB BF> is a byte-order mark, which some editors write at the start of a file; after the "
                    "first line, as where files were joined, it is not read as one: remove it)";
    else if (token[std::strspn(token, " ")] == '"' || token[std::strspn(token, " ")] == '\'')
        sentence += " (a number in quotes is not read as one: write it without them)";
    return sentence + " and was read as 0";
}

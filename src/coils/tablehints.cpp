// Plain words for a coil file exported from a spreadsheet.
#include "coils/tablehints.h"

#include <cctype>
#include <vector>

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isQuote(char c) { return c == '"' || c == '\''; }

// The fields as a spreadsheet separates them: by commas, semicolons or tabs.
std::vector<std::string> cells(const std::string& text) {
    std::vector<std::string> result(1);
    for (const char c : text) {
        if (c == ',' || c == ';' || c == '\t') {
            result.emplace_back();
        } else if (c != '\n' && c != '\r') {
            result.back() += c;
        }
    }
    return result;
}

// A column name: letters and no digit.
bool isWord(const std::string& cell) {
    bool letter = false;
    for (const char c : cell) {
        if (isDigit(c)) return false;
        if (std::isalpha(static_cast<unsigned char>(c)) || static_cast<unsigned char>(c) >= 0x80) letter = true;
    }
    return letter;
}

// A first line that holds column names, quoted or not, where the numbers
// belong (two at least, so that a stray word or a quoted coil name is not
// taken for one).
bool isHeaderRow(const std::string& text) {
    const std::vector<std::string> row = cells(text);
    int words = 0;
    for (size_t i = 0; i < row.size() && i < 6; ++i)
        if (isWord(row[i])) ++words;
    return row.size() >= 3 && words >= 2;
}

// A digit, a comma and a digit, where commas do not separate the fields
// (semicolons or tabs do), or inside quotes.
bool hasDecimalComma(const std::string& text) {
    const bool otherSeparator = text.find_first_of(";\t") != std::string::npos;
    bool quoted = false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '"') quoted = !quoted;
        if (text[i] == ',' && i > 0 && i + 1 < text.size() && isDigit(text[i - 1]) && isDigit(text[i + 1]) &&
            (otherSeparator || quoted))
            return true;
    }
    return false;
}

// "a", "a and b", "a, b and c"
std::string listed(const std::vector<std::string>& items) {
    std::string text;
    for (size_t i = 0; i < items.size(); ++i)
        text += (i == 0 ? "" : i + 1 == items.size() ? " and " : ", ") + items[i];
    return text;
}

}  // namespace

std::string spreadsheetHint(const std::string& text, int line, bool continues, const char* path) {
    if (!continues && !text.empty() && text[0] == '#') return {};
    const bool header = line == 1 && !continues && isHeaderRow(text);
    const bool semicolons = text.find(';') != std::string::npos;
    const bool tabs = text.find('\t') != std::string::npos;
    const bool decimalCommas = hasDecimalComma(text);
    // Quotes alone are told by the field that holds them, and tabs alone by
    // the hint on tabs.
    if (!header && !semicolons && !decimalCommas) return {};
    std::vector<std::string> found, wanted;
    if (header) {
        found.push_back("looks like a header row of column names");
        wanted.push_back("no header row (remove it, or start it with `/`)");
    }
    if (semicolons || tabs) {
        found.push_back(semicolons ? "has semicolons between its fields" : "has tabs between its fields");
        wanted.push_back("commas between the fields");
    }
    if (decimalCommas) {
        found.push_back("has decimal commas");
        wanted.push_back("decimal points");
    }
    if (text.find('"') != std::string::npos) {
        found.push_back("has values in quotes");
        wanted.push_back("no quotes");
    }
    return "At line " + std::to_string(line) + " in " + path + ", the line " + listed(found) +
           ", as a spreadsheet's export may: a coil file takes " + listed(wanted) +
           "; save the table as CSV with those, or write the file anew";
}

std::string quotedNameWarning(const char* name, int line, const char* path) {
    if (!isQuote(name[0])) return {};
    return "Warning: at line " + std::to_string(line) + " in " + path + ", the coil name `" + name +
           "` is in quotes, which the name keeps: write it without them\n";
}

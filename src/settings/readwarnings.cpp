// Warnings about ranges-file text that reads otherwise than it looks.
#include "settings/readwarnings.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/fatal.h"
#include "common/warnlimit.h"
#include "settings/symtab.h"

namespace {

std::string lower(const char* text) {
    std::string result(text);
    for (char& c : result) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return result;
}

// Edits (insertions, deletions, replacements, swaps of neighbours) that turn
// `a` into `b`.
size_t editDistance(const std::string& a, const std::string& b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i)
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[a.size()][b.size()];
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

void warnPartlyRead(const ValueSite& site, const char* token, const char* end, const std::string& value) {
    if (*end == '\0' || *end == '\n' || std::isspace(static_cast<unsigned char>(*end))) return;
    reportPartlyRead(partlyReadWarning(site, token, value, decimalCommaNote(end)));
}

void warnDecimalComma(const ValueSite& site, const std::string& text, bool extra) {
    // A line whose values are separated by commas alone takes "0,025" as two
    // values by design; one that separates them by blanks, or that holds
    // more than five values, did not mean it so.
    bool blankSeparated = false;
    for (size_t i = 0; i + 1 < text.size(); ++i)
        if (text[i] == ' ' && (isDigit(text[i + 1]) || text[i + 1] == '-' || text[i + 1] == '.')) blankSeparated = true;
    if (!extra && !blankSeparated) return;
    for (size_t i = 1; i + 1 < text.size(); ++i) {
        if (text[i] != ',' || !isDigit(text[i - 1]) || !isDigit(text[i + 1])) continue;
        size_t start = i;
        while (start > 0 && text[start - 1] != ' ' && text[start - 1] != ',') --start;
        size_t stop = i + 1;
        while (stop < text.size() && text[stop] != ' ' && text[stop] != ',' && text[stop] != '\n' &&
               text[stop] != '\r')
            ++stop;
        if (!warningShown("numbers with a decimal comma")) return;
        clearForMessage();
        std::fprintf(stderr,
                     "Warning: at line %d in %s, %s `%s` looks like a number with a decimal comma; a comma "
                     "separates values there, so it was read as two values: write a decimal point\n",
                     site.line, site.path, site.what.c_str(), text.substr(start, stop - start).c_str());
        return;
    }
}

std::string closestName(const char* token) {
    const std::string wanted = lower(token);
    std::string best;
    size_t bestDistance = 0;
    const auto consider = [&](const char* name) {
        const size_t distance = editDistance(wanted, lower(name));
        if (best.empty() || distance < bestDistance) {
            best = name;
            bestDistance = distance;
        }
    };
    for (const RangeEntry& entry : R) consider(entry.name);
    for (const SymbolEntry& entry : S) consider(entry.name);
    // Close enough to be a slip of the keyboard, and not a short word that
    // every name is near.
    const size_t limit = std::min<size_t>(3, std::max<size_t>(1, wanted.size() / 3));
    return bestDistance <= limit && bestDistance < wanted.size() ? best : std::string();
}

std::string unknownNameHint(const char* token) {
    if (const char* tab = std::strchr(token, '\t')) {
        std::string hint = "`";
        hint.append(token, static_cast<size_t>(tab - token))
            .append("` is followed by a tab, which joins it and its value into one name: separate them with a "
                    "blank");
        return hint;
    }
    if (token[0] == '#' || token[0] == '/')
        return "a comment starts with `/` or `#` in the first column, with nothing before it";
    const std::string closest = closestName(token);
    if (closest.empty()) return {};
    std::string hint = "`";
    hint.append(token).append("` is not a coefficient or setting name; did you mean `").append(closest).append("`?");
    return hint;
}

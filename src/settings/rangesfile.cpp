// The ranges file: coefficient ranges and settings, one statement per line.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>

#include "common/fatal.h"
#include "common/infile.h"
#include "common/warnlimit.h"
#include "settings/longlines.h"
#include "settings/ownvalues.h"
#include "settings/rangehints.h"
#include "settings/readwarnings.h"
#include "settings/symtab.h"

namespace {

constexpr int kLineBufferSize = kRangesReadLength + 1;
constexpr const char* kNameDelimiters = " ,\n";
constexpr const char* kValueDelimiters = " \n";

struct LineError {
    int constant;
    const char* format;
};
constexpr LineError kUnknownSymbol{269, "%s (%s:%d) At line %d in %s, %s unknown symbol\n"};
constexpr LineError kSettingWithoutValue{278, "%s (%s:%d) At line %d in %s, %s has no valuel\n"};
constexpr LineError kMissingLow{298, "%s (%s:%d) At line %d in %s, missing low value for %s\n"};
constexpr LineError kMissingHigh{310, "%s (%s:%d) At line %d in %s, missing high value for %s\n"};
constexpr LineError kMissingResolution{
    322, "%s (%s:%d) At line %d in %s, missing resolution value for %s\n"};
constexpr LineError kMissingMinorInc{
    333, "%s (%s:%d) At line %d in %s, missing resolution value for %s\n"};
constexpr LineError kMissingMcount{
    344, "%s (%s:%d) At line %d in %s, missing minor count value for %s\n"};
constexpr LineError kZeroMcount{352, "%s (%s:%d) At line %d in %s, minor count value is 0 for %s\n"};

[[noreturn]] void lineError(FILE* file, const LineError& error, int line, const char* path,
                            const char* name) {
    std::fclose(file);
    reportWarningsLeftOut();
    fatal(error.format, "symtab", "readSymtab", error.constant, line, path, name);
}

RangeEntry* findRange(const char* token) {
    for (RangeEntry& entry : R)
        if (strcasecmp(token, entry.name) == 0) return &entry;
    return nullptr;
}

SymbolEntry* findSetting(const char* token) {
    for (SymbolEntry& entry : S)
        if (strcasecmp(token, entry.name) == 0) return &entry;
    return nullptr;
}

// Integers keep the low 32 bits of the (saturated) 64-bit value.
int32_t low32(long value) { return static_cast<int32_t>(static_cast<uint32_t>(value)); }

std::string shown(double value) {
    char text[40];
    std::snprintf(text, sizeof text, "%.15g", value);
    return text;
}

// Where the values of a line are read, for the warnings: `realLine` counts
// newlines, as an editor does, and `text` is the line as read.
struct LineSite {
    const char* path;
    int realLine;
    const std::string& text;
};

void readRangeLine(FILE* file, RangeEntry& entry, int line, const char* path, const LineSite& site) {
    static constexpr const char* kFieldNames[] = {"low", "high", "resolution", "minorInc", "mcount"};
    const auto valueSite = [&](int f) {
        return ValueSite{site.path, site.realLine, std::string(entry.name) + " " + kFieldNames[f]};
    };
    double* const fields[] = {&entry.low, &entry.high, &entry.resolution, &entry.minorInc};
    const LineError* const missing[] = {&kMissingLow, &kMissingHigh, &kMissingResolution,
                                        &kMissingMinorInc};
    for (int f = 0; f < 4; ++f) {
        const char* token = std::strtok(nullptr, kNameDelimiters);
        if (token == nullptr) lineError(file, *missing[f], line, path, entry.name);
        char* end = nullptr;
        *fields[f] = std::strtod(token, &end);
        warnPartlyRead(valueSite(f), token, end, shown(*fields[f]));
    }
    const char* token = std::strtok(nullptr, kNameDelimiters);
    if (token == nullptr) lineError(file, kMissingMcount, line, path, entry.name);
    char* end = nullptr;
    entry.mcount = low32(std::strtol(token, &end, 10));
    warnPartlyRead(valueSite(4), token, end, std::to_string(entry.mcount));
    const bool extra = std::strtok(nullptr, kNameDelimiters) != nullptr;
    warnDecimalComma({site.path, site.realLine, entry.name}, site.text, extra);
    if (entry.mcount == 0) lineError(file, kZeroMcount, line, path, entry.name);
}

void readSettingLine(FILE* file, SymbolEntry& entry, int line, const char* path, const LineSite& site) {
    const char* token = std::strtok(nullptr, kValueDelimiters);
    if (token == nullptr) lineError(file, kSettingWithoutValue, line, path, entry.name);
    const ValueSite valueSite{site.path, site.realLine, entry.name};
    if (const std::string refusal = ownSettingRefusal(entry, token, valueSite); !refusal.empty()) {
        std::fclose(file);
        reportWarningsLeftOut();
        fatal("%s", refusal.c_str());
    }
    char* end = nullptr;
    switch (entry.type) {
    case symInt:
        entry.value.i = low32(std::strtol(token, &end, 0));
        warnPartlyRead(valueSite, token, end, std::to_string(entry.value.i));
        break;
    case symDouble:
        entry.value.d = std::strtod(token, &end);
        warnPartlyRead(valueSite, token, end, shown(entry.value.d));
        break;
    case symLong:
        entry.value.l = std::strtol(token, &end, 10);
        warnPartlyRead(valueSite, token, end, std::to_string(entry.value.l));
        break;
    case symString:
        // A setting given again replaces its earlier copy.
        std::free(entry.value.s);
        entry.value.s = strdup(token);
        break;
    }
}

}  // namespace

void readSymtab(const char* path) {
    const char* reason = nullptr;
    FILE* file = openInputFile(path, &reason);
    if (file == nullptr) {
        reportCause(path, reason);
        fatal("%s (%s:%d) Couldn't open %s for ranges\n", "symtab", "readSymtab", 237, path);
    }

    skipByteOrderMark(file);
    char buffer[kLineBufferSize];
    int line = 0;
    int realLine = 0;
    int column = 0;  // the characters of the line read before the read under way
    bool newLine = true;
    std::string text;
    std::array<bool, kCoefficientCount> given{};
    while (std::fgets(buffer, sizeof buffer, file) != nullptr) {
        ++line;
        const bool continues = !newLine;
        if (newLine) {
            ++realLine;
            column = 0;
        }
        text = buffer;
        newLine = !text.empty() && text.back() == '\n';
        const LineSite site{path, realLine, text};
        // A later piece of a long line is read as a line of its own: said
        // before it acts, so that an error it gives comes after.
        const int pieceColumn = column;
        column += static_cast<int>(text.size());
        const auto tell = [&](PieceAction action, const char* name) {
            if (continues) warnAboutLinePiece({path, realLine, line, pieceColumn, text}, action, name);
        };
        if (buffer[0] == '/' || buffer[0] == '#') continue;
        char* name = std::strtok(buffer, kNameDelimiters);
        if (name == nullptr) continue;
        if (RangeEntry* range = findRange(name)) {
            tell(PieceAction::set, (std::string("the range of ") + range->name).c_str());
            given[static_cast<size_t>(range - R.data())] = true;
            readRangeLine(file, *range, line, path, site);
        } else if (SymbolEntry* setting = findSetting(name)) {
            tell(PieceAction::set, setting->name);
            readSettingLine(file, *setting, line, path, site);
        } else {
            tell(PieceAction::unknown, nullptr);
            const std::string hint = unknownNameHint(name);
            reportWarningsLeftOut();
            if (!hint.empty()) reportMistake("At line %d in %s, %s", realLine, path, hint.c_str());
            lineError(file, kUnknownSymbol, line, path, name);
        }
    }
    if (const char* failure = inputReadFailure(file)) {
        std::fclose(file);
        reportWarningsLeftOut();
        reportCause(path, failure);
        fatal("%s (%s:%d) Couldn't open %s for ranges\n", "symtab", "readSymtab", 237, path);
    }
    std::fclose(file);
    reportWarningsLeftOut();
    explainBadRange(path, given);
    computeInc();
    dumpSymtab("Startup");
}

// Warnings about values read from part of what was written.
#include "common/partlyread.h"

#include <cstdio>

#include "common/fatal.h"
#include "common/warnlimit.h"

std::string partlyReadWarning(const ValueSite& site, const char* token, const std::string& value,
                              const std::string& note) {
    std::string text(token);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    std::string warning = "Warning: at line " + std::to_string(site.line) + " in " + site.path + ", " + site.what +
                          " `" + text + "` was read as " + value + "; the rest of the token is ignored";
    if (!note.empty()) warning += " (" + note + ")";
    return warning + "\n";
}

void reportPartlyRead(const std::string& warning) {
    if (!warningShown("values read in part")) return;
    clearForMessage();
    std::fputs(warning.c_str(), stderr);
}

std::string decimalCommaNote(const char* end) {
    if (end[0] == ',' && end[1] >= '0' && end[1] <= '9') return "numbers take a decimal point, not a comma";
    return {};
}

// Refusal of text where one of the program's own settings takes a number.
#include "settings/ownvalues.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/textformat.h"
#include "settings/settingstable.h"

std::string ownSettingRefusal(const SymbolEntry& entry, const char* token, const ValueSite& site) {
    const auto index = &entry - S.data();
    if (index < kListedSymbolCount || index >= kSymbolCount || entry.type == symString) return {};
    char* end = nullptr;
    if (entry.type == symDouble)
        static_cast<void>(std::strtod(token, &end));
    else
        static_cast<void>(std::strtol(token, &end, entry.type == symLong ? 10 : 0));
    if (end != token && (*end == '\0' || std::isspace(static_cast<unsigned char>(*end)) != 0)) return {};
    const SettingRow& row = kSettingRows[static_cast<size_t>(index)];
    const std::string accepted = row.accepted.low == 0 && row.accepted.high == 1 ? "0 (off) or 1 (on)"
                                 : entry.type == symInt                        ? acceptedText(row.accepted)
                                                                               : "a number";
    return formatted("At line %d in %s, %s `%s` is not a number: %s takes %s\n", site.line, site.path, entry.name,
                     token, entry.name, accepted.c_str());
}

void warnAboutIdleSettings() {
    const bool polished = S[kPolish].value.i == 1 || S[kStatistics].value.i == 1 || S[kCrossValidate].value.i > 0 ||
                          S[kPrune].value.i == 1;
    if (S[kNormalize].value.i == 1 && !polished)
        std::fprintf(stderr, "Warning: normalize 1 acts on the polished set, and this run is not polished: add "
                             "polish 1 to normalise its coefficients\n");
}

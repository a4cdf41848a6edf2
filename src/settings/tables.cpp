// The settings table S, the range table R, the step counts and the listings.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "common/fatal.h"
#include "settings/holdsetting.h"
#include "settings/settingstable.h"
#include "settings/symtab.h"

namespace {

// The settings table S as it starts: each setting's name, type and default
// from its row.
constexpr std::array<SymbolEntry, kSymbolCount> makeDefaultSymbols() {
    std::array<SymbolEntry, kSymbolCount> symbols{};
    for (int p = 0; p < kSymbolCount; ++p)
        symbols[p] = {kSettingRows[p].name, kSettingRows[p].initial, kSettingRows[p].type};
    return symbols;
}
constexpr std::array<SymbolEntry, kSymbolCount> kDefaultSymbols = makeDefaultSymbols();

constexpr std::array<RangeEntry, kCoefficientCount> makeDefaultRanges() {
    std::array<RangeEntry, kCoefficientCount> ranges{};
    for (int k = 0; k < kCoefficientCount; ++k) ranges[k] = {kCoefficientNames[k], 0, 0, 0, 0, 0, 0};
    return ranges;
}
constexpr std::array<RangeEntry, kCoefficientCount> kDefaultRanges = makeDefaultRanges();

}  // namespace

std::array<SymbolEntry, kSymbolCount> S = kDefaultSymbols;
std::array<RangeEntry, kCoefficientCount> R = kDefaultRanges;

#if defined(QUELMO_TEST_HOOKS)
void resetTables() {
    S = kDefaultSymbols;
    R = kDefaultRanges;
}
#endif

bool hasValidSteps(const RangeEntry& entry) {
    const double q = (entry.high - entry.low) / entry.resolution;
    // steps = trunc(q) + 1 must stay a positive 32-bit integer; a NaN or
    // infinite quotient fails both comparisons.
    return q > -1.0 && q < 2147483647.0;
}

void computeInc() {
    for (RangeEntry& entry : R) {
        if (!hasValidSteps(entry)) {
            fatal("%s (%s:%d) %s has bad resolution (%g < %g)/%g\n", "symtab", "computeInc", 207,
                  entry.name, entry.low, entry.high, entry.resolution);
        }
        entry.steps = static_cast<int32_t>((entry.high - entry.low) / entry.resolution) + 1;
    }
    holdRanges();
}

bool isDefaultSetting(int index) {
    const SymbolEntry& entry = S[index];
    const SymbolEntry& initial = kDefaultSymbols[index];
    switch (entry.type) {
    case symInt: return entry.value.i == initial.value.i;
    case symDouble: return std::memcmp(&entry.value.d, &initial.value.d, sizeof(double)) == 0;
    case symLong: return entry.value.l == initial.value.l;
    case symString: {
        const char* word = kSettingRows[index].defaultWord;
        return entry.value.s == nullptr || (word != nullptr && std::strcmp(entry.value.s, word) == 0);
    }
    }
    return true;
}

void dumpSymtab(const char* title) {
    std::printf("%s\n", title);
    for (int index = 0; index < kSymbolCount; ++index) {
        if (index >= kListedSymbolCount && isDefaultSetting(index)) continue;
        const SymbolEntry& entry = S[index];
        std::printf("%20s: ", entry.name);
        switch (entry.type) {
        case symInt: std::printf("%d\n", entry.value.i); break;
        case symDouble: std::printf("%g\n", entry.value.d); break;
        case symLong: std::printf("%ld\n", static_cast<long>(entry.value.l)); break;
        case symString:
            std::printf("'%s'\n", entry.value.s != nullptr ? entry.value.s : "(null)");
            break;
        }
    }
}

void dumpRangeTable(FILE* out, const char* title) {
    std::fputs(title, out);
    for (const RangeEntry& entry : R) {
        std::fprintf(out, "%4s: %10g %10g %10g %10g %3d (%d)\n", entry.name, entry.low, entry.high,
                     entry.resolution, entry.minorInc, entry.mcount, entry.steps);
    }
}

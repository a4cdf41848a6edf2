// The settings table S, the range table R, the step counts and the listings.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "common/fatal.h"
#include "settings/symtab.h"

namespace {

constexpr SymbolEntry intSetting(const char* name, int32_t value) {
    return {name, {.i = value}, symInt};
}
constexpr SymbolEntry doubleSetting(const char* name, double value) {
    return {name, {.d = value}, symDouble};
}
constexpr SymbolEntry longSetting(const char* name, int64_t value) {
    return {name, {.l = value}, symLong};
}
constexpr SymbolEntry stringSetting(const char* name) {
    return {name, {.s = nullptr}, symString};
}

constexpr std::array<SymbolEntry, kSymbolCount> kDefaultSymbols = {
    intSetting("population", 64),
    intSetting("save", 4),
    intSetting("maxgenerations", 100000),
    stringSetting("resultfile"),
    intSetting("processes", 1),
    longSetting("seed", 1033888277),
    intSetting("noise", 1),
    intSetting("minormax", 0x800000),
    doubleSetting("randomminor", 0.33),
    intSetting("tries", 20),
    stringSetting("resultc"),
    stringSetting("cvarname"),
    doubleSetting("pctchange", 0.01),
    intSetting("raiselower", 10),
    intSetting("quitat", -1),
    intSetting("rangeexpand", 0),
    doubleSetting("direction", 0.01),
    stringSetting("resultja"),
    stringSetting("javarname"),
    doubleSetting("bestr0", kNoValue),
    doubleSetting("bestr1", kNoValue),
    doubleSetting("bestr2", kNoValue),
    doubleSetting("bestr3", kNoValue),
    doubleSetting("bestw0", kNoValue),
    doubleSetting("bestw1", kNoValue),
    doubleSetting("bestw2", kNoValue),
    doubleSetting("bestt0", kNoValue),
    doubleSetting("bestt1", kNoValue),
    doubleSetting("bestt2", kNoValue),
    doubleSetting("bestt3", kNoValue),
    doubleSetting("bestl0", kNoValue),
    doubleSetting("bestl1", kNoValue),
    doubleSetting("bestl2", kNoValue),
    doubleSetting("bestl3", kNoValue),
    intSetting("ordered", 0),
    stringSetting("checkpoint"),
    stringSetting("statefile"),
    intSetting("stateevery", 10),
    intSetting("resume", 0),
    intSetting("polish", 0),
    stringSetting("coilcsv"),
    stringSetting("logcsv"),
    intSetting("statistics", 0),
    intSetting("crossvalidate", 0),
    intSetting("prune", 0),
    stringSetting("resultjson"),
    intSetting("baselines", 0),
    stringSetting("base"),
};

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
}

bool isDefaultSetting(int index) {
    const SymbolEntry& entry = S[index];
    const SymbolEntry& initial = kDefaultSymbols[index];
    switch (entry.type) {
    case symInt: return entry.value.i == initial.value.i;
    case symDouble: return std::memcmp(&entry.value.d, &initial.value.d, sizeof(double)) == 0;
    case symLong: return entry.value.l == initial.value.l;
    // `base none` names the default.
    case symString: return entry.value.s == nullptr || (index == kBase && std::strcmp(entry.value.s, "none") == 0);
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

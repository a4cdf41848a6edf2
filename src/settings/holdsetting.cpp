// The setting hold and the check of uncertainty.
#include "settings/holdsetting.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/fatal.h"
#include "settings/symtab.h"

namespace {

int coefficientNamed(const std::string& name) {
    for (int k = 0; k < kCoefficientCount; ++k)
        if (name == kCoefficientNames[k]) return k;
    return -1;
}

std::string knownNames() {
    std::string names;
    for (const char* name : kCoefficientNames) {
        if (!names.empty()) names += ", ";
        names += name;
    }
    return names;
}

// The names of `text`; with `refuse`, an unknown name or one given twice
// ends the run, otherwise it is passed over.
int32_t parseHeld(const char* text, bool refuse) {
    int32_t held = 0;
    std::string rest = text;
    size_t start = 0;
    while (start <= rest.size()) {
        const size_t comma = rest.find(',', start);
        const std::string name = rest.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        start = comma == std::string::npos ? rest.size() + 1 : comma + 1;
        if (name.empty()) continue;
        const int k = coefficientNamed(name);
        if (k < 0 && refuse)
            fatal("Setting hold names %s, known coefficients are %s\n", name.c_str(), knownNames().c_str());
        if (k >= 0 && (held >> k & 1) != 0 && refuse) fatal("Setting hold names %s twice\n", name.c_str());
        if (k < 0) continue;
        held |= int32_t{1} << k;
    }
    return held;
}

}  // namespace

int32_t heldBySetting() {
    // Parsed once per value of the setting: the operators ask for every set.
    static const char* parsed = nullptr;
    static int32_t held = 0;
    const char* text = S[kHold].value.s;
    if (text == nullptr) return 0;
    if (text != parsed) {
        held = parseHeld(text, true);
        parsed = text;
    }
    return held;
}

void holdRanges() {
    // Read with the ranges file; the run refuses a faulty list at its start.
    const int32_t held = S[kHold].value.s != nullptr ? parseHeld(S[kHold].value.s, false) : 0;
    for (int k = 0; k < kCoefficientCount; ++k) {
        if ((held >> k & 1) == 0) continue;
        R[k].high = R[k].low;
        R[k].steps = 0;
    }
}

void holdCoefficients(ResultRecord* set) {
    const int32_t held = heldBySetting();
    for (int k = 0; k < kCoefficientCount; ++k)
        if ((held >> k & 1) != 0) set->coefficients[k] = R[k].low;
}

void refuseUnusableHold() { heldBySetting(); }

void warnAboutUnheldSingleValues() {
    const int32_t held = heldBySetting();
    std::string names, holdLine, example;
    for (int k = 0; k < kCoefficientCount; ++k) {
        // With no resolution above low, the draw gives low alone.
        if ((held >> k & 1) != 0 || R[k].low != R[k].high || R[k].low + R[k].resolution == R[k].low) continue;
        if (!names.empty()) {
            names += ", ";
            holdLine += ",";
        }
        names += R[k].name;
        holdLine += R[k].name;
        if (example.empty()) {
            char text[160];
            std::snprintf(text, sizeof text, "%s is drawn as %g or %g", R[k].name, R[k].low,
                          R[k].low + R[k].resolution);
            example = text;
        }
    }
    if (names.empty()) return;
    std::fprintf(stderr,
                 "Warning: the range of %s is a single value (low equal to high), but a random draw gives low or low "
                 "+ resolution (%s); to keep %s at low everywhere, add the line `hold %s` to the ranges file\n",
                 names.c_str(), example.c_str(), holdLine.find(',') == std::string::npos ? "it" : "them",
                 holdLine.c_str());
}

void refuseUnusableUncertainty() {
    const double u = S[kUncertainty].value.d;
    if (std::isfinite(u) && u >= 0 && u < 1) return;
    fatal("Setting uncertainty is %g, accepted: a relative standard uncertainty from 0 to below 1 (0.005 for 0.5 %%; "
          "0: not given)\n",
          u);
}

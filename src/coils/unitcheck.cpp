// Warnings about coil values that look like the wrong unit.
#include "coils/unitcheck.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "common/fatal.h"

namespace {

// The coils a warning names; the rest are counted.
constexpr size_t kNamed = 3;

// Plausible sizes of a test coil, in metres, and of its inductance, in henry.
constexpr double kLargestSize = 1.0;
constexpr double kSmallestSize = 1e-4;
constexpr double kLargestInductance = 1.0;
constexpr double kSmallestInductance = 1e-9;

// The coils in file order (the list runs in reverse).
std::vector<const InductorRecord*> inFileOrder(const InductorRecord* coils) {
    std::vector<const InductorRecord*> list;
    for (const InductorRecord* coil = coils; coil != nullptr; coil = coil->next) list.push_back(coil);
    std::reverse(list.begin(), list.end());
    return list;
}

void warn(const std::vector<std::string>& named, const char* what, const char* advice) {
    if (named.empty()) return;
    std::string list;
    for (size_t i = 0; i < named.size() && i < kNamed; ++i) list += (i == 0 ? "" : ", ") + named[i];
    if (named.size() > kNamed) list += " and " + std::to_string(named.size() - kNamed) + " more";
    clearForMessage();
    std::fprintf(stderr, "Warning: %zu %s %s (%s); %s\n", named.size(), named.size() == 1 ? "coil has" : "coils have",
                 what, list.c_str(), advice);
}

std::string entry(const InductorRecord* coil, double value) {
    char text[64];
    std::snprintf(text, sizeof text, " %g", value);
    return std::string(coil->fileName) + text;
}

bool outOfSize(double metres) { return metres > kLargestSize || metres < kSmallestSize; }

}  // namespace

void warnAboutUnits(const InductorRecord* coils, const char* path) {
    std::vector<std::string> radius, length, wire, inductance;
    for (const InductorRecord* coil : inFileOrder(coils)) {
        if (outOfSize(coil->radius)) radius.push_back(entry(coil, coil->radius));
        if (outOfSize(coil->length)) length.push_back(entry(coil, coil->length));
        if (coil->wire > coil->radius) wire.push_back(entry(coil, coil->wire));
        const double measured = coil->measuredInductance;
        // 0 and values that are not finite have warnings of their own.
        if (measured != 0 && std::isfinite(measured) &&
            (measured > kLargestInductance || measured < kSmallestInductance))
            inductance.push_back(entry(coil, measured));
    }
    const std::string metres = std::string("the coil file ") + path + " takes metres: check the unit";
    warn(radius, "a coil radius above 1 m or below 0.1 mm", metres.c_str());
    warn(length, "a coil length above 1 m or below 0.1 mm", metres.c_str());
    warn(wire, "a wire radius above the coil radius",
         "the third field is the wire's radius, in metres, not its diameter or gauge");
    const std::string henry = std::string("the coil file ") + path + " takes henry (1 uH is 1e-6): check the unit";
    warn(inductance, "a measured inductance above 1 H or below 1 nH", henry.c_str());
}

void warnAboutNonPositiveInductances(const std::vector<const InductorRecord*>& coilsInFileOrder) {
    std::vector<std::string> named;
    for (const InductorRecord* coil : coilsInFileOrder)
        if (coil->computedInductance <= 0) named.push_back(entry(coil, coil->computedInductance));
    warn(named, "an inductance of 0 or less computed by the final set, in henry",
         "the equation cannot describe them with this set: check their units and values, or widen the ranges");
}

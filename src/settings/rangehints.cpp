// What to fix when the ranges cannot give a search grid.
#include "settings/rangehints.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "common/fatal.h"
#include "settings/symtab.h"

namespace {

constexpr double kMaxGridPoints = 2147483647.0;
// Grid points of a suggested range: as many as the example ranges give.
constexpr double kSuggestedSteps = 100;

// A coefficient line that gives the entry a grid: its ends in order and, where
// the resolution cannot serve, one that divides the range into 100 steps; a
// minor increment and count taken over when usable. A range of one value
// gets the resolution 1 and a window of one value.
std::string suggestedLine(const RangeEntry& entry) {
    const double low = std::min(entry.low, entry.high);
    const double high = std::max(entry.low, entry.high);
    const bool pinned = low == high;
    RangeEntry line = entry;
    line.low = low;
    line.high = high;
    line.resolution = std::fabs(entry.resolution);
    if (pinned && line.resolution == 0) line.resolution = 1;
    if (!hasValidSteps(line)) line.resolution = (high - low) / kSuggestedSteps;
    if (!(line.minorInc > 0)) line.minorInc = pinned ? 1 : line.resolution / 10;
    if (line.mcount < 1) line.mcount = pinned ? 1 : 6;
    char text[200];
    std::snprintf(text, sizeof text, "%s %.15g %.15g %.15g %.15g %d", line.name, line.low, line.high,
                  line.resolution, line.minorInc, line.mcount);
    return text;
}

const RangeEntry* firstBadRange() {
    for (const RangeEntry& entry : R)
        if (!hasValidSteps(entry)) return &entry;
    return nullptr;
}

}  // namespace

void explainBadRange(const char* path, const std::array<bool, kCoefficientCount>& given) {
    const RangeEntry* bad = firstBadRange();
    if (bad == nullptr) return;
    const RangeEntry& entry = *bad;
    const char* name = entry.name;
    if (!given[static_cast<size_t>(bad - R.data())]) {
        reportMistake("%s is missing from %s", name, path);
        return;
    }
    if (!std::isfinite(entry.low) || !std::isfinite(entry.high) || !std::isfinite(entry.resolution)) {
        reportMistake("%s: low, high and resolution must be finite numbers, not inf or nan", name);
        return;
    }
    const std::string example = suggestedLine(entry);
    if (entry.resolution == 0 && entry.low == entry.high) {
        reportMistake("%s: low equals high, so the grid needs a resolution above 0, for example `%s`", name,
                      example.c_str());
    } else if (entry.resolution == 0) {
        reportMistake("%s: resolution is 0, so the grid from low to high has no spacing; give a resolution "
                      "above 0, for example `%s`",
                      name, example.c_str());
    } else if ((entry.high - entry.low) / entry.resolution <= -1) {
        if (entry.resolution < 0) {
            reportMistake("%s: resolution is negative, so the grid runs away from high; give a resolution "
                          "above 0, for example `%s`",
                          name, example.c_str());
        } else {
            reportMistake("%s: high is below low, so the range holds no grid point; give low first, for "
                          "example `%s`",
                          name, example.c_str());
        }
    } else {
        reportMistake("%s: resolution is too fine, so (high - low) / resolution gives more than %.0f grid "
                      "points; give a coarser resolution, for example `%s`",
                      name, kMaxGridPoints, example.c_str());
    }
}

void explainAdaptedRange() {
    const RangeEntry* bad = firstBadRange();
    if (bad == nullptr) return;
    reportMistake("%s: range adaptation moved the range to %g, %g, where resolution %g cannot give a grid of at "
                  "most %.0f points; give %s a coarser resolution, or leave rangeexpand at 0",
                  bad->name, bad->low, bad->high, bad->resolution, kMaxGridPoints, bad->name);
}

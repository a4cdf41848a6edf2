// The accepted values of the settings in words, and the refusal of the
// values a run cannot work with.
#include "settings/settingstable.h"

#include <iterator>

#include "common/fatal.h"

namespace {

std::string span(int64_t low, int64_t high) {
    if (low == kNoLow && high == kNoHigh) return "any value";
    if (low == high) return std::to_string(low);
    if (low == kNoLow) return std::to_string(high) + " or less";
    if (high == kNoHigh) return std::to_string(low) + " or more";
    return std::to_string(low) + " to " + std::to_string(high);
}

// The order in which a run has always tried its refusals: when several
// settings are unusable, the first of them in this order is the one
// reported. A row not listed here is tried after these, in table order.
constexpr int kRefusalOrder[] = {kSave,   kTries,      kRaiseLower, kOrdered,    kResume,       kPolish,
                                 kStatistics, kPrune, kBaselines, kStateEvery, kCrossValidate};

bool inRefusalOrder(int position) {
    for (int listed : kRefusalOrder)
        if (listed == position) return true;
    return false;
}

}  // namespace

std::string acceptedText(const Accepted& accepted) {
    if (accepted.hole == kNoHole) return span(accepted.low, accepted.high);
    return span(accepted.low, accepted.hole - 1) + " or " + span(accepted.hole + 1, accepted.high);
}

void refuseUnaccepted(int position) {
    const SettingRow& row = kSettingRows[position];
    const int32_t value = S[position].value.i;
    if (!acceptsValue(row, value))
        fatal("Setting %s is %d, accepted range is %s\n", row.name, value, acceptedText(row.accepted).c_str());
}

void refuseUnacceptedSettings() {
    for (int position : kRefusalOrder) refuseUnaccepted(position);
    for (const SettingRow& row : kSettingRows) {
        if (row.type != symInt || row.refusedBy != RefusedBy::run || inRefusalOrder(row.position)) continue;
        refuseUnaccepted(row.position);
    }
}

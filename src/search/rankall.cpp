// Ranking many sets at once: a stable sort by goodness keeps every set
// behind the earlier ones of equal goodness, as inserting them one by one
// does, and a set whose coefficients equal those of an earlier kept set of
// the same goodness is declined, as sortgen declines it.
#include "search/rankall.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <unordered_set>

#include "coils/storage.h"
#include "search/sort.h"

namespace {

using Coefficients = std::array<double, kCoefficientCount>;

// The coefficients as sortgen's == sees them: -0 equals 0; a set with a NaN
// equals none.
struct CoefficientKey {
    Coefficients values;
    bool operator==(const CoefficientKey& other) const { return values == other.values; }
};

struct KeyHash {
    size_t operator()(const CoefficientKey& key) const {
        uint64_t hash = 0xcbf29ce484222325ULL;
        for (const double value : key.values) {
            const uint64_t bits = std::bit_cast<uint64_t>(value == 0 ? 0.0 : value);
            hash = (hash ^ bits) * 0x100000001b3ULL;
            hash ^= hash >> 29;
        }
        return static_cast<size_t>(hash);
    }
};

bool hasNaN(const Coefficients& values) {
    return std::any_of(values.begin(), values.end(), [](double value) { return std::isnan(value); });
}

}  // namespace

ResultRecord* rankAll(ResultRecord* list, const std::vector<ResultRecord*>& records) {
    std::vector<ResultRecord*> all;
    for (ResultRecord* member = list; member != nullptr; member = member->next) all.push_back(member);
    const size_t held = all.size();
    all.insert(all.end(), records.begin(), records.end());
    // A NaN goodness has no place in an order: sortgen passes over it one
    // way and puts it last the other. Only inserting one by one gives the
    // same list then.
    if (std::any_of(all.begin(), all.end(), [](const ResultRecord* r) { return std::isnan(r->goodness); })) {
        for (ResultRecord* record : records) list = sortgen(list, record);
        return list;
    }
    // Earlier records (the list first) come first among equals.
    std::vector<size_t> order(all.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&all](size_t a, size_t b) { return all[a]->goodness < all[b]->goodness; });
    // Within each run of equal goodness, in insertion order, a record whose
    // coefficients an earlier kept one has is declined.
    std::vector<bool> declined(all.size(), false);
    std::unordered_set<CoefficientKey, KeyHash> seen;
    for (size_t start = 0; start < order.size();) {
        size_t end = start + 1;
        while (end < order.size() && all[order[end]]->goodness == all[order[start]]->goodness) ++end;
        if (end - start > 1) {
            seen.clear();
            for (size_t i = start; i < end; ++i) {
                const size_t at = order[i];
                if (hasNaN(all[at]->coefficients)) continue;
                const bool fresh = seen.insert(CoefficientKey{all[at]->coefficients}).second;
                if (!fresh && at >= held) declined[at] = true;
            }
        }
        start = end;
    }
    ResultRecord* head = nullptr;
    ResultRecord** link = &head;
    for (const size_t at : order) {
        ResultRecord* record = all[at];
        if (declined[at]) {
            record->next = nullptr;
            freeResult(record);
            continue;
        }
        *link = record;
        link = &record->next;
    }
    *link = nullptr;
    return head;
}

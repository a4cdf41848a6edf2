// The ranked population: a list of coefficient sets, best (smallest
// goodness) first.
#include "search/sort.h"

#include "coils/storage.h"
#include "common/fatal.h"

ResultRecord* collected = nullptr;

// A record goes in front of the first member that is strictly worse, behind
// every member of equal goodness. If one of those equal members has the same
// 15 coefficients (the change mask does not count), the record is declined:
// the caller cannot tell from the returned head, so it goes back to the pool.
ResultRecord* sortgen(ResultRecord* list, ResultRecord* record) {
    if (record == nullptr) fatal("%s (%s:%d) should never happen\n", "sort", "sortgen", 40);
    record->next = nullptr;
    ResultRecord** link = &list;
    for (ResultRecord* member = list; member != nullptr; member = member->next) {
        if (member->goodness > record->goodness) break;
        if (member->goodness == record->goodness && member->coefficients == record->coefficients) {
            freeResult(record);
            return list;
        }
        link = &member->next;
    }
    record->next = *link;
    *link = record;
    return list;
}

ResultRecord* memberAt(int k) {
    ResultRecord* record = collected;
    for (int i = 1; i < k && record != nullptr; ++i) record = record->next;
    return record;
}

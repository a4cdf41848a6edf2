// The record pool of coefficient sets, their binary form, and test coil records.
#include "coils/storage.h"

#include <cstdlib>
#include <cstring>

#include "common/fatal.h"

ResultRecord* FreeResults = nullptr;

namespace {

// A record from the pool, or from the heap while the pool is empty.
ResultRecord* takeRecord() {
    ResultRecord* record = FreeResults;
    if (record != nullptr) {
        FreeResults = record->next;
        return record;
    }
    record = static_cast<ResultRecord*>(std::malloc(sizeof(ResultRecord)));
    if (record == nullptr) fatal("Out of space for result\n");
    return record;
}

}  // namespace

ResultRecord* newResult() {
    ResultRecord* record = takeRecord();
    std::memset(record, 0, sizeof *record);
    return record;
}

void copyResult(ResultRecord* destination, const ResultRecord* source) {
    std::memcpy(destination, source, sizeof *destination);
}

ResultRecord* cloneResult(const ResultRecord* source) {
    ResultRecord* record = takeRecord();
    std::memcpy(record, source, sizeof *record);
    record->next = nullptr;
    return record;
}

void freeResult(ResultRecord* record) {
    record->next = FreeResults;
    FreeResults = record;
}

void writeResult(const ResultRecord* record, FILE* out) {
    if (std::fwrite(record, sizeof *record, 1, out) != 1)
        fatal("%s (%s:%d) should never happen\n", "storage", "writeResult", 139);
}

ResultRecord* readResult(FILE* in) {
    ResultRecord* record = newResult();
    if (std::fread(record, sizeof *record, 1, in) != 1) {
        // A short read yields no record; this one goes back to the heap.
        std::free(record);
        return nullptr;
    }
    return record;
}

InductorRecord* newInductor() {
    auto* coil = static_cast<InductorRecord*>(std::calloc(1, sizeof(InductorRecord)));
    if (coil == nullptr) fatal("Out of space for anInductor\n");
    return coil;
}

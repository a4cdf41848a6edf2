// The duplicate library: an open-addressing table with a private copy of
// every candidate the search has made. It is filled for the whole run and
// never shrinks. The table starts small and doubles as it fills, up to
// kLibrarySlots slots; at every size it holds exactly what storing the
// entries in their stored order into an empty table of that size gives, so
// at full size it is the same table, slot for slot, as one allocated at full
// size from the start, and it runs out of room at the same entry.
#include "search/library.h"

#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <memory>

#include "coils/storage.h"
#include "common/fatal.h"


namespace {

// The first table; it doubles whenever it is half full, so that lookups
// seldom step past more than one other entry.
constexpr uint64_t kFirstSlots = uint64_t{1} << 12;
// Tables at least this large are aligned to a huge page and offered to the
// kernel for huge pages: lookups land on random slots, and with 4 KiB pages
// nearly every one would also miss the address translation cache.
constexpr size_t kHugePage = size_t{2} << 20;

// A slot: the stored copy, null where free, with its hash. A probe compares
// the hashes first and reads the copy only when they are equal, so the
// other entries it passes cost no memory access beyond the slot itself.
struct Slot {
    ResultRecord* record;
    uint64_t hash;
};

struct FreeDeleter {
    void operator()(Slot* slots) const { std::free(slots); }
};

// `size` slots, a power of two, or none before the first candidate is stored.
struct SlotTable {
    std::unique_ptr<Slot[], FreeDeleter> slots;
    uint64_t size = 0;
};

SlotTable table;
std::vector<const ResultRecord*> storedInOrder;

SlotTable emptyTable(uint64_t size) {
    const size_t bytes = size * sizeof(Slot);
    const bool huge = bytes >= kHugePage;
    void* memory = std::aligned_alloc(huge ? kHugePage : alignof(Slot), bytes);
    if (memory == nullptr) fatal("Out of space for library\n");
    if (huge) madvise(memory, bytes, MADV_HUGEPAGE);  // a hint; without it the table works the same
    auto* slots = static_cast<Slot*>(memory);
    std::fill(slots, slots + size, Slot{nullptr, 0});
    return SlotTable{std::unique_ptr<Slot[], FreeDeleter>(slots), size};
}

// Final avalanche of a 64-bit value (every input bit reaches every output bit).
uint64_t finalMix(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// Same change mask and every coefficient numerically equal; the goodness is
// not compared.
bool sameCandidate(const ResultRecord* held, const ResultRecord* candidate) {
    return held->changeMask == candidate->changeMask && held->coefficients == candidate->coefficients;
}

// Moves every entry, in stored order, into a new empty table of `size`
// slots. The entries are all different, so each goes into the first free
// slot of its probe sequence, where doneAlready would have put it.
void rebuildAt(uint64_t size) {
    SlotTable grown = emptyTable(size);
    const uint64_t mask = size - 1;
    for (const ResultRecord* entry : storedInOrder) {
        const uint64_t hash = libraryHash(entry);
        uint64_t slot = hash & mask;
        for (uint64_t step = 1; grown.slots[slot].record != nullptr; ++step) slot = (slot + step) & mask;
        grown.slots[slot] = Slot{const_cast<ResultRecord*>(entry), hash};
    }
    table = std::move(grown);
}

}  // namespace

// From the full bit patterns of the change mask and the 15 coefficients, so
// that sets differing only in their fractional parts still spread over the
// whole table. -0.0 is taken as 0.0 because the two compare equal and must
// meet.
uint64_t libraryHash(const ResultRecord* candidate) {
    uint64_t h = finalMix(static_cast<uint32_t>(candidate->changeMask));
    for (double c : candidate->coefficients) {
        const uint64_t bits = c == 0.0 ? 0 : std::bit_cast<uint64_t>(c);
        h = (h ^ bits) * 0x9E3779B97F4A7C15ULL;
        h ^= h >> 32;
    }
    return finalMix(h);
}

void initLibrary() {
    table = SlotTable{};
    std::vector<const ResultRecord*>().swap(storedInOrder);
}

const std::vector<const ResultRecord*>& libraryEntries() { return storedInOrder; }

// True if an equal candidate was made before (one more reject); otherwise
// stores a copy of it (one more entry) and returns false. The probe offsets
// from the home slot are the triangular numbers 0, 1, 3, 6, ...; after
// 2^25 - 1 slots of the full table it counts as full. A smaller table is
// never more than half full, so its probes always reach a free slot first.
bool doneAlready(const ResultRecord* candidate) {
    if (table.size == 0) rebuildAt(kFirstSlots);
    else if (table.size < kLibrarySlots && storedInOrder.size() >= table.size / 2) rebuildAt(table.size * 2);
    const uint64_t mask = table.size - 1;
    const uint64_t hash = libraryHash(candidate);
    uint64_t slot = hash & mask;
    uint64_t step = 1;
    for (;;) {
        const Slot held = table.slots[slot];
        if (held.record == nullptr) {
            table.slots[slot] = Slot{cloneResult(candidate), hash};
            storedInOrder.push_back(table.slots[slot].record);
            ++libCnt;
            return false;
        }
        if (held.hash == hash && sameCandidate(held.record, candidate)) {
            ++rejects;
            return true;
        }
        slot = (slot + step) & mask;
        ++step;
        if (step == table.size) fatal("%s (%s:%d) Symbol table overflow\n", "library", "doneAlready", 121);
    }
}

#if defined(QUELMO_TEST_HOOKS)
std::vector<const ResultRecord*> libraryTable() {
    std::vector<const ResultRecord*> records(table.size);
    for (uint64_t i = 0; i < table.size; ++i) records[i] = table.slots[i].record;
    return records;
}

size_t libraryTableBytes() { return table.size * sizeof(Slot); }

void setLibrarySlot(uint64_t slot, ResultRecord* record) {
    table.slots[slot] = Slot{record, record == nullptr ? 0 : libraryHash(record)};
}

void growLibraryTable(uint64_t slots) {
    if (slots > table.size) rebuildAt(slots);
}
#endif

// The duplicate library: an open-addressing table with a private copy of
// every candidate the search has made. It is filled for the whole run and
// never shrinks.
#include "search/library.h"

#include <sys/mman.h>

#include <algorithm>
#include <bit>

#include "coils/storage.h"
#include "common/fatal.h"

// Aligned to a huge page so that the kernel can back the table with huge
// pages: lookups land on random slots, and with 4 KiB pages nearly every one
// would also miss the address translation cache.
alignas(2 * 1024 * 1024) ResultRecord* lib[kLibrarySlots];
int64_t libCnt = 0;
int64_t rejects = 0;

namespace {

std::vector<const ResultRecord*> storedInOrder;

constexpr uint64_t kSlotMask = kLibrarySlots - 1;

// Final avalanche of a 64-bit value (every input bit reaches every output bit).
uint64_t finalMix(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// Home slot from the full bit patterns of the change mask and the 15
// coefficients, so that sets differing only in their fractional parts
// still spread over the whole table. -0.0 is taken as 0.0 because the two
// compare equal and must meet.
uint64_t homeSlot(const ResultRecord* candidate) {
    uint64_t h = finalMix(static_cast<uint32_t>(candidate->changeMask));
    for (double c : candidate->coefficients) {
        const uint64_t bits = c == 0.0 ? 0 : std::bit_cast<uint64_t>(c);
        h = (h ^ bits) * 0x9E3779B97F4A7C15ULL;
        h ^= h >> 32;
    }
    return finalMix(h) & kSlotMask;
}

// Same change mask and every coefficient numerically equal; the goodness is
// not compared.
bool sameCandidate(const ResultRecord* held, const ResultRecord* candidate) {
    return held->changeMask == candidate->changeMask && held->coefficients == candidate->coefficients;
}

}  // namespace

void initLibrary() {
    madvise(lib, sizeof lib, MADV_HUGEPAGE);  // a hint; without it the table works the same
    std::fill(std::begin(lib), std::end(lib), nullptr);
    storedInOrder.clear();
}

const std::vector<const ResultRecord*>& libraryEntries() { return storedInOrder; }

// True if an equal candidate was made before (one more reject); otherwise
// stores a copy of it (one more entry) and returns false. The probe offsets
// from the home slot are the triangular numbers 0, 1, 3, 6, ...; after
// 2^25 - 1 slots the table counts as full.
bool doneAlready(const ResultRecord* candidate) {
    uint64_t slot = homeSlot(candidate);
    uint64_t step = 1;
    for (;;) {
        const ResultRecord* held = lib[slot];
        if (held == nullptr) {
            lib[slot] = cloneResult(candidate);
            storedInOrder.push_back(lib[slot]);
            ++libCnt;
            return false;
        }
        if (sameCandidate(held, candidate)) {
            ++rejects;
            return true;
        }
        slot = (slot + step) & kSlotMask;
        ++step;
        if (step == kLibrarySlots) fatal("%s (%s:%d) Symbol table overflow\n", "library", "doneAlready", 121);
    }
}

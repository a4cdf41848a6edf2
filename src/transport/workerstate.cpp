// Packing of the state a worker starts from, with the snapshot file's
// encoder and decoder: numbers little-endian, strings as a u64 length and
// their bytes (a missing one as length 2^64 - 1).
#include "transport/workerstate.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "coils/readind.h"
#include "grid/gridsearch.h"
#include "state/snapshot_codec.h"

namespace {

// The fewest bytes a coil takes: its numbers and an empty name.
constexpr size_t kCoilSize = 4 * 8 + 2 * 4 + 8;

template <typename Io, typename Coil>
void coilFields(Io& io, Coil& coil) {
    io.f64(coil.measuredInductance);
    io.f64(coil.radius);
    io.f64(coil.wire);
    io.i32(coil.gauge);
    io.f64(coil.length);
    io.i32(coil.turns);
    io.text(coil.fileName);
}

// Every setting, all eight bytes of a number whichever member is in use.
template <typename Io>
void settingValues(Io& io) {
    for (SymbolEntry& entry : S) {
        if (entry.type == symString)
            io.text(entry.value.s);
        else
            io.raw(&entry.value, sizeof entry.value);
    }
}

[[noreturn]] void damaged() { fatal("The state sent to a worker is damaged\n"); }

void pack(snapshot::Encoder& e, int workers, const RangeTable& startRanges) {
    // The coils in list order: the goodness sums over them in that order.
    uint64_t count = 0;
    for (const InductorRecord* coil = theInductors; coil != nullptr; coil = coil->next) ++count;
    e.u64(count);
    for (InductorRecord* coil = theInductors; coil != nullptr; coil = coil->next) coilFields(e, *coil);
    settingValues(e);
    snapshot::rangeFields(e, startRanges);
    // Every slot's phase: each worker starts its alternation at its own.
    e.u32(static_cast<uint32_t>(workers));
    for (int slot = 0; slot < workers; ++slot) e.u8(workerSlots.phases[static_cast<size_t>(slot)]);
    e.i32(static_cast<int32_t>(gridPathChosen()));
}

}  // namespace

std::vector<unsigned char> packWorkerState(int workers, const RangeTable& startRanges) {
    std::vector<uint8_t> bytes;
    {
        snapshot::Encoder e(bytes);
        pack(e, workers, startRanges);
    }
    return bytes;
}

void unpackWorkerState(const unsigned char* bytes, std::size_t size, int slot) {
    snapshot::Decoder d(bytes, size);
    uint64_t count = 0;
    d.u64(count);
    if (!d.fits(count, kCoilSize, count)) damaged();
    InductorRecord* head = nullptr;
    InductorRecord** tail = &head;
    for (uint64_t i = 0; i < count; ++i) {
        *tail = newInductor();
        coilFields(d, **tail);
        tail = &(*tail)->next;
    }
    settingValues(d);
    snapshot::rangeFields(d, R);
    uint32_t workers = 0;
    d.u32(workers);
    if (slot < 0 || workers <= static_cast<uint32_t>(slot) || !d.fits(workers, 1, kMaxWorkers)) damaged();
    for (uint32_t i = 0; i < workers; ++i) d.u8(workerSlots.phases[i]);
    swapper = workerSlots.startPhase(slot, false);
    int32_t path = 0;
    d.i32(path);
    if (d.failed() || d.left() != 0 || path < static_cast<int32_t>(GridPath::scalar) ||
        path > static_cast<int32_t>(GridPath::avx512))
        damaged();
    setGridPath(static_cast<GridPath>(path));
    theInductors = head;
}

// Packing of the state a worker starts from. Numbers travel as their memory
// images (the records already require a little-endian machine with 8-byte
// pointers); strings as a length and their bytes, a missing one as length -1.
#include "transport/workerstate.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "coils/readind.h"
#include "coils/storage.h"
#include "common/fatal.h"
#include "grid/gridsearch.h"
#include "settings/symtab.h"
#include "transport/process.h"

namespace {

class Packer {
public:
    template <typename T>
    void put(const T& value) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(&value);
        out_.insert(out_.end(), bytes, bytes + sizeof value);
    }
    void putText(const char* text) {
        if (text == nullptr) {
            put(int64_t{-1});
            return;
        }
        const std::string_view view(text);
        put(static_cast<int64_t>(view.size()));
        out_.insert(out_.end(), view.begin(), view.end());
    }
    std::vector<unsigned char> take() { return std::move(out_); }

private:
    std::vector<unsigned char> out_;
};

class Unpacker {
public:
    Unpacker(const unsigned char* bytes, std::size_t size) : at_(bytes), left_(size) {}

    template <typename T>
    T get() {
        T value;
        std::memcpy(&value, claim(sizeof value), sizeof value);
        return value;
    }
    // A heap copy, or null for a missing string.
    char* getText() {
        const auto length = get<int64_t>();
        if (length == -1) return nullptr;
        if (length < 0) damaged();
        const auto size = static_cast<std::size_t>(length);
        const unsigned char* bytes = claim(size);
        char* text = static_cast<char*>(std::malloc(size + 1));
        if (text == nullptr) fatal("Out of space for the worker state\n");
        std::memcpy(text, bytes, size);
        text[size] = '\0';
        return text;
    }
    void expectEnd() const {
        if (left_ != 0) damaged();
    }

private:
    [[noreturn]] static void damaged() { fatal("The state sent to a worker is damaged\n"); }
    const unsigned char* claim(std::size_t size) {
        if (size > left_) damaged();
        const unsigned char* start = at_;
        at_ += size;
        left_ -= size;
        return start;
    }
    const unsigned char* at_;
    std::size_t left_;
};

int64_t coilCount() {
    int64_t count = 0;
    for (const InductorRecord* coil = theInductors; coil != nullptr; coil = coil->next) ++count;
    return count;
}

}  // namespace

std::vector<unsigned char> packWorkerState() {
    Packer packer;
    // The coils in list order: the goodness sums over them in that order.
    packer.put(coilCount());
    for (const InductorRecord* coil = theInductors; coil != nullptr; coil = coil->next) {
        packer.put(coil->measuredInductance);
        packer.put(coil->radius);
        packer.put(coil->wire);
        packer.put(coil->gauge);
        packer.put(coil->length);
        packer.put(coil->turns);
        packer.putText(coil->fileName);
    }
    for (const SymbolEntry& entry : S) {
        if (entry.type == symString)
            packer.putText(entry.value.s);
        else
            packer.put(entry.value);  // all eight bytes, whichever member is in use
    }
    for (const RangeEntry& entry : startRanges) {
        packer.put(entry.low);
        packer.put(entry.high);
        packer.put(entry.resolution);
        packer.put(entry.steps);
        packer.put(entry.minorInc);
        packer.put(entry.mcount);
    }
    // Every slot's phase: each worker starts its alternation at its own.
    const int workers = workerCount();
    packer.put(static_cast<int32_t>(workers));
    for (int slot = 0; slot < workers; ++slot) packer.put(workerSlots.phases[static_cast<size_t>(slot)]);
    packer.put(static_cast<int32_t>(gridPathChosen()));
    return packer.take();
}

void unpackWorkerState(const unsigned char* bytes, std::size_t size, int slot) {
    Unpacker in(bytes, size);
    const auto count = in.get<int64_t>();
    if (count < 0) fatal("The state sent to a worker is damaged\n");
    InductorRecord* head = nullptr;
    InductorRecord** tail = &head;
    for (int64_t i = 0; i < count; ++i) {
        InductorRecord* coil = newInductor();
        coil->measuredInductance = in.get<double>();
        coil->radius = in.get<double>();
        coil->wire = in.get<double>();
        coil->gauge = in.get<int32_t>();
        coil->length = in.get<double>();
        coil->turns = in.get<int32_t>();
        coil->fileName = in.getText();
        *tail = coil;
        tail = &coil->next;
    }
    for (SymbolEntry& entry : S) {
        if (entry.type == symString)
            entry.value.s = in.getText();
        else
            entry.value = in.get<SymbolValue>();
    }
    for (RangeEntry& entry : R) {
        entry.low = in.get<double>();
        entry.high = in.get<double>();
        entry.resolution = in.get<double>();
        entry.steps = in.get<int32_t>();
        entry.minorInc = in.get<double>();
        entry.mcount = in.get<int32_t>();
    }
    startRanges = R;
    const auto workers = in.get<int32_t>();
    if (slot < 0 || workers <= slot || workers > kMaxWorkers) fatal("The state sent to a worker is damaged\n");
    for (int32_t i = 0; i < workers; ++i) workerSlots.phases[static_cast<size_t>(i)] = in.get<uint8_t>();
    swapper = workerSlots.phases[static_cast<size_t>(slot)];
    const auto path = in.get<int32_t>();
    if (path < static_cast<int32_t>(GridPath::scalar) || path > static_cast<int32_t>(GridPath::avx512))
        fatal("The state sent to a worker is damaged\n");
    setGridPath(static_cast<GridPath>(path));
    in.expectEnd();
    theInductors = head;
}

// Fuzzes the snapshot reader (readSnapshot) in the run of the snapshot
// fixture (tests/fixtures/snapshot-v2: its coils, ranges and settings), with
// snapshots of either version whose checksums are made right again after
// every mutation, as a careless or hostile hand would, so that the input
// reaches the reader's checks of sense instead of stopping at a checksum. A
// snapshot the reader takes must be written again and read back the same.
// The fixtures' snapshots are the seeds (.ci/fuzz.sh copies them in).
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "common/crc32c.h"
#include "fuzz_support.h"
#include "search/library.h"
#include "search/schedule.h"
#include "search/sort.h"
#include "search/searchstate.h"
#include "settings/inputdigest.h"
#include "state/snapshot.h"

namespace {

SnapshotInputs inputs;

uint32_t loadU32(const std::vector<uint8_t>& bytes, size_t at) {
    uint32_t value;
    std::memcpy(&value, bytes.data() + at, 4);
    return value;
}

uint64_t loadU64(const std::vector<uint8_t>& bytes, size_t at) {
    uint64_t value;
    std::memcpy(&value, bytes.data() + at, 8);
    return value;
}

void putCrc(std::vector<uint8_t>& bytes, size_t from, size_t crcAt) {
    const uint32_t crc = crc32c(bytes.data() + from, crcAt - from);
    std::memcpy(bytes.data() + crcAt, &crc, 4);
}

// Makes the checksums right again as far as the structure goes: version 1's
// one over the whole file, version 2's over the header and over each
// section that lies within the file.
void reseal(std::vector<uint8_t>& bytes) {
    constexpr size_t kHeader = 24;
    if (bytes.size() < kHeader + 4) return;
    if (loadU32(bytes, 8) == 1) {
        putCrc(bytes, 0, bytes.size() - 4);
        return;
    }
    putCrc(bytes, 0, kHeader);
    for (size_t at = kHeader + 4; at < bytes.size();) {
        const size_t bodyAt = at + 1 + bytes[at] + 8;
        if (bodyAt > bytes.size()) return;
        const uint64_t body = loadU64(bytes, bodyAt - 8);
        if (body > bytes.size() - bodyAt || bytes.size() - bodyAt - body < 4) return;
        const size_t crcAt = bodyAt + static_cast<size_t>(body);
        putCrc(bytes, at, crcAt);
        at = crcAt + 4;
    }
}

// Returns what a snapshot restored into the run to the pool, as the state
// of a run that has not read its snapshot yet: the library's copies, the
// population and the jobs out (the containers that hold them are destroyed
// at exit, which would leave the records unreachable).
void releaseRun() {
    for (const ResultRecord* entry : libraryEntries()) freeResult(const_cast<ResultRecord*>(entry));
    initLibrary();
    while (collected != nullptr) {
        ResultRecord* next = collected->next;
        freeResult(collected);
        collected = next;
    }
    for (const OutJob& job : workerSlots.outstanding) freeResult(job.candidate);
    workerSlots.outstanding.clear();
    R = inputs.startRanges;
}

[[noreturn]] void setUpFailed(const std::string& what) {
    fuzz::fail(("cannot set up the fixture's run: " + what).c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::setUp();
    const std::string fixture = std::string(QUELMO_SOURCE_DIR) + "/tests/fixtures/snapshot-v2/";
    const std::string coils = fixture + "coils-small.txt";
    const std::string ranges = fixture + "ranges.txt";
    readSymtab(ranges.c_str());
    readTestInductors(coils.c_str());
    // The run as it stands when it reads its snapshot (engine/resume).
    inputs.coilPath = coils;
    inputs.rangesPath = ranges;
    if (!digestCoilFile(coils.c_str(), inputs.coilDigest) ||
        !digestRangesFile(ranges.c_str(), inputs.rangesDigest, &inputs.legacyRangesDigest))
        setUpFailed("its files cannot be read");
    inputs.coils = theInductors;
    inputs.workers = S[kProcesses].value.i;
    inputs.candidatesPerGeneration = candidatesPerGeneration(S[kSave].value.i, S[kTries].value.i);
    inputs.minCandidatesPerGeneration = fewestCandidatesPerGeneration(S[kSave].value.i, S[kTries].value.i);
    inputs.startRanges = R;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz::InputFile input;
    std::vector<uint8_t> bytes(data, data + size);
    reseal(bytes);
    // Read into a state of its own: the run is touched only by a snapshot
    // taken, once restored.
    SavedSearch saved;
    std::string cause;
    if (!readSnapshot(input.hold(bytes.data(), bytes.size()), inputs, saved, cause)) {
        if (cause.empty()) fuzz::fail("a snapshot was refused without a cause");
        if (collected != nullptr || !libraryEntries().empty() || !workerSlots.outstanding.empty())
            fuzz::fail("a snapshot refused changed the run");
        return 0;
    }
    // Taken: the run's state as read, written again, must be taken again;
    // but for a finished run that this one continues, which, written again
    // as it was read, would claim to have ended before its new limit.
    const bool ended = saved.ended;
    if (ended && saved.counters.gen < S[kMaxGenerations].value.i) return 0;
    restoreSnapshot(std::move(saved));
    std::vector<uint8_t> again;
    encodeSnapshot(gen, ended, inputs, again);
    releaseRun();
    SavedSearch readAgain;
    if (!readSnapshot(input.hold(again.data(), again.size()), inputs, readAgain, cause))
        fuzz::fail(("a snapshot taken is refused once written again: " + cause).c_str());
    if (readAgain.ended != ended) fuzz::fail("a snapshot taken changes its ended flag once written again");
    return 0;
}

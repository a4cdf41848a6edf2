// A run as its snapshots are checked against it.
#pragma once

#include <cstdint>
#include <string>

#include "coils/records.h"
#include "settings/symtab.h"

// What a run is made of, which a snapshot must match, and what bounds the
// values a run of it can reach.
struct SnapshotInputs {
    std::string coilPath;
    std::string rangesPath;
    uint64_t coilDigest = 0;
    uint64_t rangesDigest = 0;
    // The digest with the maxgenerations lines kept, as snapshots of earlier
    // versions hold it; accepted too.
    uint64_t legacyRangesDigest = 0;
    // The coils, to score the population with.
    const InductorRecord* coils = nullptr;
    // The range table as the ranges file gives it: the snapshot's must be
    // one that range adaptation can have made of it.
    RangeTable startRanges{};
    // The run's worker slots.
    int workers = 0;
    // The most candidates a generation hands out, each adding at most one set
    // to the duplicate library.
    int64_t candidatesPerGeneration = 0;
    // The fewest candidates a generation hands out.
    int64_t minCandidatesPerGeneration = 0;
};

// Version 1 snapshots, written by earlier programs: read so that a fit under
// way survives an upgrade. Their layout is fixed (snapshot.h): the settings
// by position, then the fields that version 2 keeps in its sections, back to
// back, and one CRC-32C over the whole file at its end.
#include <array>

#include "state/snapshot_codec.h"

namespace snapshot {

namespace {

// The settings of version 1, in their positions.
constexpr std::array<const char*, 42> kVersion1Settings = {
    "population", "save",     "maxgenerations", "resultfile", "processes", "seed",      "noise",
    "minormax",   "randomminor", "tries",       "resultc",    "cvarname",  "pctchange", "raiselower",
    "quitat",     "rangeexpand", "direction",   "resultja",   "javarname", "bestr0",    "bestr1",
    "bestr2",     "bestr3",   "bestw0",         "bestw1",     "bestw2",    "bestt0",    "bestt1",
    "bestt2",     "bestt3",   "bestl0",         "bestl1",     "bestl2",    "bestl3",    "ordered",
    "checkpoint", "statefile", "stateevery",    "resume",     "polish",    "coilcsv",   "logcsv"};

constexpr Check kChecks[] = {checkCoilFile, checkSettings, checkCounters, checkRandom, checkRanges,
                             checkPopulation, checkWorkers, checkJobs, checkLibrary};

}  // namespace

bool readVersion1(Decoder& d, uint64_t length, const SnapshotInputs& inputs, Contents& contents, std::string& cause) {
    d.limitTo(length - kChecksumSize);
    inputFields(d, contents);
    uint32_t count = 0;
    d.u32(count);
    if (!d.failed() && count != kVersion1Settings.size()) {
        cause = "it was made by a program with other settings";
        return false;
    }
    for (const char* name : kVersion1Settings) {
        StoredSetting setting{name};
        d.u8(setting.type);
        d.u64(setting.bits);
        contents.settings.push_back(setting);
    }
    counterFields(d, contents);
    randomFields(d, contents);
    savedRangeFields(d, contents);
    const struct {
        const char* name;
        void (*read)(Decoder& d, Contents& c, const SnapshotInputs& inputs);
    } parts[] = {
        {"population", [](Decoder& dd, Contents& c, const SnapshotInputs&) { populationFields(dd, c, runPopulationLimit()); }},
        {"workers", [](Decoder& dd, Contents& c, const SnapshotInputs& in) { workerFields(dd, c, in.workers); }},
        {"jobs", [](Decoder& dd, Contents& c, const SnapshotInputs& in) { jobFields(dd, c, in.workers); }},
        {"library", [](Decoder& dd, Contents& c, const SnapshotInputs&) { readLibrary(dd, c); }},
    };
    for (const auto& part : parts) {
        part.read(d, contents, inputs);
        if (d.failed()) {
            cause = failureCause(d, part.name);
            return false;
        }
    }
    if (d.left() != 0) {
        cause = corrupted("library");
        return false;
    }
    if (!checksumMatches(d, length, "checksum", cause)) return false;
    for (const Check check : kChecks)
        if (!check(contents, inputs, cause)) return false;
    return true;
}

}  // namespace snapshot

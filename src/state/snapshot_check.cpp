// The checks of a snapshot read back: it must belong to this run (the same
// coil file, ranges file and settings), and every value must be one a run of
// it can have reached, down to the goodness of each member of the
// population, which is scored again with the program's own equation. They
// read the snapshot's own state (Contents::run), as a constant, never the
// run's: an honest snapshot passes them all, and a snapshot that fails one
// is refused with the live run untouched. The counters' checks are in snapshot_counters,
// the range table's in snapshot_ranges.
#include <algorithm>
#include <bit>
#include <cstdio>
#include <vector>

#include "coils/baseformulas.h"
#include "coils/equation.h"
#include "settings/settingstable.h"
#include "state/snapshot_codec.h"

namespace snapshot {

namespace {

std::string settingText(uint8_t type, uint64_t bits) {
    // The only text setting compared is the base formula, stored as its number.
    if (type == symString)
        return bits < kBaseFormulas.size() ? baseFormulaInfo(kBaseFormulas[bits]).name : "an unknown formula";
    char text[64];
    if (type == symDouble)
        std::snprintf(text, sizeof text, "%.17g", std::bit_cast<double>(bits));
    else
        std::snprintf(text, sizeof text, "%lld", static_cast<long long>(bits));
    return text;
}

std::string goodnessText(double goodness) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", goodness);
    return text;
}

int settingIndex(const std::string& name) {
    for (int index = 0; index < kSymbolCount; ++index)
        if (name == S[index].name) return index;
    return -1;
}

// Settings that decide the run: every numeric one but `resume`, and the
// base formula, which decides what the goodness measures. The other text
// settings are covered by the ranges file's digest.
bool compared(int index) { return (S[index].type != symString && index != kResume) || index == kBase; }

// Whether setting `index` can be given the stored value `bits` (as its type
// holds it): an integer setting takes only the values its row accepts, the
// base only a formula this program knows.
bool canBeGiven(int index, uint64_t bits) {
    if (S[index].type == symString) return bits < kBaseFormulas.size();
    if (S[index].type == symInt)
        return acceptsValue(kSettingRows[static_cast<size_t>(index)], static_cast<int64_t>(bits));
    return true;
}

}  // namespace

bool checkCoilFile(const Contents& contents, const SnapshotInputs& inputs, std::string& cause) {
    if (contents.coilDigest == inputs.coilDigest) return true;
    cause = "it was made from another coil file than " + inputs.coilPath;
    return false;
}

// Settings are matched by name. One the snapshot does not have was not there
// when it was made, so that run had it at its default; one this program does
// not have is passed over.
bool checkSettings(const Contents& contents, const SnapshotInputs& inputs, std::string& cause) {
    std::vector<bool> seen(kSymbolCount, false);
    for (const StoredSetting& stored : contents.settings) {
        const int index = settingIndex(stored.name);
        if (index < 0) continue;
        if (seen[static_cast<size_t>(index)]) {
            cause = corrupted("settings");
            return false;
        }
        seen[static_cast<size_t>(index)] = true;
        const SymbolEntry& entry = S[index];
        if (stored.type != entry.type) {
            cause = "it was made by a program with other settings";
            return false;
        }
        // maxgenerations is checked with the counters (checkContinuation).
        if (!compared(index) || index == kMaxGenerations) continue;
        uint64_t bits = stored.bits;
        if (entry.type == symInt) bits = static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(bits)));
        if (bits != settingBits(entry)) {
            cause = std::string("it was made with ") + entry.name + " " + settingText(entry.type, bits) +
                    ", this run has " + settingText(entry.type, settingBits(entry)) + ": ";
            cause += canBeGiven(index, bits) ? std::string("set ") + entry.name + " back to " +
                                                   settingText(entry.type, bits) +
                                                   " to resume it, or remove it to start afresh"
                                             : std::string(entry.name) + " cannot be given " +
                                                   settingText(entry.type, bits) +
                                                   ", so it cannot be resumed: remove resume to start afresh";
            return false;
        }
    }
    for (int index = 0; index < kSymbolCount; ++index) {
        if (seen[static_cast<size_t>(index)] || !compared(index) || isDefaultSetting(index)) continue;
        cause = std::string("it was made by a program without setting ") + S[index].name + ", which this run sets to " +
                settingText(S[index].type, settingBits(S[index]));
        return false;
    }
    if (contents.rangesDigest == inputs.rangesDigest || contents.rangesDigest == inputs.legacyRangesDigest)
        return true;
    cause = "it was made from another ranges file than " + inputs.rangesPath;
    return false;
}

// A seeded generator stands at word 0 to 312, and never has every word
// zero: from there it would give nothing but zeros.
bool checkRandom(const Contents& contents, const SnapshotInputs&, std::string& cause) {
    const RandomState& random = contents.run.random;
    const auto& words = random.words;
    if (random.index >= 0 && random.index <= kRandomStateWords &&
        std::any_of(words.begin(), words.end(), [](uint64_t word) { return word != 0; }))
        return true;
    cause = corrupted("random state");
    return false;
}

// The population in rank order as sortgen keeps it, each member with the
// goodness its set scores, and the best goodness that of the first.
bool checkPopulation(const Contents& contents, const SnapshotInputs& inputs, std::string& cause) {
    const std::vector<ResultRecord>& population = contents.run.population;
    const uint64_t count = population.size();
    const uint64_t save = static_cast<uint64_t>(intSetting<kSave>());
    if (count < std::max<uint64_t>(contents.ended ? 1 : save, 1) || count > runPopulationLimit()) {
        cause = corrupted("population");
        return false;
    }
    for (size_t i = 0; i < population.size(); ++i) {
        const ResultRecord& member = population[i];
        ResultRecord scored = member;
        scored.next = nullptr;
        evalInductors(inputs.coils, &scored);
        if (!sameBits(scored.goodness, member.goodness)) {
            cause = corrupted("population member " + std::to_string(i + 1) + " has goodness " +
                              goodnessText(member.goodness) + ", its set scores " + goodnessText(scored.goodness));
            return false;
        }
        const ResultRecord* before = i == 0 ? nullptr : &population[i - 1];
        const bool ranked = before == nullptr || !(before->goodness > member.goodness ||
                                                   (before->goodness == member.goodness &&
                                                    before->coefficients == member.coefficients));
        if (!validMask(member.changeMask) || !ranked) {
            cause = corrupted("population");
            return false;
        }
    }
    const double best = contents.run.counters.bestGoodness;
    if (sameBits(best, population.front().goodness)) return true;
    cause = corrupted("best goodness " + goodnessText(best) + ", the best member scores " +
                      goodnessText(population.front().goodness));
    return false;
}

bool checkWorkers(const Contents& contents, const SnapshotInputs& inputs, std::string& cause) {
    bool valid = contents.workers == static_cast<uint32_t>(inputs.workers);
    for (uint32_t slot = 0; slot < contents.workers; ++slot) valid = valid && contents.run.phases[slot] <= 1;
    if (valid) return true;
    cause = corrupted("workers");
    return false;
}

// At most one job on each worker slot.
bool checkJobs(const Contents& contents, const SnapshotInputs& inputs, std::string& cause) {
    std::vector<bool> busy(contents.workers, false);
    for (const SavedSearch::Job& job : contents.run.jobs) {
        const auto slot = static_cast<size_t>(job.slot);
        if (job.slot < 0 || slot >= busy.size() || busy[slot] || !validMask(job.candidate.changeMask)) {
            cause = corrupted("jobs");
            return false;
        }
        busy[slot] = true;
    }
    return checkHandedOut(contents, inputs, cause);
}

// The count was checked against libCnt as it was read, and the entries
// against each other.
bool checkLibrary(const Contents& contents, const SnapshotInputs&, std::string& cause) {
    if (contents.badLibraryEntry >= 0) {
        cause = corrupted("library");
        return false;
    }
    if (contents.repeatedLibraryEntry < 0) return true;
    cause = corrupted("library entry " + std::to_string(contents.repeatedLibraryEntry) + " repeats an earlier one");
    return false;
}

}  // namespace snapshot

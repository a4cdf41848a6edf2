// The generation driver: the start population, the fixed schedule of operator
// calls of each generation, and the ways a run ends.
#include <cstdio>
#include <optional>
#include <vector>

#include "coils/equation.h"
#include "coils/readind.h"
#include "coils/storage.h"
#include "common/fatal.h"
#include "common/version.h"
#include "engine/dispatch.h"
#include "engine/driver.h"
#include "engine/resume.h"
#include "reports/reports.h"
#include "reports/runmonitor.h"
#include "search/library.h"
#include "search/operators.h"
#include "search/random.h"
#include "search/rankall.h"
#include "search/rules.h"
#include "search/schedule.h"
#include "search/searchstate.h"
#include "search/sort.h"
#include "settings/holdsetting.h"
#include "settings/settingaccess.h"
#include "settings/symtab.h"

namespace {

using Stop = std::optional<RunOutcome>;

// Hands the candidate to a worker and gives the record back to the pool;
// the end of the search when a key or a signal ended it meanwhile.
Stop dispatch(ResultRecord* candidate, StopRequest& stop) {
    monitorCandidate();
    Stop end = runOne(candidate, stop);
    freeResult(candidate);
    return end;
}

RunOutcome noDistinctSets(const SearchSetup& setup) {
    std::fflush(stdout);
    monitorBeforeMessage();
    if (!setup.noRangesReason.empty()) reportMistake("%s", setup.noRangesReason.c_str());
    std::fprintf(stderr, "The coefficient ranges admit no further distinct random sets\n");
    return {SearchEnd::noDistinctSets};
}

// A random set the library has not seen, with the given change mask (-1 for
// the start set; the random fill also advances the stream by 15 draws); null
// when the ranges give none.
ResultRecord* newRandomSet(bool fill) {
    for (int64_t duplicates = 0; duplicates < kMaxDuplicateDraws; ++duplicates) {
        ResultRecord* set = genRandResult();
        if (fill) {
            for (int k = 0; k < kCoefficientCount; ++k) uniform();
            set->changeMask = 15;
        }
        if (!doneAlready(set)) return set;
        freeResult(set);
    }
    return nullptr;
}

Stop startPopulation(const SearchSetup& setup) {
    collected = nullptr;
    accumSeconds = 0;
    accumCnt = 0;
    const double bestl3 = bestCoefficientSetting(cL3);
    std::printf("LAST %d, startup %g\n", cL3, bestl3);
    if (bestl3 != kNoValue) {
        std::printf("Starting with best result\n");
        ResultRecord* start = newResult();
        for (int k = 0; k < kCoefficientCount; ++k) start->coefficients[k] = bestCoefficientSetting(k);
        holdCoefficients(start);
        evalInductors(theInductors, start);
        collected = sortgen(collected, start);
        std::printf("goodness = %g\n", collected->goodness);
    }
    const int save = intSetting<kSave>();
    if (intSetting<kNoise>() > 1)
        std::printf("%s (%s:%d) Generating %d random\n", "geneticproc", "optimizeProc", 210, save);
    // Ranked all at once: one by one would take time growing with the
    // square of save.
    std::vector<ResultRecord*> sets;
    sets.reserve(static_cast<size_t>(randomStartSets(save)));
    for (int64_t accepted = 0; accepted < randomStartSets(save); ++accepted) {
        ResultRecord* set = newRandomSet(false);
        if (set == nullptr) return noDistinctSets(setup);
        evalInductors(theInductors, set);
        sets.push_back(set);
    }
    collected = rankAll(collected, sets);
    std::printf("Generated %d random values %g %g %g %g\n", save, memberAt(1)->goodness, memberAt(2)->goodness,
                memberAt(3)->goodness, memberAt(4)->goodness);
    lastTested = 0;
    lastgen = 0;
    gen = 0;
    bestGoodness = collected->goodness;
    return std::nullopt;
}

Stop crossoverPhase(int save, StopRequest& stop) {
    for (int pass = 0; pass < crossoverPasses(save); ++pass) {
        for (const Pairing& p : kCrossAlways)
            if (Stop end = dispatch(breed(memberAt(p.first), memberAt(p.second), p.rate), stop)) return end;
        if (withFifth(save))
            for (const Pairing& p : kCrossWithFifth)
                if (Stop end = dispatch(breed(memberAt(p.first), memberAt(p.second), p.rate), stop)) return end;
        if (withLast(save) && memberAt(save) != nullptr) {
            // The member at rank `save` serves all three calls, even if a
            // harvest meanwhile moves it or cuts it from the population.
            ResultRecord* last = cloneResult(memberAt(save));
            Stop end;
            for (const Pairing& p : kCrossWithLast)
                if ((end = dispatch(breed(memberAt(p.first), last, p.rate), stop))) break;
            freeResult(last);
            if (end) return end;
        }
    }
    return std::nullopt;
}

Stop generation(int save, const SearchSetup& setup, StopRequest& stop) {
    if (Stop end = crossoverPhase(save, stop)) return end;
    for (const Change& c : kMutateAlways)
        if (Stop end = dispatch(mutate(memberAt(c.parent), c.rate), stop)) return end;
    if (withFifth(save))
        for (const Change& c : kMutateFifth)
            if (Stop end = dispatch(mutate(memberAt(c.parent), c.rate), stop)) return end;
    for (int round = 0; round < kDirectedRounds; ++round)
        for (const Change& c : kDirected)
            if (Stop end = dispatch(goodDir(memberAt(c.parent), c.rate), stop)) return end;
    for (int t = 0; t < intSetting<kTries>(); ++t) {
        ResultRecord* set = newRandomSet(true);
        if (set == nullptr) return noDistinctSets(setup);
        if (Stop end = dispatch(set, stop)) return end;
    }
    return std::nullopt;
}

// The generations from the one in `gen` on, until one of them ends the search.
RunOutcome generations(const SearchSetup& setup, StopRequest& stop, bool& snapshotFailed) {
    const int save = intSetting<kSave>();
    while (true) {
        if (Stop end = generation(save, setup, stop)) return *end;
        std::printf("gen = %d done already %ld, rejected %ld\n", gen, static_cast<long>(libCnt),
                    static_cast<long>(rejects));
        monitorGeneration();
        if (gen % kRewriteEvery == 0 && setup.checkpoints) saveTempResults(collected);
        if (gen != 0 && gen % intSetting<kRaiseLower>() == 0) fixOneRange(collected);
        if (stalled(gen, lastgen, intSetting<kQuitAt>())) {
            std::printf("Gone to long without results\n");
            return generationEnd(gen + 1, true, stop, snapshotFailed).value_or(RunOutcome{});
        }
        ++gen;
        const bool last = gen >= intSetting<kMaxGenerations>();
        // A snapshot when one is due; a stop asked for ends the run here.
        if (Stop end = generationEnd(gen, last, stop, snapshotFailed)) return *end;
        if (last) return {};
    }
}

// The search from its start population or snapshot to its end.
RunOutcome search(const SearchSetup& setup, bool& snapshotFailed) {
    StopRequest stop{snapshotsOn()};
    monitorStart();
    if (resuming()) {
        if (resumeRun() == Resumed::finished) return {};
    } else {
        if (Stop end = startPopulation(setup)) return *end;
        if (intSetting<kMaxGenerations>() <= 0)
            return generationEnd(0, true, stop, snapshotFailed).value_or(RunOutcome{});
    }
    return generations(setup, stop, snapshotFailed);
}

}  // namespace

RunOutcome optimizeProc(const SearchSetup& setup) {
    bool snapshotFailed = false;
    RunOutcome outcome = search(setup, snapshotFailed);
    outcome.snapshotFailed = snapshotFailed;
    return outcome;
}

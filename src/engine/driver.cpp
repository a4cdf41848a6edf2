// The generation driver: the start population, the fixed schedule of operator
// calls of each generation, and the ways a run ends.
#include <cstdio>
#include <cstdlib>
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
#include "reports/finalreport.h"
#include "reports/reports.h"
#include "reports/runmonitor.h"
#include "search/library.h"
#include "search/operators.h"
#include "search/random.h"
#include "search/rankall.h"
#include "search/schedule.h"
#include "search/searchstate.h"
#include "search/sort.h"
#include "settings/holdsetting.h"
#include "settings/rangehints.h"
#include "settings/symtab.h"
#include "transport/process.h"

namespace {

// Consecutive random draws the library already holds before the ranges are
// judged unable to give a new set.
constexpr long kMaxDuplicateDraws = 1000000;

// Hands the candidate to a worker and gives the record back to the pool.
void dispatch(ResultRecord* candidate) {
    monitorCandidate();
    runOne(candidate);
    freeResult(candidate);
}

[[noreturn]] void noDistinctSets() {
    std::fflush(stdout);
    monitorBeforeMessage();
    explainNoRanges();
    std::fprintf(stderr, "The coefficient ranges admit no further distinct random sets\n");
    terminateProcesses();
    std::exit(255);
}

// A random set the library has not seen, with the given change mask (-1 for
// the start set; the random fill also advances the stream by 15 draws).
ResultRecord* newRandomSet(bool fill) {
    for (long duplicates = 0;; ++duplicates) {
        if (duplicates >= kMaxDuplicateDraws) noDistinctSets();
        ResultRecord* set = genRandResult();
        if (fill) {
            for (int k = 0; k < kCoefficientCount; ++k) uniform();
            set->changeMask = 15;
        }
        if (!doneAlready(set)) return set;
        freeResult(set);
    }
}

void startPopulation() {
    collected = nullptr;
    accumSeconds = 0;
    accumCnt = 0;
    const double bestl3 = S[kBestFirst + cL3].value.d;
    std::printf("LAST %d, startup %g\n", cL3, bestl3);
    if (bestl3 != kNoValue) {
        std::printf("Starting with best result\n");
        ResultRecord* start = newResult();
        for (int k = 0; k < kCoefficientCount; ++k) start->coefficients[k] = S[kBestFirst + k].value.d;
        holdCoefficients(start);
        evalInductors(theInductors, start);
        collected = sortgen(collected, start);
        std::printf("goodness = %g\n", collected->goodness);
    }
    const int save = S[kSave].value.i;
    if (S[kNoise].value.i > 1)
        std::printf("%s (%s:%d) Generating %d random\n", "geneticproc", "optimizeProc", 210, save);
    // Ranked all at once: one by one would take time growing with the
    // square of save.
    std::vector<ResultRecord*> sets;
    sets.reserve(static_cast<size_t>(save) + 1);
    for (int accepted = 0; accepted < save + 1; ++accepted) {
        ResultRecord* set = newRandomSet(false);
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
}

void crossoverPhase(int save) {
    for (int pass = 0; pass < crossoverPasses(save); ++pass) {
        for (const Pairing& p : kCrossAlways) dispatch(breed(memberAt(p.first), memberAt(p.second), p.rate));
        if (withFifth(save))
            for (const Pairing& p : kCrossWithFifth) dispatch(breed(memberAt(p.first), memberAt(p.second), p.rate));
        if (withLast(save) && memberAt(save) != nullptr) {
            // The member at rank `save` serves all three calls, even if a
            // harvest meanwhile moves it or cuts it from the population.
            ResultRecord* last = cloneResult(memberAt(save));
            for (const Pairing& p : kCrossWithLast) dispatch(breed(memberAt(p.first), last, p.rate));
            freeResult(last);
        }
    }
}

void generation(int save) {
    crossoverPhase(save);
    for (const Change& c : kMutateAlways) dispatch(mutate(memberAt(c.parent), c.rate));
    if (withFifth(save))
        for (const Change& c : kMutateFifth) dispatch(mutate(memberAt(c.parent), c.rate));
    for (int round = 0; round < kDirectedRounds; ++round)
        for (const Change& c : kDirected) dispatch(goodDir(memberAt(c.parent), c.rate));
    for (int t = 0; t < S[kTries].value.i; ++t) dispatch(newRandomSet(true));
}

// The end of a generation, `done` generations complete: a snapshot when
// one is due, and a stop asked for ends the run here with the final report.
void endGeneration(int32_t done, bool ended) {
    const std::optional<int> stopStatus = generationEnd(done, ended);
    if (!stopStatus) return;
    finalReport();
    terminateProcesses();
    std::exit(*stopStatus);
}

}  // namespace

void optimizeProc() {
    monitorStart();
    if (resuming()) {
        switch (resumeRun()) {
        case Resumed::finished:
            finalReport();
            return;
        case Resumed::continues:
            break;
        }
    } else {
        startPopulation();
        if (S[kMaxGenerations].value.i <= 0) {
            endGeneration(0, true);
            finalReport();
            return;
        }
    }
    const int save = S[kSave].value.i;
    while (true) {
        generation(save);
        std::printf("gen = %d done already %ld, rejected %ld\n", gen, static_cast<long>(libCnt),
                    static_cast<long>(rejects));
        monitorGeneration();
        if (gen % kRewriteEvery == 0) saveTempResults(collected);
        if (gen != 0 && gen % S[kRaiseLower].value.i == 0) fixOneRange(collected);
        const int quitat = S[kQuitAt].value.i;
        if (quitat >= 0 && gen - lastgen > quitat) {
            std::printf("Gone to long without results\n");
            endGeneration(gen + 1, true);
            finalReport();
            return;
        }
        ++gen;
        const bool last = gen >= S[kMaxGenerations].value.i;
        endGeneration(gen, last);
        if (last) {
            finalReport();
            return;
        }
    }
}

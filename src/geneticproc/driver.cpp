// The generation driver and the dispatch loop that streams candidates to the
// workers and ranks their refined results into the population.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "fatal.h"
#include "geneticproc.h"
#include "library.h"
#include "process.h"
#include "random.h"
#include "readind.h"
#include "sort.h"
#include "storage.h"
#include "symtab.h"
#include "version.h"

int32_t gen = 0;
int32_t lastgen = 0;
double bestGoodness = 0;
uint64_t tested = 0;
uint64_t lastTested = 0;
double accumSeconds = 0;
uint32_t accumCnt = 0;

namespace {

constexpr useconds_t kDispatchPoll = 1000;
// Consecutive random draws the library already holds before the ranges are
// judged unable to give a new set.
constexpr long kMaxDuplicateDraws = 1000000;

constexpr int kEscape = 27;
constexpr int kControlC = 3;

// The member at rank k (1 is the best), or null.
ResultRecord* member(int k) {
    ResultRecord* record = collected;
    for (int i = 1; i < k && record != nullptr; ++i) record = record->next;
    return record;
}

double goodnessAt(int k) { return member(k)->goodness; }

void progressReport() {
    std::printf("%s: time/process: %g us\n", kEquationLabel, 1000000 * accumSeconds / accumCnt);
    accumSeconds = 0;
    accumCnt = 0;
    showResult(stdout, collected);
    dumpRangeTable(stdout, "range table\n");
}

void handleKey(int key) {
    if (key == kControlC) std::exit(0);
    progressReport();
    if (key == kEscape) {
        std::printf("Quitting early\n");
        showInductorResults(collected);
        std::exit(-1);
    }
}

// Keeps the best `save` members; what follows goes back to the pool.
void trimPopulation() {
    const int save = S[kSave].value.i;
    if (save <= 0) {
        ResultRecord* head = collected;
        collected = head->next;
        freeResult(head);
        fatal("%s (%s:%d) should never happen\n", "geneticproc", "runOne", 114);
    }
    ResultRecord* last = member(save);
    if (last == nullptr) return;
    ResultRecord* cut = last->next;
    last->next = nullptr;
    while (cut != nullptr) {
        ResultRecord* following = cut->next;
        freeResult(cut);
        cut = following;
    }
}

void harvest() {
    const int processes = S[kProcesses].value.i;
    for (int i = 0; i < processes; ++i) {
        if (!P[i].busy || !hasFinished(i)) continue;
        const double now = timeus();
        ++accumCnt;
        accumSeconds += now - P[i].startTime;
        ResultRecord* record = takeResult(i);
        record->next = nullptr;
        ++tested;
        collected = sortgen(collected, record);
        P[i].busy = 0;
        trimPopulation();
        if (collected->goodness < bestGoodness) {
            std::printf("%lu, %g, %g, %g, %g\n", static_cast<unsigned long>(tested), goodnessAt(1),
                        goodnessAt(2), goodnessAt(3), goodnessAt(4));
            lastTested = tested;
            bestGoodness = collected->goodness;
            lastgen = gen;
        }
    }
}

int highestIdleSlot() {
    for (int i = S[kProcesses].value.i - 1; i >= 0; --i)
        if (!P[i].busy) return i;
    return -1;
}

// Hands the candidate to a worker and gives the record back to the pool.
void dispatch(ResultRecord* candidate) {
    runOne(candidate);
    freeResult(candidate);
}

[[noreturn]] void noDistinctSets() {
    std::fflush(stdout);
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
        evalInductors(theInductors, start);
        collected = sortgen(collected, start);
        std::printf("goodness = %g\n", collected->goodness);
    }
    const int save = S[kSave].value.i;
    if (S[kNoise].value.i > 1)
        std::printf("%s (%s:%d) Generating %d random\n", "geneticproc", "optimizeProc", 210, save);
    for (int accepted = 0; accepted < save + 1; ++accepted) {
        ResultRecord* set = newRandomSet(false);
        evalInductors(theInductors, set);
        collected = sortgen(collected, set);
    }
    std::printf("Generated %d random values %g %g %g %g\n", save, goodnessAt(1), goodnessAt(2),
                goodnessAt(3), goodnessAt(4));
    lastTested = 0;
    lastgen = 0;
    gen = 0;
    bestGoodness = collected->goodness;
}

struct Pairing {
    int first;
    int second;
    double rate;
};
constexpr Pairing kCrossAlways[] = {{1, 2, 0.30}, {1, 3, 0.28}, {1, 4, 0.26},
                                    {2, 3, 0.24}, {2, 4, 0.22}, {3, 4, 0.20}};
constexpr Pairing kCrossWithFifth[] = {{1, 5, 0.24}, {2, 5, 0.26}, {3, 5, 0.28}, {4, 5, 0.30}};
constexpr Pairing kCrossWithLast[] = {{1, 0, 0.20}, {2, 0, 0.18}, {3, 0, 0.16}};

struct Change {
    int parent;
    double rate;
};
constexpr Change kMutateAlways[] = {{1, 0.25}, {2, 0.35}, {3, 0.44}, {4, 0.55}, {1, 0.25}, {2, 0.30},
                                    {3, 0.35}, {4, 0.40}, {1, 0.25}, {2, 0.35}, {3, 0.25}, {4, 0.20}};
constexpr Change kMutateFifth[] = {{5, 0.50}, {5, 0.40}, {5, 0.30}};
constexpr Change kDirected[] = {{1, 0.1}, {2, 0.2}, {3, 0.3}, {4, 0.4}};
constexpr int kDirectedRounds = 5;

void crossoverPhase(int save) {
    const int passes = save > 6 ? 1 : 3;
    for (int pass = 0; pass < passes; ++pass) {
        for (const Pairing& p : kCrossAlways) dispatch(breed(member(p.first), member(p.second), p.rate));
        if (save > 4)
            for (const Pairing& p : kCrossWithFifth) dispatch(breed(member(p.first), member(p.second), p.rate));
        if (save > 6 && member(save) != nullptr) {
            // The member at rank `save` serves all three calls, even if a
            // harvest meanwhile moves it or cuts it from the population.
            ResultRecord* last = cloneResult(member(save));
            for (const Pairing& p : kCrossWithLast) dispatch(breed(member(p.first), last, p.rate));
            freeResult(last);
        }
    }
}

void generation(int save) {
    crossoverPhase(save);
    for (const Change& c : kMutateAlways) dispatch(mutate(member(c.parent), c.rate));
    if (save > 4)
        for (const Change& c : kMutateFifth) dispatch(mutate(member(c.parent), c.rate));
    for (int round = 0; round < kDirectedRounds; ++round)
        for (const Change& c : kDirected) dispatch(goodDir(member(c.parent), c.rate));
    for (int t = 0; t < S[kTries].value.i; ++t) dispatch(newRandomSet(true));
}

}  // namespace

void runOne(ResultRecord* candidate) {
    while (true) {
        harvest();
        const int slot = highestIdleSlot();
        if (slot >= 0) {
            handOver(slot, candidate);
            candidate->next = nullptr;
            P[slot].busy = 1;
            P[slot].startTime = timeus();
            return;
        }
        if (const int key = kbhit()) handleKey(key);
        usleep(kDispatchPoll);
    }
}

void optimizeProc() {
    startPopulation();
    if (S[kMaxGenerations].value.i <= 0) {
        showInductorResults(collected);
        return;
    }
    const int save = S[kSave].value.i;
    while (true) {
        generation(save);
        std::printf("gen = %d done already %ld, rejected %ld\n", gen, static_cast<long>(libCnt),
                    static_cast<long>(rejects));
        if (gen % 100 == 0) saveTempResults(collected);
        if (gen != 0 && gen % S[kRaiseLower].value.i == 0) fixOneRange(collected);
        const int quitat = S[kQuitAt].value.i;
        if (quitat >= 0 && gen - lastgen > quitat) {
            std::printf("Gone to long without results\n");
            showInductorResults(collected);
            return;
        }
        ++gen;
        if (gen >= S[kMaxGenerations].value.i) {
            showInductorResults(collected);
            return;
        }
    }
}

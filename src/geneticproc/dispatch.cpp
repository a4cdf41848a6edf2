// The dispatch loop: streams candidates to the workers and ranks their
// refined results into the population as they come back.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "fatal.h"
#include "geneticproc.h"
#include "process.h"
#include "sort.h"
#include "storage.h"
#include "symtab.h"
#include "version.h"

uint64_t tested = 0;
uint64_t lastTested = 0;
double accumSeconds = 0;
uint32_t accumCnt = 0;

namespace {

constexpr useconds_t kDispatchPoll = 1000;

constexpr int kEscape = 27;
constexpr int kControlC = 3;

double goodnessAt(int k) { return memberAt(k)->goodness; }

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
        finalReport();
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
    ResultRecord* last = memberAt(save);
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

// The dispatch loop: streams candidates to the workers and ranks their
// refined results into the population as they come back.
#include <array>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <vector>

#include "coils/storage.h"
#include "common/clock.h"
#include "common/fatal.h"
#include "common/version.h"
#include "engine/dispatch.h"
#include "reports/finalreport.h"
#include "reports/reports.h"
#include "reports/runmonitor.h"
#include "search/searchstate.h"
#include "search/sort.h"
#include "common/stopsignals.h"
#include "settings/symtab.h"
#include "transport/process.h"
#include "transport/terminal.h"

namespace {

// Longest wait between looks at the workers and the keyboard; a worker's
// wake-up usually ends it much sooner.
constexpr double kDispatchPoll = 0.001;

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
        if (stopAtGenerationEnd()) return;
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

std::deque<OutJob>& outstanding = workerSlots.outstanding;

void forgetJob(int slot) {
    for (auto job = outstanding.begin(); job != outstanding.end(); ++job) {
        if (job->slot != slot) continue;
        freeResult(job->candidate);
        outstanding.erase(job);
        return;
    }
}

// Takes the slot's finished result and ranks it into the population; an
// improvement prints its line and records the generation.
void harvestSlot(int slot) {
    forgetJob(slot);
    const double now = monotonicSeconds();
    ++accumCnt;
    accumSeconds += now - slotStartTime(slot);
    ResultRecord* record = takeResult(slot);
    record->next = nullptr;
    ++tested;
    collected = sortgen(collected, record);
    trimPopulation();
    if (collected->goodness < bestGoodness) {
        std::printf("%lu, %g, %g, %g, %g\n", static_cast<unsigned long>(tested), goodnessAt(1),
                    goodnessAt(2), goodnessAt(3), goodnessAt(4));
        lastTested = tested;
        bestGoodness = collected->goodness;
        lastgen = gen;
    }
}

// Every finished result, in slot order.
void harvestAll() {
    const int workers = workerCount();
    for (int i = 0; i < workers; ++i)
        if (slotBusy(i) && hasFinished(i)) harvestSlot(i);
}

int highestIdleSlot() {
    for (int i = workerCount() - 1; i >= 0; --i)
        if (!slotBusy(i)) return i;
    return -1;
}

// SIGINT or SIGTERM while no snapshot waits for the end of the generation:
// the run ends as Escape ends it, with the final report, and the status
// says which signal ended it.
void stopOnSignal() {
    const int signal = stopSignalNumber();
    if (signal == 0 || stopWaitsForGenerationEnd) return;
    std::printf("Interrupted by %s\n", stopSignalName(signal));
    monitorStopped();
    finalReport();
    terminateProcesses();
    std::exit(resultFileFailed ? 255 : 128 + signal);
}

// While a result is awaited: answer a key or a stop signal, then sleep until
// something may have arrived.
void waitRound() {
    stopOnSignal();
    if (const int key = kbhit()) handleKey(key);
    monitorWaiting();
    awaitActivity(kDispatchPoll);
}

void handOverTo(int slot, ResultRecord* candidate) {
    handOver(slot, candidate);
    workerSlots.phases[static_cast<size_t>(slot)] ^= 1;
    candidate->next = nullptr;
    outstanding.push_back({slot, cloneResult(candidate)});
}

// Ranks results in hand-over order only, as if every job took the same time:
// while fewer jobs than workers are out the candidate goes at once; otherwise
// the oldest job's result is awaited and ranked first. The run is then a
// function of its inputs, its seed and the number of workers.
void runOrdered(ResultRecord* candidate) {
    if (static_cast<int>(outstanding.size()) < workerCount()) {
        handOverTo(highestIdleSlot(), candidate);
        return;
    }
    const int oldest = outstanding.front().slot;
    while (!hasFinished(oldest)) waitRound();
    harvestSlot(oldest);
    handOverTo(oldest, candidate);
}

}  // namespace

void handOutSavedJobs() {
    std::deque<OutJob> saved;
    saved.swap(outstanding);
    for (const OutJob& job : saved) {
        handOverTo(job.slot, job.candidate);
        freeResult(job.candidate);
    }
}

void runOne(ResultRecord* candidate) {
    if (S[kOrdered].value.i != 0) {
        runOrdered(candidate);
        return;
    }
    // Every finished result is ranked before the candidate goes to the
    // highest idle slot.
    while (true) {
        harvestAll();
        const int slot = highestIdleSlot();
        if (slot >= 0) {
            handOverTo(slot, candidate);
            return;
        }
        waitRound();
    }
}

// The dispatch loop: streams candidates to the workers and ranks their
// refined results into the population as they come back.
#include <array>
#include <cstdio>
#include <deque>
#include <optional>
#include <vector>

#include "coils/storage.h"
#include "common/clock.h"
#include "common/fatal.h"
#include "common/version.h"
#include "engine/dispatch.h"
#include "reports/reports.h"
#include "reports/runmonitor.h"
#include "search/searchstate.h"
#include "search/sort.h"
#include "common/stopsignals.h"
#include "settings/settingaccess.h"
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

// A key read while a result is awaited; the end of the search when the key
// ends it.
std::optional<RunOutcome> handleKey(int key, StopRequest& stop) {
    if (key == kControlC) return RunOutcome{SearchEnd::byte3};
    progressReport();
    if (key != kEscape) return std::nullopt;
    if (stop.waitsForGenerationEnd) {
        stop.escape = true;
        return std::nullopt;
    }
    std::printf("Quitting early\n");
    return RunOutcome{SearchEnd::escape};
}

// Keeps the best `save` members; what follows goes back to the pool.
void trimPopulation() {
    const int save = intSetting<kSave>();
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
std::optional<RunOutcome> stopOnSignal(const StopRequest& stop) {
    const int signal = stopSignalNumber();
    if (signal == 0 || stop.waitsForGenerationEnd) return std::nullopt;
    std::printf("Interrupted by %s\n", stopSignalName(signal));
    monitorStopped();
    return RunOutcome{SearchEnd::signal, signal};
}

// While a result is awaited: answer a stop signal or a key, then sleep until
// something may have arrived. The end of the search when either ends it.
std::optional<RunOutcome> waitRound(StopRequest& stop) {
    if (auto end = stopOnSignal(stop)) return end;
    if (const int key = kbhit())
        if (auto end = handleKey(key, stop)) return end;
    monitorWaiting();
    awaitActivity(kDispatchPoll);
    return std::nullopt;
}

void handOverTo(int slot, ResultRecord* candidate) {
    handOver(slot, candidate);
    workerSlots.handedOver(slot);
    candidate->next = nullptr;
    outstanding.push_back({slot, cloneResult(candidate)});
}

// Ranks results in hand-over order only, as if every job took the same time:
// while fewer jobs than workers are out the candidate goes at once; otherwise
// the oldest job's result is awaited and ranked first. The run is then a
// function of its inputs, its seed and the number of workers.
std::optional<RunOutcome> runOrdered(ResultRecord* candidate, StopRequest& stop) {
    if (static_cast<int>(outstanding.size()) < workerCount()) {
        handOverTo(highestIdleSlot(), candidate);
        return std::nullopt;
    }
    const int oldest = outstanding.front().slot;
    while (!hasFinished(oldest))
        if (auto end = waitRound(stop)) return end;
    harvestSlot(oldest);
    handOverTo(oldest, candidate);
    return std::nullopt;
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

std::optional<RunOutcome> runOne(ResultRecord* candidate, StopRequest& stop) {
    if (intSetting<kOrdered>() != 0) return runOrdered(candidate, stop);
    // Every finished result is ranked before the candidate goes to the
    // highest idle slot.
    while (true) {
        harvestAll();
        const int slot = highestIdleSlot();
        if (slot >= 0) {
            handOverTo(slot, candidate);
            return std::nullopt;
        }
        if (auto end = waitRound(stop)) return end;
    }
}

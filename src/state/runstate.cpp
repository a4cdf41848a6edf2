// The search's part of a run's state, to and from a RunState.
#include "state/runstate.h"

#include "coils/storage.h"
#include "search/library.h"
#include "search/operators.h"
#include "search/searchstate.h"
#include "search/sort.h"
#include "settings/symtab.h"
#include "state/workerslots.h"

WorkerSlots workerSlots;

void captureSearchState(RunState& state) {
    state.lastgen = lastgen;
    state.tested = tested;
    state.lastTested = lastTested;
    state.libCnt = libCnt;
    state.rejects = rejects;
    state.bestGoodness = bestGoodness;
    state.accumSeconds = accumSeconds;
    state.accumCnt = accumCnt;
    state.goodDirUp = goodDirUp();
    state.random = saveRandomState();
    state.ranges = R;
    state.population.clear();
    for (const ResultRecord* m = collected; m != nullptr; m = m->next) state.population.push_back(*m);
    const auto& entries = libraryEntries();
    state.library.assign(entries.begin(), entries.end());
}

bool restoreSearchState(const RunState& state, std::string& cause) {
    gen = state.generation;
    lastgen = state.lastgen;
    tested = state.tested;
    lastTested = state.lastTested;
    bestGoodness = state.bestGoodness;
    accumSeconds = state.accumSeconds;
    accumCnt = state.accumCnt;
    setGoodDirUp(state.goodDirUp);
    restoreRandomState(state.random);
    for (int k = 0; k < kCoefficientCount; ++k) {
        const char* name = R[k].name;
        R[k] = state.ranges[k];
        R[k].name = name;
    }

    while (collected != nullptr) {
        ResultRecord* following = collected->next;
        freeResult(collected);
        collected = following;
    }
    ResultRecord** link = &collected;
    for (const ResultRecord& member : state.population) {
        ResultRecord* record = cloneResult(&member);
        *link = record;
        link = &record->next;
    }

    // Stored again in the order they were first stored, the entries land in
    // the slots they held. Every one must be new: a repeat means the entries
    // are not what the run stored.
    for (size_t i = 0; i < state.library.size(); ++i) {
        if (doneAlready(state.library[i])) {
            cause = "it is corrupted (library entry " + std::to_string(i) + " repeats an earlier one)";
            return false;
        }
    }
    libCnt = state.libCnt;
    rejects = state.rejects;
    return true;
}

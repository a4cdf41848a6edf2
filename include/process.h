// Worker processes and the file exchange between master and workers.
#pragma once

#include <cstdint>

#include "records.h"

struct ProcSlot {
    char* requestPath;    // "quelmoi.%d"
    char* requestRemove;  // "rm -f quelmoi.%d"
    char* replyPath;      // "quelmor.%d"
    char* replyRemove;    // "rm -rf quelmor.%d"
    double startTime;     // timeus() at the hand-over of the current job
    uint8_t busy;         // 1 from hand-over until harvest
};

inline constexpr int kProcSlots = 48;
extern ProcSlot P[kProcSlots];

void initProcs();
bool hasFinished(int slot);
void terminateProcesses();
int kbhit();
double timeus();

// The exchange as the dispatch loop sees it: give a slot its job, and take a
// finished slot's result (whose reply file then goes away).
void handOver(int slot, const ResultRecord* candidate);
ResultRecord* takeResult(int slot);

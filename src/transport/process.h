// Worker processes and the exchange between the master and its workers.
//
// The dispatch loop sees the exchange only through the functions below, so a
// transport (files between forked workers, messages between machines) can be
// replaced without touching the loop. Each worker has a slot number, 0 to
// workerCount() - 1; a slot is busy from the hand-over of a job until its
// result has been taken.
#pragma once

#include <cstdint>

#include "coils/records.h"
#include "search/searchstate.h"
#include "settings/symtab.h"

// Called once the settings are read, before any other check of them: refuses
// a `processes` setting this transport cannot serve, or, for a transport
// whose workers were started before the settings were read, replaces it by
// the number of those workers.
void settleWorkerCount();
// Starts the workers, which search with `startRanges`, the range table as
// the ranges file gave it. Returns in the master; a worker never returns.
void initProcs(const RangeTable& startRanges);
// Number of worker slots in use.
int workerCount();
// Gives an idle slot its job and marks it busy.
void handOver(int slot, const ResultRecord* candidate);
// True when the busy slot's result is there to be taken. Never blocks for long.
bool hasFinished(int slot);
// Takes the slot's finished result (a fresh record) and marks the slot idle.
ResultRecord* takeResult(int slot);
// Blocks until a result may have arrived or a key may be waiting, at most
// `timeoutSeconds`. Waking early is allowed: callers check what they wait for.
void awaitActivity(double timeoutSeconds);
// Tells every worker to stop.
void terminateProcesses();

// What `name`, a file name in the run directory, is to the exchange: the
// directory's lock, or a request, reply or temporary exchange file of a slot
// that the settings allow (call after settleWorkerCount). Null for a name
// the exchange never touches. Such a file is created, replaced or removed
// by the run, so no input or output may take its name.
const char* exchangeFileRole(const char* name);

// Slot bookkeeping, kept by the exchange.
bool slotBusy(int slot);
// monotonicSeconds() at the hand-over of the slot's current job.
double slotStartTime(int slot);

// Hooks for the tests, the benchmarks and the fuzzing harnesses, which run
// many configurations in one process or reach inside a module. No file of
// the program includes this header; the hooks are defined beside what they
// reach into, under QUELMO_TEST_HOOKS, which only the test build of the
// core (quelmo_testing) defines: the programs hold none of them. That build
// also reads QUELMO_TEST_KILL_IN_SNAPSHOT=N, which kills the process during
// its N-th snapshot write, after the write and before the rename, and
// QUELMO_TEST_PAUSE_IN_WORKER_START=FILE, which makes the master create FILE
// once its workers have started and wait there, with SIGINT and SIGTERM still
// held, until one of them is pending.
#pragma once

#if !defined(QUELMO_TEST_HOOKS)
#error "the test hooks are in the test build of the core only: link quelmo_testing"
#endif

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "coils/records.h"
#include "grid/gridsearch.h"

// Restores the settings and range tables to their compiled-in defaults
// (string values are dropped, not freed).
void resetTables();
// Makes the next goodDir call scale down again, as at program start.
void resetGoodDir();
// The duplicate library's table as it stands: the copy each slot holds,
// null where free; empty before the first candidate is stored.
std::vector<const ResultRecord*> libraryTable();
// The bytes the table takes.
size_t libraryTableBytes();
// Puts `record` (or null) into a slot of the table, as if stored there.
void setLibrarySlot(uint64_t slot, ResultRecord* record);
// Grows the duplicate library's table at once to `slots` slots (a power of
// two, at most kLibrarySlots), as if it had filled up to there.
void growLibraryTable(uint64_t slots);
// runMajor on the given variant, which must be supported.
ResultRecord* runMajorOn(GridPath path, const InductorRecord* coils, const ResultRecord* candidate);
// runMajor on the given walk, which the CPU must be able to run.
ResultRecord* runMajorWith(GridWalk walk, const InductorRecord* coils, const ResultRecord* candidate);
// Calls `hook` (null: nothing) in every commit of an output file, between
// the close of its temporary and the rename, with the temporary's path.
void setOutFileRenameHook(void (*hook)(const std::string& tempPath));

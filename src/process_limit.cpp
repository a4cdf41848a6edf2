// How many workers the file exchange serves: the forked workers all share
// this machine, and the exchange keeps a fixed table of 48 slots.
#include "fatal.h"
#include "process.h"
#include "symtab.h"

namespace {

constexpr int kForkedWorkerLimit = 48;

}  // namespace

void settleWorkerCount() {
    const int processes = S[kProcesses].value.i;
    if (processes < 1 || processes > kForkedWorkerLimit)
        fatal("Setting processes is %d, accepted range is 1 to %d\n", processes, kForkedWorkerLimit);
}

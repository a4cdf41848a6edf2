// quelmo: fits the fifteen coefficients of an empirical inductance equation
// for single-layer air-core coils to a file of measured coils, with its
// workers forked on this machine and records exchanged through files.
#include "run/run.h"

int main(int argc, char** argv) { return runMaster(argc, argv); }

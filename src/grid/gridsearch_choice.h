// The walk variants, one per instruction set, and which one the grid search
// runs on.
#pragma once

#include "grid/gridsearch_walk.h"

// The walk variants; runMajor runs on the one gridPathChosen settles.
enum class GridPath : int { scalar = 0, avx2 = 1, avx512 = 2 };

// The walk or the quotient routine of a variant, or null when it is not
// built for this architecture.
GridWalk gridWalkFor(GridPath path);
GridQuotients gridQuotientsFor(GridPath path);
// Whether the variant is built and this CPU can run it.
bool gridPathSupported(GridPath path);
const char* gridPathName(GridPath path);
// The widest variant this CPU supports.
GridPath gridPathBest();

// The variant runMajor uses. The first call settles it: the one named by
// the environment variable QUELMO_GRID_PATH (scalar, avx2 or avx512; a name
// this CPU cannot run is a fatal error), else the fastest on a short
// measurement of every supported variant. The master settles it before its
// workers start, so that they inherit it.
GridPath gridPathChosen();
// Takes the master's choice in a worker that did not inherit it (an MPI
// rank); a variant this CPU cannot run gives way to the widest it can.
void setGridPath(GridPath path);

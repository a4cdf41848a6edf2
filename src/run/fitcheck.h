// The coils a run has to fit: a run with no coil to evaluate is refused
// before it starts, and one with too few coils to decide the formula is told
// so once.
#pragma once

// After the coils are read and the base is applied to them: ends the run
// through fatal() when no coil of `coilPath` counts in any goodness (the file
// holds no coil, or the base or the measured values leave every coil out),
// and warns when fewer coils count than the free coefficients plus two.
void checkCoilsToFit(const char* coilPath);

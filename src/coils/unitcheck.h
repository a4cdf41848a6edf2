// Warnings about coil values that look like the wrong unit (millimetres or
// inches for metres, microhenry for henry), and about a final set that
// computes an inductance of zero or less. Warnings only: the run goes on.
#pragma once

#include <vector>

#include "coils/records.h"

// After the coil file `path` is read: one warning on standard error for
// each kind of value out of the plausible range, naming the first few coils.
void warnAboutUnits(const InductorRecord* coils, const char* path);

// After the final report has computed every coil's inductance: one warning
// when the set computes zero or less for any coil. The report relinks the
// coil list, so the coils come as a list taken before it.
void warnAboutNonPositiveInductances(const std::vector<const InductorRecord*>& coilsInFileOrder);

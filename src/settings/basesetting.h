// The setting `base`: the classical formula the equation corrects.
#pragma once

#include "coils/baseformulas.h"

// The formula `base` names; none when it is not given. An unknown name is
// refused through fatal(), with the known ones.
BaseFormula chosenBase();
// Turns each coil's target into the measured inductance over its base
// factor, once, before the search; warns about and leaves out the coils the
// base cannot evaluate. Nothing changes without a base.
void applyBase();

// The ranked population: best (smallest goodness) first.
#pragma once

#include "coils/records.h"

extern ResultRecord* collected;

ResultRecord* sortgen(ResultRecord* list, ResultRecord* record);

// The member of `collected` at rank k (1 is the best), or null.
ResultRecord* memberAt(int k);

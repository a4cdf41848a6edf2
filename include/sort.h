// The ranked population: best (smallest goodness) first.
#pragma once

#include "records.h"

extern ResultRecord* collected;

ResultRecord* sortgen(ResultRecord* list, ResultRecord* record);

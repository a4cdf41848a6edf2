// Ranking many sets at once, as the start population does.
#pragma once

#include <vector>

#include "coils/records.h"

// The list that inserting every record of `records`, in order, into `list`
// with sortgen would give, declined records given back to the pool as
// sortgen does; in O(n log n) where sortgen one by one takes O(n^2). `list`
// must be ranked as sortgen keeps it. Returns the new head.
ResultRecord* rankAll(ResultRecord* list, const std::vector<ResultRecord*>& records);

// The variation operators: random, crossover, mutation and directed scaling.
#pragma once

#include "coils/records.h"

ResultRecord* genRandResult();
ResultRecord* breed(const ResultRecord* first, const ResultRecord* second, double rate);
ResultRecord* mutate(const ResultRecord* parent, double rate);
ResultRecord* goodDir(const ResultRecord* parent, double rate);
// The direction of the next goodDir call (true: up), kept between calls; a
// snapshot saves and restores it.
bool goodDirUp();
void setGoodDirUp(bool up);

// Record pool of coefficient sets, their binary form, and test coil records.
#pragma once

#include <cstdio>

#include "coils/records.h"

extern ResultRecord* FreeResults;

ResultRecord* newResult();
void copyResult(ResultRecord* destination, const ResultRecord* source);
ResultRecord* cloneResult(const ResultRecord* source);
void freeResult(ResultRecord* record);
void writeResult(const ResultRecord* record, FILE* out);
ResultRecord* readResult(FILE* in);

InductorRecord* newInductor();

// Machine-readable results: the coils of the final set and one row per
// generation, as CSV. A file is a header row and data rows; lines end in LF;
// a field holding a comma, a double quote, CR or LF is quoted, with each
// double quote doubled; numbers are SI values with 17 significant digits, so
// they read back to the same double; a field with no value is empty.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "coils/records.h"

std::string csvField(std::string_view text);
// %.17g: enough digits to read back the same double.
std::string csvNumber(double value);

// One row per coil in the order given: name, measured and computed
// inductance, relative error (computed - measured) / measured, coil radius,
// wire radius, gauge, turns, length, and 1 or 0 for whether the set can
// evaluate the coil (computed and error are empty when it cannot).
std::string coilCsv(const std::vector<const InductorRecord*>& coils, const ResultRecord* set);

// One generation of the search, as its "gen =" line ends it.
struct GenerationRow {
    int32_t generation;
    uint64_t tested;  // refined candidates ranked so far
    double best[4];   // goodness of the four best sets; kNoValue: none
    int64_t library;  // candidates made so far
    int64_t rejects;  // duplicates rejected so far
    double elapsed;   // seconds since the search started
};
extern const char* const kGenerationCsvHeader;
std::string generationCsvRow(const GenerationRow& row);

// Replaces `path` whole with `text`, through a temporary file and a rename.
// On failure `error` receives the message line, with the reason, and the
// target keeps what it held.
bool writeCsvFile(const char* path, const std::string& text, std::string& error);

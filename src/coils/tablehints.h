// Plain words for a coil file exported from a spreadsheet: a header row,
// semicolons between the fields, decimal commas, values and names in quotes.
#pragma once

#include <string>

// The sentence that names the spreadsheet habits of `text`, a failed read of
// file `path` from its line `line` (`continues`: not the line's first read),
// or empty when it shows none.
std::string spreadsheetHint(const std::string& text, int line, bool continues, const char* path);

// The warning for an accepted line whose coil name `name` is in quotes,
// which the name keeps; empty when it is not.
std::string quotedNameWarning(const char* name, int line, const char* path);

// The program's own settings (those after the first kListedSymbolCount of
// the table) take numbers only: `polish yes`, read as 0, would quietly turn
// off what the line asks for, and override an earlier `polish 1`.
#pragma once

#include <string>

#include "settings/readwarnings.h"
#include "settings/symtab.h"

// The message that refuses `token`, naming the accepted values, when it is
// not wholly a number for a numeric setting `entry` of the program's own;
// empty otherwise. The settings of the first kListedSymbolCount read as they
// always did. A rest that begins with white space is a comment, as
// everywhere in the file. The reader ends the run with the message once its
// file is closed.
std::string ownSettingRefusal(const SymbolEntry& entry, const char* token, const ValueSite& site);

// Warns on standard error, before the search, about a setting that will do
// nothing in this run: `normalize 1` without the polish.
void warnAboutIdleSettings();

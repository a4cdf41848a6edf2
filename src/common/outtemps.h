// The temporary files that outputs are written under before their rename
// (".quelmo-" and six letters or digits, beside the output). While a
// process writes one it holds a lock on it, so a temporary that no process
// holds was left by a run that died before its rename.
#pragma once

#include <string>

// Whether `name` (a file name, no directory) is such a temporary's name.
bool isOutTempName(const std::string& name);
// Removes, in `directory`, every temporary of this user's that is a regular
// file and that no live process holds; others' files and the temporaries of
// runs still writing are left alone. Returns how many were removed.
int removeStaleOutTemps(const std::string& directory);

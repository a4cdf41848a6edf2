// A limit on warnings of one kind: a file with a million faulty lines tells
// the first few of them and then how many more there were, rather than a
// million lines on standard error.
#pragma once

// The warnings of each kind that are written before the rest are counted.
inline constexpr int kWarningsShown = 5;

// Whether the next warning of `kind` is to be written; counts it otherwise.
// `kind` says in the plural what such warnings are about ("values read in
// part"); warnings of one kind pass the same text.
bool warningShown(const char* kind);

// Writes, for each kind with warnings not written, one line with their
// count, and starts every count again. Readers call it when they finish or
// fail, so that the count comes before the failure's message.
void reportWarningsLeftOut();

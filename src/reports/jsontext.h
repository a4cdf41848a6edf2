// JSON text for strings that may hold any bytes: coil names and paths come
// from files and command lines, where nothing makes them UTF-8.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

// Whether `text` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool isUtf8(const std::string& text);

// `text` as a JSON string literal, quotes included. Valid UTF-8 is written
// as it is and control characters are escaped as the JSON library escapes
// them; each byte that is not part of a valid UTF-8 sequence is written as
// the escape of the lone surrogate U+DC00 + byte (0xFC becomes "\udcfc"),
// which a reader that decodes with surrogate escapes (Python's
// errors="surrogateescape") turns back into the same byte.
std::string jsonStringLiteral(const std::string& text);

// document.dump(indent), except that a string value that is not UTF-8 is
// written with jsonStringLiteral instead of ending the program.
std::string dumpJson(nlohmann::ordered_json document, int indent);

// Small helpers shared by the unit tests.
#pragma once

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "cli_util.h"
#include "settings/symtab.h"
#include "testhooks.h"

// A ranges file body that gives all 15 coefficients a valid range
// (low 0, high 1, resolution 0.1, minor increment 0.01, minor count 2).
inline std::string allRanges() {
    std::string text;
    for (const char* name : kCoefficientNames) text += std::string(name) + " 0 1 0.1 0.01 2\n";
    return text;
}

// Reads `body` as a ranges file in-process and returns what the reader printed.
inline std::string readRangesText(const std::string& body) {
    CliRun scratch;
    scratch.write("ranges.txt", body);
    resetTables();
    testing::internal::CaptureStdout();
    readSymtab((scratch.dir() / "ranges.txt").c_str());
    return testing::internal::GetCapturedStdout();
}

// The pieces of `text` between separators; a separator at the end is
// followed by an empty piece.
inline std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator)) parts.push_back(part);
    if (!text.empty() && text.back() == separator) parts.push_back("");
    return parts;
}

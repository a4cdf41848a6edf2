// The example data the benchmarks measure on.
#pragma once

#include <fstream>
#include <sstream>
#include <string>

#include "coils/readind.h"
#include "coils/records.h"

// A file of the source tree, by its path from the top.
inline std::string projectPath(const char* relative) { return std::string(QUELMO_SOURCE_DIR) + "/" + relative; }

// The 60 example coils, read once.
inline const InductorRecord* exampleCoils() {
    static const InductorRecord* coils = [] {
        readTestInductors(projectPath("examples/coils-example.txt").c_str());
        return theInductors;
    }();
    return coils;
}

// The example ranges file without its lines that set checkpoint and polish:
// the search alone, as builds from before those settings run it too, with
// the checkpoint in its default place.
inline std::string exampleSearchRanges() {
    std::ifstream file(projectPath("examples/ranges-example.txt"));
    std::string text, line;
    while (std::getline(file, line))
        if (line.rfind("checkpoint ", 0) != 0 && line.rfind("polish ", 0) != 0) text += line + "\n";
    return text;
}

// The example data the benchmarks measure on.
#pragma once

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

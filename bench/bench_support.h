// The example data the benchmarks measure on.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <string>

#include "coils/readind.h"
#include "coils/records.h"
#include "settings/symtab.h"
#include "testhooks.h"

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

// The tables as the example ranges file sets them, read once.
struct ExampleTables {
    std::array<SymbolEntry, kSymbolCount> settings;
    std::array<RangeEntry, kCoefficientCount> ranges;
};

inline const ExampleTables& exampleTables() {
    static const ExampleTables tables = [] {
        // The ranges reader lists the settings; keep that out of the report.
        std::fflush(stdout);
        const int saved = dup(STDOUT_FILENO);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        resetTables();
        readSymtab(projectPath("examples/ranges-example.txt").c_str());
        std::fflush(stdout);
        dup2(saved, STDOUT_FILENO);
        close(null);
        close(saved);
        return ExampleTables{S, R};
    }();
    return tables;
}

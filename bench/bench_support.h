// The example data the benchmarks measure on.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "coils/readind.h"
#include "coils/records.h"
#include "coils/storage.h"
#include "settings/symtab.h"
#include "testhooks.h"

// A file of the source tree, by its path from the top.
inline std::string projectPath(const char* relative) { return std::string(QUELMO_SOURCE_DIR) + "/" + relative; }

// Runs the program `binary` in `directory` on `coils` and "ranges.txt", with
// standard input and output on /dev/null, and waits for it. True when it
// ends with status 0.
inline bool runProgram(const std::string& binary, const std::string& directory, const std::string& coils) {
    const pid_t child = fork();
    if (child == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        if (chdir(directory.c_str()) != 0) _exit(127);
        execl(binary.c_str(), binary.c_str(), coils.c_str(), "ranges.txt", nullptr);
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

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

// The best set of the first 20 generations of the example fit with one
// worker (goodness 0.0875).
inline constexpr std::array<double, kCoefficientCount> kFoundAfter20Generations = {
    0.00002442312341, 0.00009804970108, 3.76357191414569, -31.69034624432601, 1.24672884299402,
    -280.72249376538269, 277172.27999999996973, -0.70913176626091, 0.0, 1.01986636527706,
    -0.00054010473582, 0.00887910499358, 1.13531389598634, -0.63392294585783, -11.01539417776527};

// 120 coils: the example coils and a geometrically similar copy of each
// (radius, wire radius and length scaled by 0.95, 0.97, 1.03 or 1.05 in
// turn, the measured inductance by the same factor, as for a coil built to
// scale), the copies first.
inline const InductorRecord* doubledCoils() {
    static const InductorRecord* coils = [] {
        constexpr double kFactors[] = {0.95, 0.97, 1.03, 1.05};
        InductorRecord* head = nullptr;
        int i = 0;
        for (const InductorRecord* coil = exampleCoils(); coil != nullptr; coil = coil->next, ++i) {
            const double s = kFactors[i % 4];
            InductorRecord* copy = newInductor();
            *copy = *coil;
            copy->radius *= s;
            copy->wire *= s;
            copy->length *= s;
            copy->measuredInductance *= s;
            copy->next = head;
            head = copy;
        }
        InductorRecord* last = head;
        while (last->next != nullptr) last = last->next;
        for (const InductorRecord* coil = exampleCoils(); coil != nullptr; coil = coil->next) {
            InductorRecord* copy = newInductor();
            *copy = *coil;
            copy->next = nullptr;
            last->next = copy;
            last = copy;
        }
        return head;
    }();
    return coils;
}

// The 60 example coils, or the 120 of doubledCoils.
inline const InductorRecord* coilsOf(int count) { return count == 60 ? exampleCoils() : doubledCoils(); }

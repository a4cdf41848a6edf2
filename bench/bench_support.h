// The example data the benchmarks measure on.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "coils/readind.h"
#include "coils/records.h"

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

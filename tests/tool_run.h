// Runs a program other than quelmo (the Python interpreter, tmux) in a given
// directory and captures what it prints and its exit status.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

struct ToolResult {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
    bool timedOut = false;
};

// argv[0] is the program's path. Standard input is /dev/null.
ToolResult runTool(const std::vector<std::string>& argv, const std::filesystem::path& dir,
                   double timeoutSeconds = 120);

// Debian's interpreter, the one that has matplotlib; `python3` on the PATH
// may be another.
inline const std::string kPython = "/usr/bin/python3";

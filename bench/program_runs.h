// Whole runs of a program for the benchmarks that time them: a scratch
// directory, and a child started there with no input and no output.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

// Starts `command` (its first word a path) in `dir` with standard input,
// output and error on /dev/null; returns the child's pid, for waitpid.
inline pid_t startQuietly(const std::vector<std::string>& command, const std::filesystem::path& dir) {
    std::vector<std::string> copies = command;
    std::vector<char*> argv;
    for (std::string& arg : copies) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        if (chdir(dir.c_str()) != 0) _exit(127);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return child;
}

// A temporary directory, removed with everything in it when the object goes.
class Scratch {
public:
    Scratch() {
        std::string pattern = (std::filesystem::temp_directory_path() / "quelmo-bench-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) dir_ = pattern;
    }
    ~Scratch() {
        std::error_code ignored;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    const std::filesystem::path& dir() const { return dir_; }

private:
    std::filesystem::path dir_;
};

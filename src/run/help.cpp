// The usage text, the command line's -h, --help and --version, and what a
// run is told when its command line gave no ranges file.
#include "run/help.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "coils/records.h"

void printUsage() {
    std::printf("Usage: quelmo <testinductors> [<ranges>] [outf]\n");
    std::printf("  Coefficients: ");
    for (const char* name : kCoefficientNames) std::printf(" %s ", name);
    std::printf("\n");
}

bool asksForHelp(int argc, char** argv) {
    if (argc < 2) return false;
    const char* argument = argv[1];
    if (std::strcmp(argument, "-h") != 0 && std::strcmp(argument, "--help") != 0 &&
        std::strcmp(argument, "--version") != 0)
        return false;
    FILE* file = std::fopen(argument, "rb");
    if (file == nullptr) return true;
    std::fclose(file);
    return false;
}

namespace {

// Where `cmake --install` put the example files: beside this program when it
// runs from an installation (which `--prefix` may have put elsewhere than the
// build was configured for), else where the build says they go.
std::string installedExamples() {
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        const std::filesystem::path beside = program.parent_path() / QUELMO_EXAMPLES_FROM_BIN;
        if (std::filesystem::is_regular_file(beside / "ranges-example.txt", error))
            return beside.lexically_normal().string();
    }
    return QUELMO_EXAMPLES_DIR;
}

}  // namespace

void printHelp(const char* argument) {
    if (std::strcmp(argument, "--version") == 0) return;
    printUsage();
    const std::string found = installedExamples();
    const char* examples = found.c_str();
    std::printf(
        "Fits the coefficients to the measured coils of <testinductors>, searching the\n"
        "ranges that <ranges> gives; the best set and the coils, worst first, go to\n"
        "standard output and to the result file (outf, or the setting resultfile).\n"
        "Manual: man quelmo\n"
        "Example files: %s (examples/ in the source tree);\n"
        "to try them, in an empty directory:\n"
        "  quelmo %s/coils-example.txt %s/ranges-example.txt\n",
        examples, examples, examples);
}

std::string rangesNotReadReason(int argc, char** argv, const char* reason) {
    if (argc < 3)
        return std::string("No ranges file was given, so every range is 0; give one after the coil file, as in "
                           "quelmo ") +
               argv[1] + " ranges.txt";
    if (argc == 3)
        return std::string(argv[2]) + " could not be opened (" + reason +
               "), so it names the result file and no ranges were read";
    return std::string(argv[2]) + " could not be opened (" + reason + "), so no ranges were read and " + argv[3] +
           " was not used";
}

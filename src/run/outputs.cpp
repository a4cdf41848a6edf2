// The files a run reads and writes, checked before the search starts, so that
// no output is lost after hours of search and none replaces an input or
// another output.
#include "run/outputs.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "common/fatal.h"
#include "common/outfile.h"
#include "common/outtemps.h"
#include "reports/reports.h"
#include "settings/settingaccess.h"
#include "settings/symtab.h"
#include "transport/process.h"

namespace fs = std::filesystem;

namespace {

enum class Role {
    input,
    output,      // checked here before the search
    snapshot,    // checked with the snapshots
    checkpoint,  // a safety net: warned about and skipped, never refused
};

struct RunFile {
    const char* name;  // the setting that names the file, or what the input is
    const char* path;
    Role role;
};

// Every file of the run that may not share its name with another, in the
// order their refusals are told. A new output is one more row.
std::vector<RunFile> runFiles(const char* coilPath, const char* rangesPath) {
    std::vector<RunFile> files = {{"coil file", coilPath, Role::input}};
    if (rangesPath != nullptr) files.push_back({"ranges file", rangesPath, Role::input});
    const auto add = [&files](const char* setting, const char* path, Role role) {
        if (path != nullptr) files.push_back({setting, path, role});
    };
    add("resultfile", textSetting<kResultFile>(), Role::output);
    add("resultc", textSetting<kResultC>(), Role::output);
    // The script is written only with the C table.
    if (textSetting<kResultC>() != nullptr) add("resultja", textSetting<kResultJa>(), Role::output);
    add("coilcsv", textSetting<kCoilCsv>(), Role::output);
    add("logcsv", textSetting<kLogCsv>(), Role::output);
    add("resultjson", textSetting<kResultJson>(), Role::output);
    add("statefile", textSetting<kStateFile>(), Role::snapshot);
    add("checkpoint", checkpointPath(), Role::checkpoint);
    return files;
}

// Where a file is, for comparing: an input is read through its links, so it
// is where they lead; an output replaces a link itself, so it is the name in
// its directory. Device and inode where something stands there. An output
// written into a device, FIFO or descriptor replaces nothing and is not
// compared, nor is an input that is a character device.
struct Place {
    std::string path;
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    bool stream = false;
};

Place placeOf(const RunFile& file) {
    Place place;
    std::error_code ignored;
    struct stat info;
    if (file.role == Role::input) {
        place.path = fs::weakly_canonical(file.path, ignored).string();
        if (stat(file.path, &info) != 0) return place;
        place.stream = S_ISCHR(info.st_mode);
    } else {
        if (outWay(file.path) == OutWay::stream) {
            place.stream = true;
            return place;
        }
        const fs::path given(file.path);
        const fs::path directory = given.has_parent_path() ? given.parent_path() : fs::path(".");
        place.path = (fs::weakly_canonical(directory, ignored) / given.filename()).string();
        if (lstat(file.path, &info) != 0) return place;
    }
    place.exists = true;
    place.device = info.st_dev;
    place.inode = info.st_ino;
    return place;
}

bool samePlace(const Place& a, const Place& b) {
    if (a.stream || b.stream) return false;
    if (a.exists && b.exists && a.device == b.device && a.inode == b.inode) return true;
    return !a.path.empty() && a.path == b.path;
}

// Outputs that cannot be written are found before the search, not after
// hours of it. A checkpoint path where no file can stand is skipped: false
// then.
bool checkWritable(const std::vector<RunFile>& files) {
    bool checkpoints = true;
    for (const RunFile& file : files) {
        if (file.role == Role::output) {
            if (const char* problem = outFileProblem(file.path)) {
                reportCause(file.path, problem);
                fatal("Couldn't open %s for output\n", file.path);
            }
        } else if (file.role == Role::checkpoint && outWay(file.path) == OutWay::refused) {
            clearForMessage();
            std::fprintf(stderr, "Couldn't write checkpoint %s (%s); the run goes on without checkpoints\n",
                         file.path, outFileProblem(file.path));
            checkpoints = false;
        }
    }
    return checkpoints;
}

// What the run itself makes of a file at `place`: its exchange files and
// lock in the run directory, and the temporaries of outputs anywhere. Null
// when the run leaves the name alone.
const char* runOwnRole(const Place& place, const fs::path& runDirectory) {
    if (place.path.empty()) return nullptr;
    const fs::path path(place.path);
    const std::string name = path.filename().string();
    if (isOutTempName(name)) return "a temporary name of the run's outputs";
    if (path.parent_path() != runDirectory) return nullptr;
    return exchangeFileRole(name.c_str());
}

// No input or output may be a file that the run creates, replaces or
// removes on its own: a reply taken from a checkpoint, a lock replaced by a
// snapshot or an input removed as a leftover exchange file would spoil the
// fit or another run.
void refuseRunOwnNames(const std::vector<RunFile>& files, const std::vector<Place>& places) {
    std::error_code ignored;
    const fs::path runDirectory = fs::weakly_canonical(fs::current_path(ignored), ignored);
    for (size_t i = 0; i < files.size(); ++i) {
        const char* role = runOwnRole(places[i], runDirectory);
        if (role == nullptr) continue;
        if (files[i].role == Role::input)
            fatal("The %s %s has the name of %s, which the run removes or replaces; rename the file\n",
                  files[i].name, files[i].path, role);
        fatal("Setting %s names %s, %s; give the output another name\n", files[i].name, files[i].path, role);
    }
}

// Temporaries left beside the outputs and in the run directory by a run that
// died before its rename.
void removeStaleTemporaries(const std::vector<RunFile>& files, const std::vector<Place>& places) {
    std::vector<fs::path> directories = {"."};
    for (size_t i = 0; i < files.size(); ++i)
        if (files[i].role != Role::input && !places[i].path.empty())
            directories.push_back(fs::path(places[i].path).parent_path());
    std::sort(directories.begin(), directories.end());
    directories.erase(std::unique(directories.begin(), directories.end()), directories.end());
    for (const fs::path& directory : directories) removeStaleOutTemps(directory.string());
}

}  // namespace

bool checkRunFiles(const char* coilPath, const char* rangesPath) {
    std::vector<RunFile> files = runFiles(coilPath, rangesPath);
    const bool checkpoints = checkWritable(files);
    std::erase_if(files, [&](const RunFile& file) { return file.role == Role::checkpoint && !checkpoints; });
    std::vector<Place> places;
    for (const RunFile& file : files) places.push_back(placeOf(file));
    refuseRunOwnNames(files, places);
    removeStaleTemporaries(files, places);
    for (size_t i = 0; i < files.size(); ++i) {
        for (size_t j = i + 1; j < files.size(); ++j) {
            if (files[j].role == Role::input || !samePlace(places[i], places[j])) continue;
            if (files[i].role == Role::input)
                fatal("Setting %s names the %s %s; an output must not replace an input\n", files[j].name,
                      files[i].name, files[j].path);
            fatal("Settings %s and %s both name %s; each output needs a file of its own\n", files[i].name,
                  files[j].name, files[j].path);
        }
    }
    return checkpoints;
}

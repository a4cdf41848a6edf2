// Output files: what stands at the name (a file, a link, a device, a FIFO, a
// descriptor, a directory, a socket) decides how they are written.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <tuple>

#include "cli_util.h"
#include "common/outfile.h"
#include "common/outtemps.h"
#include "testhooks.h"

namespace {

bool writeOut(const std::string& path, const char* text) {
    OutFile file;
    if (!openOutFile(file, path.c_str())) return false;
    std::fputs(text, file.stream);
    return commitOutFile(file, true);
}

}  // namespace

TEST(OutFile, LinksAreReplacedDevicesFifosAndDescriptorsWrittenInto) {
    CliRun scratch;
    const auto at = [&scratch](const char* name) { return (scratch.dir() / name).string(); };
    scratch.write("target.txt", "old");
    scratch.write("file", "old");
    symlink(at("target.txt").c_str(), at("link").c_str());
    symlink(at("gone.txt").c_str(), at("dangling").c_str());
    symlink("/dev/null", at("devlink").c_str());  // one's own link to a device is followed
    using Type = std::filesystem::file_type;
    const std::tuple<const char*, OutWay, Type> cases[] = {
        {"new", OutWay::replace, Type::regular},  {"file", OutWay::replace, Type::regular},
        {"link", OutWay::replace, Type::regular}, {"dangling", OutWay::replace, Type::regular},
        {"devlink", OutWay::stream, Type::symlink},
    };
    for (const auto& [name, way, typeAfter] : cases) {
        EXPECT_EQ(outWay(at(name).c_str()), way) << name;
        ASSERT_TRUE(writeOut(at(name), "new")) << name;
        EXPECT_EQ(std::filesystem::symlink_status(at(name)).type(), typeAfter) << name;
    }
    EXPECT_EQ(readFile(at("link")), "new");
    EXPECT_EQ(readFile(at("target.txt")), "old");
    EXPECT_FALSE(scratch.exists("gone.txt"));
    EXPECT_TRUE(std::filesystem::is_character_file("/dev/null"));
    if (geteuid() == 0) {  // another user's link is not followed, even to a device
        ASSERT_EQ(lchown(at("devlink").c_str(), 65534, 65534), 0);
        EXPECT_EQ(outWay(at("devlink").c_str()), OutWay::replace);
    }

    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_TRUE(writeOut("/dev/fd/" + std::to_string(ends[1]), "piped"));
    close(ends[1]);
    EXPECT_EQ(readFile("/dev/fd/" + std::to_string(ends[0])), "piped");
    close(ends[0]);
    // A FIFO without a reader fails at once; with one it is written into.
    ASSERT_EQ(mkfifo(at("fifo").c_str(), 0600), 0);
    EXPECT_EQ(outFileProblem(at("fifo").c_str()), nullptr);  // not opened: a reader would see its end
    EXPECT_FALSE(writeOut(at("fifo"), "x"));
    EXPECT_EQ(errno, ENXIO);
    const int reader = open(at("fifo").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_TRUE(writeOut(at("fifo"), "fifo"));
    char got[8] = {};
    EXPECT_EQ(read(reader, got, sizeof got), 4);
    close(reader);
    EXPECT_TRUE(std::filesystem::is_fifo(at("fifo")));
}

TEST(OutFile, RefusalsAndFailuresLeaveWhatStood) {
    CliRun scratch;
    const std::string target = (scratch.dir() / "result.txt").string();
    scratch.write("result.txt", "old");
    OutFile file;
    ASSERT_TRUE(openOutFile(file, target.c_str()));
    std::fputs("half", file.stream);
    abandonOutFile(file);
    EXPECT_EQ(readFile(target), "old");

    std::filesystem::create_directory(scratch.dir() / "blocked");
    const std::string socketPath = (scratch.dir() / "socket").string();
    const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const std::pair<std::string, const char*> problems[] = {
        {(scratch.dir() / "new.txt").string(), nullptr},
        {"/dev/null", nullptr},
        {(scratch.dir() / "blocked").string(), "Is a directory"},
        {socketPath, "Is a socket"},
        {(scratch.dir() / "missing" / "new.txt").string(), "No such file or directory"},
    };
    for (const auto& [path, problem] : problems) {
        EXPECT_STREQ(outFileProblem(path.c_str()), problem) << path;
        EXPECT_EQ(openOutFile(file, path.c_str()), problem == nullptr) << path;
        abandonOutFile(file);
    }
    close(sock);
    EXPECT_TRUE(std::filesystem::is_socket(socketPath));
    EXPECT_EQ(scratch.files(), (std::vector<std::string>{"blocked", "result.txt", "socket"}));
}

// Another run that starts while a file is being committed clears the
// folder's stale temporaries: between the close of the temporary and its
// rename it must still be seen as live. The hook runs that clearing in the
// gap; a dead run's temporary beside it goes.
TEST(OutFile, ALiveTemporaryIsNeverTakenForStale) {
    CliRun scratch;
    static int removedInGap;
    static bool liveInGap;
    setOutFileRenameHook([](const std::string& tempPath) {
        removedInGap += removeStaleOutTemps(tempPath.substr(0, tempPath.rfind('/')));
        liveInGap = access(tempPath.c_str(), F_OK) == 0;
    });
    for (const bool durable : {false, true}) {
        SCOPED_TRACE(durable ? "durable" : "plain");
        removedInGap = 0;
        liveInGap = false;
        scratch.write(".quelmo-Dead01", "left by a killed run");
        const std::string target = (scratch.dir() / "result.txt").string();
        OutFile file;
        ASSERT_TRUE(openOutFile(file, target.c_str()));
        std::fputs("new", file.stream);
        EXPECT_TRUE(commitOutFile(file, durable)) << std::strerror(errno);
        EXPECT_EQ(removedInGap, 1);
        EXPECT_TRUE(liveInGap);
        EXPECT_EQ(readFile(target), "new");
        EXPECT_EQ(scratch.files(), (std::vector<std::string>{"result.txt"}));
    }
    setOutFileRenameHook(nullptr);
}

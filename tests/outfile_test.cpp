// Output files: what stands at the name (a file, a link, a device, a FIFO, a
// descriptor, a directory), replaced whole or written into, and failures.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>

#include "cli_util.h"
#include "common/outfile.h"

namespace {

// Writes `text` to `path` through an OutFile; false with errno on failure.
bool writeOut(const std::string& path, const char* text) {
    OutFile file;
    if (!openOutFile(file, path.c_str())) return false;
    std::fputs(text, file.stream);
    return commitOutFile(file, true);
}

mode_t typeAt(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0 ? info.st_mode & S_IFMT : 0;
}

}  // namespace

TEST(OutFile, WhatStandsAtTheNameDecidesHowItIsWritten) {
    CliRun scratch;
    const auto at = [&scratch](const char* name) { return (scratch.dir() / name).string(); };
    scratch.write("target.txt", "old");
    struct Case {
        const char* name;
        std::function<void(const std::string&)> make;
        OutWay way;
        mode_t typeAfter;  // what stands at the name after the write
    };
    const Case cases[] = {
        {"nothing", [](const std::string&) {}, OutWay::replace, S_IFREG},
        {"file", [&](const std::string&) { scratch.write("file", "old"); }, OutWay::replace, S_IFREG},
        // A link is replaced, never written through, whether it leads
        // somewhere or nowhere.
        {"link", [&](const std::string& p) { symlink(at("target.txt").c_str(), p.c_str()); }, OutWay::replace, S_IFREG},
        {"dangling", [&](const std::string& p) { symlink(at("gone.txt").c_str(), p.c_str()); }, OutWay::replace,
         S_IFREG},
        // A link of one's own to a device is followed; the device stays.
        {"devlink", [](const std::string& p) { symlink("/dev/null", p.c_str()); }, OutWay::stream, S_IFLNK},
    };
    for (const Case& c : cases) {
        const std::string path = at(c.name);
        c.make(path);
        EXPECT_EQ(outWay(path.c_str()), c.way) << c.name;
        ASSERT_TRUE(writeOut(path, "new")) << c.name << ": " << std::strerror(errno);
        EXPECT_EQ(typeAt(path), c.typeAfter) << c.name;
        if (c.typeAfter == S_IFREG) {
            EXPECT_EQ(readFile(path), "new") << c.name;
        }
    }
    EXPECT_EQ(readFile(at("target.txt")), "old");
    EXPECT_FALSE(scratch.exists("gone.txt"));
    EXPECT_EQ(typeAt("/dev/null"), S_IFCHR);

    // A link that another user planted is not followed, even to a device.
    if (geteuid() == 0) {
        const std::string planted = at("planted");
        ASSERT_EQ(symlink("/dev/null", planted.c_str()), 0);
        ASSERT_EQ(lchown(planted.c_str(), 65534, 65534), 0);
        EXPECT_EQ(outWay(planted.c_str()), OutWay::replace);
    }

    // A descriptor of this process, as /dev/stdout names one, is written
    // into; so is a FIFO with a reader. One without a reader fails at once.
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    ASSERT_TRUE(writeOut("/dev/fd/" + std::to_string(pipeEnds[1]), "piped"));
    close(pipeEnds[1]);
    char piped[16] = {};
    EXPECT_EQ(read(pipeEnds[0], piped, sizeof piped), 5);
    EXPECT_STREQ(piped, "piped");
    close(pipeEnds[0]);
    const std::string fifo = at("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(outFileProblem(fifo.c_str()), nullptr);  // not opened, so no reader sees an end
    EXPECT_FALSE(writeOut(fifo, "x"));
    EXPECT_EQ(errno, ENXIO);
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_TRUE(writeOut(fifo, "fifo"));
    char fromFifo[16] = {};
    EXPECT_EQ(read(reader, fromFifo, sizeof fromFifo), 4);
    close(reader);
    EXPECT_EQ(typeAt(fifo), S_IFIFO);
}

TEST(OutFile, RefusalsAndFailuresLeaveWhatStood) {
    CliRun scratch;
    const std::string target = (scratch.dir() / "result.txt").string();
    scratch.write("result.txt", "new");
    // An abandoned file leaves the old one and no temporary file.
    OutFile file;
    ASSERT_TRUE(openOutFile(file, target.c_str()));
    std::fputs("half", file.stream);
    abandonOutFile(file);
    EXPECT_EQ(readFile(target), "new");

    // Refused before the work: a directory, a socket, a missing directory.
    std::filesystem::create_directory(scratch.dir() / "blocked");
    const std::string blocked = (scratch.dir() / "blocked").string();
    const std::string socketPath = (scratch.dir() / "socket").string();
    const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const std::pair<std::string, const char*> problems[] = {
        {(scratch.dir() / "new.txt").string(), nullptr},
        {"/dev/null", nullptr},
        {blocked, "Is a directory"},
        {socketPath, "Is a socket"},
        {(scratch.dir() / "missing" / "new.txt").string(), "No such file or directory"},
    };
    for (const auto& [path, problem] : problems) {
        const char* found = outFileProblem(path.c_str());
        EXPECT_STREQ(found, problem) << path;
        if (problem != nullptr) {
            EXPECT_FALSE(openOutFile(file, path.c_str())) << path;
        }
    }
    close(sock);
    EXPECT_EQ(typeAt(socketPath), S_IFSOCK);
    EXPECT_EQ(scratch.files(), (std::vector<std::string>{"blocked", "result.txt", "socket"}));
}

// Output files replaced whole: through a link, over an old file, and when
// the write fails.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "cli_util.h"
#include "common/outfile.h"

TEST(OutFile, ReplacesWholeFollowsLinksAndKeepsOldFilesOnFailure) {
    CliRun scratch;
    const std::string target = (scratch.dir() / "result.txt").string();
    const std::string link = (scratch.dir() / "link.txt").string();
    scratch.write("result.txt", "old");
    ASSERT_EQ(symlink("result.txt", link.c_str()), 0);

    // Written through the link the user named: the link stays a link.
    OutFile file;
    ASSERT_TRUE(openOutFile(file, link.c_str()));
    std::fputs("new", file.stream);
    EXPECT_EQ(readFile(target), "old");  // nothing shows before the commit
    ASSERT_TRUE(commitOutFile(file, true));
    EXPECT_EQ(readFile(target), "new");
    struct stat info;
    ASSERT_EQ(lstat(link.c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));

    // An abandoned file leaves the old one and no temporary file.
    ASSERT_TRUE(openOutFile(file, target.c_str()));
    std::fputs("half", file.stream);
    abandonOutFile(file);
    EXPECT_EQ(readFile(target), "new");
    EXPECT_EQ(scratch.files(), (std::vector<std::string>{"link.txt", "result.txt"}));

    // A rename that cannot happen (a directory stands at the name) fails
    // with its reason, and the temporary file goes.
    std::filesystem::create_directory(scratch.dir() / "blocked");
    const std::string blocked = (scratch.dir() / "blocked").string();
    ASSERT_TRUE(openOutFile(file, blocked.c_str(), OutTarget::replace));
    EXPECT_FALSE(commitOutFile(file));
    EXPECT_EQ(errno, EISDIR);
    EXPECT_EQ(scratch.files(), (std::vector<std::string>{"blocked", "link.txt", "result.txt"}));
}

TEST(OutFile, CanCreateTellsBeforeTheWork) {
    CliRun scratch;
    EXPECT_TRUE(canCreateOutFile((scratch.dir() / "new.txt").c_str()));
    EXPECT_TRUE(canCreateOutFile("/dev/null"));
    EXPECT_FALSE(canCreateOutFile(scratch.dir().c_str()));
    EXPECT_EQ(errno, EISDIR);
    errno = 0;
    EXPECT_FALSE(canCreateOutFile((scratch.dir() / "missing" / "new.txt").c_str()));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_TRUE(scratch.files().empty());
}

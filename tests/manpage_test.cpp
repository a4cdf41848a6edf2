// scripts/check-manpage.py: the manual page has no words run together, and
// the check finds them where a font-alternating macro runs them together.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "cli_util.h"
#include "tool_run.h"

namespace fs = std::filesystem;

TEST(ManPage, NoWordsRunTogether) {
    if (!fs::exists("/usr/bin/man")) GTEST_SKIP() << "man is not installed (scripts/install-deps.sh test installs it)";
    const std::string check = sourcePath("scripts/check-manpage.py");
    const ToolResult page = runTool({kPython, check, sourcePath("docs/quelmo.1")}, fs::temp_directory_path());
    EXPECT_EQ(page.status, 0) << page.out << page.err;

    CliRun scratch;
    const std::string head = ".TH T 1\n.SH NAME\nt \\- t\n.SH DESCRIPTION\n";
    const std::pair<std::string, std::string> cases[] = {
        {".BR \"\\-\\-bind\\-to none\" . On several machines\n",
         "t.1:5: .BR runs '.' and 'On' together\n"
         "t.1:5: .BR runs 'On' and 'several' together\n"
         "t.1:5: .BR runs 'several' and 'machines' together\n"},
        {".IR files, and more\n", "t.1:5: .IR runs 'files,' and 'and' together\n"},
        {".BR save +1\n.BI quelmoi. N \", quelmor.\" N\n.RB ( r0 ... l3 )\n.IR a \\&b\n", ""},
    };
    for (const auto& [body, faults] : cases) {
        scratch.write("t.1", head + body);
        const ToolResult result = runTool({kPython, check, "t.1"}, scratch.dir());
        EXPECT_EQ(result.status, faults.empty() ? 0 : 1) << body;
        EXPECT_EQ(result.out.substr(0, faults.size()), faults) << result.out;
    }
}

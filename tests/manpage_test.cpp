// scripts/check-manpage.py, which CI runs on the manual page: it finds words
// that a font-alternating macro runs together.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "cli_util.h"
#include "tool_run.h"

namespace fs = std::filesystem;

// Joins that are meant pass (\& marks one); each run is named.
TEST(ManPage, CheckFindsWordsRunTogether) {
    if (!fs::exists("/usr/bin/man")) GTEST_SKIP() << "man is not installed (scripts/install-deps.sh test installs it)";
    const std::pair<std::string, std::string> cases[] = {
        {".BR \"\\-\\-bind\\-to none\" . On several\n",
         "t.1:5: .BR runs '.' and 'On' together\nt.1:5: .BR runs 'On' and 'several' together\n"},
        {".IR files, and\n", "t.1:5: .IR runs 'files,' and 'and' together\n"},
        {".BR save +1\n.BI quelmoi. N \", quelmor.\" N\n.RB ( r0 ... l3 )\n.IR a \\&b\n", ""},
    };
    CliRun scratch;
    for (const auto& [body, faults] : cases) {
        scratch.write("t.1", ".TH T 1\n.SH NAME\nt \\- t\n.SH DESCRIPTION\n" + body);
        const ToolResult result = runTool({kPython, sourcePath("scripts/check-manpage.py"), "t.1"}, scratch.dir());
        EXPECT_EQ(result.status, faults.empty() ? 0 : 1) << body;
        EXPECT_EQ(result.out.substr(0, faults.size()), faults) << result.out;
    }
}

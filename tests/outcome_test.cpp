// The exit status of a run by how its search ended: one table, here and in
// docs/output.md, checked against each other.
#include <gtest/gtest.h>
#include <signal.h>

#include <sstream>
#include <string>
#include <vector>

#include "cli_util.h"
#include "engine/outcome.h"

namespace {

struct Row {
    const char* name;
    RunOutcome outcome;
    bool report;
    int status;      // nothing else went wrong
    int fileFailed;  // a file could not be written
    int lateSignal;  // SIGTERM came during the final report; -1: no report to come during
};

const Row kRows[] = {
    {"completed", {SearchEnd::completed}, true, 0, 255, 128 + SIGTERM},
    {"Escape", {SearchEnd::escape}, true, 255, 255, 255},
    {"SIGTERM", {SearchEnd::signal, SIGTERM}, true, 128 + SIGTERM, 255, 128 + SIGTERM},
    {"SIGINT", {SearchEnd::signal, SIGINT}, true, 128 + SIGINT, 255, 128 + SIGINT},
    {"byte 3", {SearchEnd::byte3}, false, 0, 0, -1},
    {"no distinct sets", {SearchEnd::noDistinctSets}, false, 255, 255, -1},
};

// The table's cells as docs/output.md writes them, by the rows of its
// exit status table ("| the search ended by | final report | status | ...").
std::vector<std::vector<std::string>> documentedRows() {
    std::istringstream text(readFile(sourcePath("docs/output.md")));
    std::vector<std::vector<std::string>> rows;
    bool inTable = false;
    for (std::string line; std::getline(text, line);) {
        if (line.rfind("| the search ended by |", 0) == 0) {
            inTable = true;
            continue;
        }
        if (!inTable || line.rfind("|---", 0) == 0) continue;
        if (line.empty() || line[0] != '|') break;
        std::vector<std::string> cells;
        std::istringstream row(line.substr(1));
        for (std::string cell; std::getline(row, cell, '|');) cells.push_back(cell.substr(1, cell.size() - 2));
        rows.push_back(cells);
    }
    return rows;
}

// A status as the documentation's table gives it.
std::string documented(int status) {
    if (status == -1) return "—";
    if (status == 128 + SIGINT || status == 128 + SIGTERM) return "130 or 143";
    return std::to_string(status);
}

}  // namespace

TEST(ExitStatus, EveryEndByTheTable) {
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(makesFinalReport(row.outcome), row.report);
        EXPECT_EQ(exitStatus(row.outcome, {}), row.status);
        EXPECT_EQ(exitStatus(row.outcome, {true, 0}), row.fileFailed);
        EXPECT_EQ(exitStatus(row.outcome, {true, SIGTERM}), row.fileFailed);
        if (row.lateSignal >= 0) {
            EXPECT_EQ(exitStatus(row.outcome, {false, SIGTERM}), row.lateSignal);
        }
    }
}

// The documentation's rows in the order of SearchEnd, SIGINT and SIGTERM in
// one row.
TEST(ExitStatus, DocumentedAsComputed) {
    const std::vector<std::vector<std::string>> rows = documentedRows();
    const Row* byEnd[] = {&kRows[0], &kRows[1], &kRows[2], &kRows[4], &kRows[5]};
    ASSERT_EQ(rows.size(), std::size(byEnd));
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row& row = *byEnd[i];
        SCOPED_TRACE(row.name);
        ASSERT_EQ(rows[i].size(), 5u);
        EXPECT_EQ(rows[i][1].rfind(row.report ? "yes" : "no", 0), 0u) << rows[i][1];
        EXPECT_EQ(rows[i][2], documented(row.status));
        EXPECT_EQ(rows[i][3], documented(row.fileFailed));
        EXPECT_EQ(rows[i][4], documented(row.lateSignal));
    }
}

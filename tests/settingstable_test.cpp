// The settings table: the accepted values in words and their refusal, and
// the manual page, the settings page and the Python package's keywords held
// to its rows.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cli_util.h"
#include "settings/settingstable.h"
#include "settings/symtab.h"
#include "testhooks.h"

namespace {

TEST(SettingsTable, AcceptedValuesInWordsAndAtTheirEdges) {
    struct Case {
        int position;
        const char* text;
        std::vector<int64_t> accepted;
        std::vector<int64_t> refused;
    };
    const Case cases[] = {
        {kSave, "4 to 1000000", {4, 1000000}, {3, 1000001, -4}},
        {kTries, "1000000 or less", {kNoLow, 0, 1000000}, {1000001}},
        {kRaiseLower, "1 or more", {1, kNoHigh}, {0, -1}},
        {kStateEvery, "1 or more", {1}, {0}},
        {kOrdered, "0 to 1", {0, 1}, {-1, 2}},
        {kPrune, "0 to 1", {0, 1}, {-1, 2}},
        {kCrossValidate, "0 or 2 or more", {0, 2, kNoHigh}, {1, -1, -3}},
        {kProcesses, "1 to 48", {1, 48}, {0, 49}},
        {kQuitAt, "any value", {-1, kNoLow, kNoHigh}, {}},
    };
    for (const Case& c : cases) {
        const SettingRow& row = kSettingRows[c.position];
        EXPECT_EQ(acceptedText(row.accepted), c.text) << row.name;
        for (int64_t value : c.accepted) EXPECT_TRUE(acceptsValue(row, value)) << row.name << " " << value;
        for (int64_t value : c.refused) EXPECT_FALSE(acceptsValue(row, value)) << row.name << " " << value;
    }
}

TEST(SettingsTable, RowsHaveDistinctNamesAndOneLineOfHelp) {
    std::set<std::string> names;
    for (const SettingRow& row : kSettingRows) {
        EXPECT_TRUE(names.insert(row.name).second) << row.name;
        EXPECT_TRUE(std::regex_match(row.name, std::regex("[a-z][a-z0-9]*"))) << row.name;
        const std::string help = row.help;
        EXPECT_FALSE(help.empty()) << row.name;
        EXPECT_EQ(help.find('\n'), std::string::npos) << row.name;
        // Only integer settings have accepted values to refuse.
        if (row.type != symInt) {
            EXPECT_EQ(acceptedText(row.accepted), acceptedText(kAnyValue)) << row.name;
        }
    }
}

// Sets the values, then refuses what the table does not accept.
void refuseWith(const std::vector<std::pair<int, int32_t>>& values) {
    resetTables();
    for (const auto& [position, value] : values) S[position].value.i = value;
    refuseUnacceptedSettings();
}

TEST(SettingsTable, SeveralUnusableSettingsReportTheFirstInTheFixedOrder) {
    // The order is the one runs have always reported in, not table order:
    // stateevery and crossvalidate come after prune, which sits after them.
    struct Case {
        std::vector<std::pair<int, int32_t>> values;
        const char* message;
    };
    const Case cases[] = {
        {{{kCrossValidate, 1}, {kPrune, 2}}, "^Setting prune is 2, accepted range is 0 to 1\n$"},
        {{{kStateEvery, 0}, {kStatistics, 5}}, "^Setting statistics is 5, accepted range is 0 to 1\n$"},
        {{{kTries, 2000000}, {kSave, 1}}, "^Setting save is 1, accepted range is 4 to 1000000\n$"},
    };
    for (const Case& c : cases)
        EXPECT_EXIT(refuseWith(c.values), testing::ExitedWithCode(255), c.message) << c.message;
    // The defaults pass, and processes is the transport's to refuse
    // (quelmo-mpi takes its ranks instead).
    refuseWith({});
    refuseWith({{kProcesses, 0}});
    resetTables();
}

// What a page says of a setting: its type and its default ("unset" for a
// string, or its word for the default), without the page's backticks.
struct Documented {
    std::string type;
    std::string initial;
};

const char* typeName(uint8_t type) {
    switch (type) {
    case symInt: return "int";
    case symDouble: return "double";
    case symLong: return "long";
    default: return "string";
    }
}

std::string defaultText(const SettingRow& row) {
    char text[64];
    switch (row.type) {
    case symInt: std::snprintf(text, sizeof text, "%d", row.initial.i); break;
    case symLong: std::snprintf(text, sizeof text, "%ld", static_cast<long>(row.initial.l)); break;
    case symDouble: std::snprintf(text, sizeof text, "%g", row.initial.d); break;
    default: return row.defaultWord != nullptr ? row.defaultWord : "unset";
    }
    std::string value = text;
    const size_t plus = value.find("e+");
    if (plus != std::string::npos) value.erase(plus + 1, 1);  // the pages write 1e208
    return value;
}

// Expands "bestr0 ... bestl3" into the fifteen names.
std::vector<std::string> namesFrom(const std::string& first, const std::string& last) {
    if (last.empty()) return {first};
    EXPECT_EQ(first, "bestr0");
    EXPECT_EQ(last, "bestl3");
    std::vector<std::string> names;
    for (const char* coefficient : kCoefficientNames) names.push_back(std::string("best") + coefficient);
    return names;
}

void expectTheRows(const std::map<std::string, Documented>& documented, const std::string& page) {
    for (const SettingRow& row : kSettingRows) {
        const auto found = documented.find(row.name);
        if (found == documented.end()) {
            ADD_FAILURE() << page << " does not document " << row.name;
            continue;
        }
        EXPECT_EQ(found->second.type, typeName(row.type)) << page << ": " << row.name;
        EXPECT_EQ(found->second.initial, defaultText(row)) << page << ": " << row.name;
    }
    for (const auto& [name, _] : documented) {
        bool known = false;
        for (const SettingRow& row : kSettingRows) known = known || name == row.name;
        EXPECT_TRUE(known) << page << " documents " << name << ", which the settings table does not hold";
    }
}

TEST(SettingsTable, TheSettingsPageDocumentsEveryRowWithItsTypeAndDefault) {
    std::map<std::string, Documented> documented;
    std::istringstream page(readFile(sourcePath("docs/settings.md")));
    // | `name` | type | default | meaning |, or | `bestr0` … `bestl3` | ...
    const std::regex line(R"(^\| `([a-z0-9]+)`(?: … `([a-z0-9]+)`)? \| ([a-z]+) \| ([^|]+?) \|.*)");
    for (std::string text; std::getline(page, text);) {
        std::smatch m;
        if (!std::regex_match(text, m, line)) continue;
        for (const std::string& name : namesFrom(m[1], m[2])) {
            EXPECT_EQ(documented.count(name), 0u) << "docs/settings.md documents " << name << " twice";
            std::string initial = m[4];
            std::erase(initial, '`');
            documented[name] = {m[3], initial};
        }
    }
    expectTheRows(documented, "docs/settings.md");
}

TEST(SettingsTable, TheManualPageDocumentsEveryRowWithItsTypeAndDefault) {
    std::map<std::string, Documented> documented;
    std::istringstream page(readFile(sourcePath("docs/quelmo.1")));
    // .BI name " int, 64", .BI name " string", .BI bestr0 " ... " bestl3 " double, 1e208"
    const std::regex line(R"(^\.BI ([a-z0-9]+)(?: " \.\.\. " ([a-z0-9]+))? " ([a-z]+)(?:, ([^"]+))?"$)");
    for (std::string text; std::getline(page, text);) {
        std::smatch m;
        if (!std::regex_match(text, m, line)) continue;
        for (const std::string& name : namesFrom(m[1], m[2]))
            documented[name] = {m[3], m[4].matched ? m[4].str() : "unset"};
    }
    expectTheRows(documented, "docs/quelmo.1");
}

TEST(SettingsTable, ThePythonPackageKnowsEverySettingAndNoOther) {
    const std::string module = readFile(sourcePath("python/quelmo/_settings.py"));
    const size_t start = module.find("SETTING_NAMES");
    ASSERT_NE(start, std::string::npos);
    const size_t open = module.find('(', start);
    const size_t close = module.find(')', open);
    ASSERT_NE(close, std::string::npos);
    const std::string tuple = module.substr(open, close - open);
    std::set<std::string> python;
    const std::regex quoted(R"(["']([a-z0-9]+)["'])");
    for (auto it = std::sregex_iterator(tuple.begin(), tuple.end(), quoted); it != std::sregex_iterator(); ++it)
        EXPECT_TRUE(python.insert((*it)[1]).second) << (*it)[1] << " twice in SETTING_NAMES";
    std::set<std::string> table;
    for (const SettingRow& row : kSettingRows)
        table.insert(row.name);
    for (const std::string& name : table) EXPECT_EQ(python.count(name), 1u) << "SETTING_NAMES lacks " << name;
    for (const std::string& name : python) EXPECT_EQ(table.count(name), 1u) << "SETTING_NAMES has " << name;
}

}  // namespace

// The C table and script exports of the ranked coil list.
#include <gtest/gtest.h>

#include <string>

#include "cli_util.h"
#include "reports/exports.h"

namespace {

InductorRecord exported(double measured, double computed, double radius, double length,
                        double wire, int turns) {
    InductorRecord coil{};
    coil.measuredInductance = measured;
    coil.computedInductance = computed;
    coil.radius = radius;
    coil.length = length;
    coil.wire = wire;
    coil.turns = turns;
    coil.gauge = 22;
    return coil;
}

// Three coils linked in the given order, as the final report ranks them.
struct ThreeCoils {
    InductorRecord coils[3] = {exported(1.2345678e-05, 1.2e-05, 0.0127, 0.0254, 0.0005, 40),
                               exported(2e-06, 2.1e-06, 0.01, 0.02, 0.0004, 12),
                               exported(5e-07, 4.9e-07, 0.005, 0.01, 0.0003, 3)};
    ThreeCoils() {
        coils[0].next = &coils[1];
        coils[1].next = &coils[2];
    }
    const InductorRecord* list() const { return &coils[0]; }
};

std::string header(const std::string& path) {
    return "/* Title: " + path +
           "\n   Author: quelmo V20.03.008\n"
           "   Description: Inductor table of results from a set of equations.\n*/\n\n";
}

const std::string kIncludes =
    "#include <stdio.h>\n#include <stdlib.h>\n#include <stdint.h>\n#include \"tamblix.h\"\n\n";

}  // namespace

TEST(Exports, CTableOfThreeCoilsWorstFirst) {
    CliRun scratch;
    const std::string path = (scratch.dir() / "table.c").string();
    ThreeCoils three;
    testing::internal::CaptureStdout();
    CforTamblix(path.c_str(), "nearCoils", three.list());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Writing inductor results to " + path + "\n");
    EXPECT_EQ(readFile(path), header(path) + kIncludes +
                                  "NearTable nearCoils[] = {\n"
                                  "  {.measuredInductance = 1.23457e-05,\n"
                                  "   .computedInductance = 1.2e-05,\n"
                                  "   .radius = 0.0127,\n"
                                  "   .length = 0.0254,\n"
                                  "   .wire = 0.0005,\n"
                                  "   .turns = 40},\n"
                                  "  {.measuredInductance = 2e-06,\n"
                                  "   .computedInductance = 2.1e-06,\n"
                                  "   .radius = 0.01,\n"
                                  "   .length = 0.02,\n"
                                  "   .wire = 0.0004,\n"
                                  "   .turns = 12},\n"
                                  "  {.measuredInductance = 5e-07,\n"
                                  "   .computedInductance = 4.9e-07,\n"
                                  "   .radius = 0.005,\n"
                                  "   .length = 0.01,\n"
                                  "   .wire = 0.0003,\n"
                                  "   .turns = 3}};\n"
                                  "\n\n\n// EOF\n");
}

TEST(Exports, ScriptOfThreeCoilsNumbersItsBlocksFromZero) {
    CliRun scratch;
    const std::string path = (scratch.dir() / "coils.ja").string();
    ThreeCoils three;
    testing::internal::CaptureStdout();
    jaForSorvane(path.c_str(), "ind", three.list());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Writing inductor results to " + path + "\n");
    EXPECT_EQ(readFile(path), header(path) +
                                  "ind = genericVector(3);\n"
                                  "\n//////////////////// 0 ////////////////////\n"
                                  "ind[0] = newInductor();\n"
                                  "ind[0].measuredInductance = 1.23457e-05;\n"
                                  "ind[0].computedInductance = 1.2e-05;\n"
                                  "ind[0].radius = 0.0127;\n"
                                  "ind[0].length = 0.0254;\n"
                                  "ind[0].wire = 0.0005;\n"
                                  "ind[0].turns = 40;\n"
                                  "\n//////////////////// 1 ////////////////////\n"
                                  "ind[1] = newInductor();\n"
                                  "ind[1].measuredInductance = 2e-06;\n"
                                  "ind[1].computedInductance = 2.1e-06;\n"
                                  "ind[1].radius = 0.01;\n"
                                  "ind[1].length = 0.02;\n"
                                  "ind[1].wire = 0.0004;\n"
                                  "ind[1].turns = 12;\n"
                                  "\n//////////////////// 2 ////////////////////\n"
                                  "ind[2] = newInductor();\n"
                                  "ind[2].measuredInductance = 5e-07;\n"
                                  "ind[2].computedInductance = 4.9e-07;\n"
                                  "ind[2].radius = 0.005;\n"
                                  "ind[2].length = 0.01;\n"
                                  "ind[2].wire = 0.0003;\n"
                                  "ind[2].turns = 3;\n"
                                  "end;\n");
}

TEST(Exports, EmptyListAndUnsetNames) {
    CliRun scratch;
    const std::string table = (scratch.dir() / "empty.c").string();
    const std::string script = (scratch.dir() / "empty.ja").string();
    testing::internal::CaptureStdout();
    CforTamblix(table.c_str(), nullptr, nullptr);
    jaForSorvane(script.c_str(), nullptr, nullptr);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(readFile(table), header(table) + kIncludes + "NearTable ???[] = {\n};\n\n\n\n// EOF\n");
    EXPECT_EQ(readFile(script), header(script) + "??? = genericVector(0);\nend;\n");
}

TEST(Exports, ExportThatCannotBeOpenedIsReportedAndSkipped) {
    CliRun scratch;
    // A missing parent directory fails even for a privileged user.
    const std::string missing = (scratch.dir() / "no-such-dir" / "table.c").string();
    const std::string script = (scratch.dir() / "coils.ja").string();
    ThreeCoils three;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    // The run goes on to the script, and its exit status tells of the failure.
    EXPECT_FALSE(CforTamblix(missing.c_str(), "t", three.list()));
    EXPECT_TRUE(jaForSorvane(script.c_str(), "v", three.list()));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              missing + " fails because No such file or directory\nCouldn't open " + missing + " for output\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Writing inductor results to " + script + "\n");
    EXPECT_EQ(readFile(script).find(header(script) + "v = genericVector(3);\n"), 0u);
}

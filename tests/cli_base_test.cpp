// The classical formulas beside the fit (baselines 1), and the equation
// fitted as a correction to one of them (base NAME), as a user runs them.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "cli_util.h"
#include "coils/baseformulas.h"

namespace {

using Json = nlohmann::ordered_json;

// The best this form reaches on coils-example.txt: the RMS relative error
// of sheet(a, N, l) R T / (Lambda W) at the least-squares optimum, found by a
// separate Levenberg-Marquardt fit (numerical Jacobian, Nagaoka's coefficient
// by quadrature, 40 starts) with w0, t0 and l0 held at 1.
constexpr double kSheetFloor = 0.0154167;

std::vector<std::string> fields(const std::string& line) {
    std::vector<std::string> parts;
    std::stringstream in(line);
    std::string part;
    while (std::getline(in, part, ',')) parts.push_back(part);
    return parts;
}

// The goodness on the line of `label` in the block: the number after the
// count of coefficients.
double numberAfter(const std::string& text, const std::string& label) {
    const size_t at = text.find(label);
    if (at == std::string::npos) return NAN;
    char* end = nullptr;
    std::strtol(text.c_str() + at + label.size(), &end, 10);
    return std::strtod(end, nullptr);
}

}  // namespace

TEST(Baselines, ClassicalFormulasFollowTheFinalReport) {
    CliRun run;
    run.copyExample("coils-example.txt");
    run.write("ranges.txt", readFile(sourcePath("examples/ranges-check.txt")) +
                                "baselines 1\ncrossvalidate 10\nresultjson r.json\ncheckpoint c.txt\n");
    const CliResult result = run.run({"coils-example.txt", "ranges.txt"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_NE(result.out.find("\n           baselines: 1\n"), std::string::npos);
    const size_t block = result.out.find("\n\nClassical formulas on these coils\n");
    ASSERT_NE(block, std::string::npos);
    EXPECT_LT(result.out.find("Prediction RMS (10-fold)"), block);
    const std::string text = result.out.substr(block);
    EXPECT_NEAR(numberAfter(text, "ideal long solenoid"), 0.8290, 1e-4);
    EXPECT_NEAR(numberAfter(text, "Wheeler 1928"), 0.0374, 1e-4);
    EXPECT_NEAR(numberAfter(text, "current sheet (Nagaoka, elliptic integrals)"), 0.0407, 1e-4);
    EXPECT_NEAR(numberAfter(text, "current sheet + Rosa's round-wire correction"), 0.0060, 1e-4);
    EXPECT_NE(text.find("  fitted set                                               15    0.0772456         0\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("  fitted set, unseen coils (10-fold)  "), std::string::npos);
    // The result file holds the block too, before its range table.
    const std::string file = run.read("check-result.txt");
    EXPECT_LT(file.find("Classical formulas on these coils"), file.find("Range table"));

    const Json json = Json::parse(run.read("r.json"));
    EXPECT_NEAR(json["baselines"]["wheeler"].get<double>(), numberAfter(text, "Wheeler 1928"), 1e-6);
    EXPECT_EQ(json["baselines"]["fitted"].get<double>(), json["goodness"].get<double>());
    EXPECT_EQ(json["baselines"]["fitted_prediction"].get<double>(),
              json["statistics"]["crossvalidation"]["rms"].get<double>());
    EXPECT_EQ(json["baselines_left_out"].dump(), R"({"solenoid":0,"wheeler":0,"sheet":0,"sheetrosa":0,"fitted":0})");
    EXPECT_FALSE(json.contains("base"));
    EXPECT_EQ(json["statistics"]["covariance"]["names"].size(), 12u);
    EXPECT_EQ(json["settings"]["baselines"], 1);
}

TEST(Baselines, CoilsAFormulaCannotEvaluateLeaveItsRowOnly) {
    CliRun run;
    // The second coil's wire is thicker than its pitch; the third's pitch
    // is above 0.3 times its radius.
    run.write("coils.txt",
              "2.4e-06,0.01,0.0002,24,20,0.02,plain\n"
              "2.4e-06,0.01,0.0006,24,20,0.02,thick\n"
              "0.4e-06,0.01,0.0002,24,5,0.02,spaced\n");
    run.write("ranges.txt", readFile(sourcePath("examples/ranges-check.txt")) +
                                "baselines 1\nresultjson r.json\ncheckpoint c.txt\n");
    const CliResult result = run.run({"coils.txt", "ranges.txt"});
    ASSERT_EQ(result.status, 0) << result.err;
    const Json json = Json::parse(run.read("r.json"));
    EXPECT_EQ(json["baselines_left_out"].dump(), R"({"solenoid":0,"wheeler":0,"sheet":0,"sheetrosa":2,"fitted":0})");
    EXPECT_NEAR(json["baselines"]["sheetrosa"].get<double>(),
                std::fabs(currentSheetRosaInductance(0.01, 20, 0.02, 0.0002) / 2.4e-6 - 1), 1e-12);
}

TEST(Base, SheetCorrectionReachesItsFloorAndReportsHenries) {
    CliRun run;
    run.copyExample("coils-example.txt");
    run.write("ranges.txt", readFile(sourcePath("examples/ranges-sheet.txt")) + "normalize 0\nreportstyle classic\n" +
                                "maxgenerations 20\nprocesses 1\ncrossvalidate 10\nresultjson r.json\n"
                                "coilcsv coils.csv\nresultc table.c\nresultja table.ja\n");
    const CliResult result = run.run({"coils-example.txt", "ranges.txt"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("\n                base: 'sheet'\n"), std::string::npos);

    const Json json = Json::parse(run.read("r.json"));
    const double goodness = json["goodness"].get<double>();
    EXPECT_NEAR(goodness, kSheetFloor, 1e-4);
    EXPECT_LT(json["statistics"]["crossvalidation"]["rms"].get<double>(), 0.025);
    EXPECT_EQ(json["base"]["name"], "sheet");
    EXPECT_EQ(json["base"]["formula"].get<std::string>().rfind("L = sheet(a, N, l) R(a) T(N) / (Lambda(l) W(w)), ", 0),
              0u);
    EXPECT_NE(json["base"]["reference"].get<std::string>().find("Nagaoka"), std::string::npos);
    EXPECT_EQ(json["settings"]["base"], "sheet");
    EXPECT_EQ(json["baselines"]["fitted"].get<double>(), goodness);

    // Every output shows the coil file's measured inductance and the
    // corrected formula's inductance in henries.
    const Json& c = json["coefficients"];
    const auto poly = [&c](const char* p, int terms, double x) {
        double value = 0;
        for (int k = terms - 1; k >= 0; --k) value = value * x + c[std::string(p) + std::to_string(k)].get<double>();
        return value;
    };
    const std::vector<std::string> lines = [&] {
        std::vector<std::string> all;
        std::stringstream in(readFile(sourcePath("examples/coils-example.txt")));
        for (std::string line; std::getline(in, line);)
            if (!line.empty() && std::isdigit(static_cast<unsigned char>(line[0]))) all.push_back(line);
        return all;
    }();
    ASSERT_EQ(json["coils"].size(), lines.size());
    std::stringstream csv(run.read("coils.csv"));
    std::string row;
    std::getline(csv, row);
    double squares = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::vector<std::string> f = fields(lines[i]);
        const double m = std::stod(f[0]), a = std::stod(f[1]), w = std::stod(f[2]), n = std::stod(f[4]),
                     l = std::stod(f[5]);
        const double expected =
            currentSheetInductance(a, n, l) * poly("r", 4, a) * poly("t", 4, n) / (poly("l", 4, l) * poly("w", 3, w));
        const Json& coil = json["coils"][i];
        EXPECT_EQ(coil["measured_H"].get<double>(), m);
        EXPECT_NEAR(coil["computed_H"].get<double>(), expected, 1e-12 * expected);
        squares += std::pow((coil["computed_H"].get<double>() - m) / m, 2);
        std::getline(csv, row);
        const std::vector<std::string> r = fields(row);
        EXPECT_EQ(std::stod(r[1]), m);
        EXPECT_EQ(std::stod(r[2]), coil["computed_H"].get<double>());
        EXPECT_NE(run.read("table.c").find(".measuredInductance = " + f[0] + ",\n"), std::string::npos) << f[0];
        EXPECT_NE(run.read("table.ja").find("].measuredInductance = " + f[0] + ";\n"), std::string::npos);
    }
    EXPECT_NEAR(std::sqrt(squares / lines.size()), goodness, 1e-12);
    // The final report's line for a coil: measured : computed, microhenries.
    char line[96];
    std::snprintf(line, sizeof line, "L=%6.3f : %6.3f uH, ", json["coils"][0]["measured_H"].get<double>() * 1e6,
                  json["coils"][0]["computed_H"].get<double>() * 1e6);
    EXPECT_NE(result.out.find(line), std::string::npos) << line;
    EXPECT_EQ(run.read("fit-result.txt").find("Formula: L = sheet(a, N, l) R(a) T(N) / (Lambda(l) W(w)), "),
              run.read("fit-result.txt").find('\n', run.read("fit-result.txt").find("Random seed")) + 1);
}

// Every walk variant this CPU runs gives the same correction fit.
TEST(Base, EveryWalkGivesTheSameCorrectionFit) {
    std::string first;
    const std::vector<std::string> paths = {"scalar", "avx2", "avx512"};
    for (const std::string& path : paths) {
        CliRun run;
        prepareQuickRun(run, "minormax 2000\nbase wheeler\nmaxgenerations 4\n");
        std::vector<std::string> command = {"/usr/bin/env", "QUELMO_GRID_PATH=" + path};
        for (std::string& part : programCommand({"coils-small.txt", "ranges.txt"})) command.push_back(part);
        const CliResult result = run.runCommand(command);
        if (result.status == 255 && result.err.find("accepted on this CPU") != std::string::npos) continue;
        ASSERT_EQ(result.status, 0) << result.err;
        const std::string outputs = result.out + run.read("result.txt");
        if (first.empty()) first = outputs;
        EXPECT_EQ(outputs, first) << path;
    }
    EXPECT_NE(first.find("Formula: L = wheeler(a, N, l) "), std::string::npos);
}

TEST(Base, CoilsTheBaseCannotEvaluateAreNamedAndLeftOut) {
    CliRun run;
    run.write("coils.txt",
              "2.4e-06,0.01,0.0002,24,20,0.02,plain\n"
              "2.3e-06,0.011,0.0002,24,20,0.022,plain2\n"
              "0.4e-06,0.01,0.0002,24,5,0.02,spaced\n");
    run.write("ranges.txt", readFile(sourcePath("examples/ranges-sheet.txt")) + "normalize 0\nreportstyle classic\n" +
                                "base sheetrosa\nmaxgenerations 2\nprocesses 1\nbaselines 0\ncoilcsv coils.csv\n");
    const CliResult result = run.run({"coils.txt", "ranges.txt"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "Warning: base sheetrosa cannot evaluate 1 coil (spaced): it counts in no goodness\n" +
                              fewCoilsWarning("coils.txt", 2));
    EXPECT_NE(result.out.find("  *** L= 0.400 uH  5 turns, "), std::string::npos);
    EXPECT_NE(run.read("coils.csv").find("\nspaced,3.9999999999999998e-07,,,0.01,0.00020000000000000001,24,5,0.02,0\n"),
              std::string::npos)
        << run.read("coils.csv");
}

TEST(Base, WithoutTheNewSettingsTheJsonIsAsBefore) {
    CliRun run;
    run.copyExample("coils-small.txt");
    run.write("ranges.txt", readFile(sourcePath("examples/ranges-check.txt")) +
                                "base none\nstatistics 1\nresultjson r.json\ncheckpoint c.txt\n");
    const CliResult result = run.run({"coils-small.txt", "ranges.txt"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out.find("base:"), std::string::npos);
    EXPECT_EQ(result.out.find("Classical formulas"), std::string::npos);
    const Json json = Json::parse(run.read("r.json"));
    for (const char* member : {"base", "baselines", "baselines_left_out", "date", "coil_file"})
        EXPECT_FALSE(json.contains(member)) << member;
    EXPECT_FALSE(json["statistics"].contains("covariance"));
    EXPECT_FALSE(json["settings"].contains("base"));
    EXPECT_FALSE(json["settings"].contains("baselines"));
    EXPECT_EQ(run.read("check-result.txt").find("Formula:"), std::string::npos);
}

// The state a worker rank starts from: packed by the master, unpacked by the
// worker, it must give the worker exactly what a forked worker inherits.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "coils/readind.h"
#include "settings/symtab.h"
#include "test_support.h"
#include "testhooks.h"
#include "grid/gridsearch.h"
#include "search/searchstate.h"
#include "transport/process.h"
#include "transport/workerstate.h"

namespace {

struct Coil {
    double inductance, radius, wire, length;
    int32_t gauge, turns;
    std::string name;
    bool operator==(const Coil&) const = default;
};

std::vector<Coil> coilList() {
    std::vector<Coil> coils;
    for (const InductorRecord* c = theInductors; c != nullptr; c = c->next)
        coils.push_back({c->measuredInductance, c->radius, c->wire, c->length, c->gauge, c->turns, c->fileName});
    return coils;
}

// Every setting as text (strings by content), and the range table's bytes.
std::string settingsImage() {
    std::string image;
    for (const SymbolEntry& entry : S) {
        if (entry.type != symString)
            image.append(reinterpret_cast<const char*>(&entry.value), sizeof entry.value);
        else if (entry.value.s == nullptr)
            image += "(null)";
        else
            image.append("=").append(entry.value.s);
        image += '|';
    }
    return image;
}

std::string rangesImage() {
    std::string image;
    for (const RangeEntry& entry : R) {
        for (double d : {entry.low, entry.high, entry.resolution, entry.minorInc})
            image.append(reinterpret_cast<const char*>(&d), sizeof d);
        image += std::to_string(entry.steps) + "/" + std::to_string(entry.mcount) + "|";
    }
    return image;
}

// A master's state after reading the example coils and a ranges file that
// sets numbers of every type and some strings.
void masterState() {
    CliRun scratch;
    scratch.copyExample("coils-small.txt");
    scratch.write("ranges.txt", readFile(sourcePath("examples/ranges-example.txt")) +
                                "polish 0\nnormalize 0\nreportstyle classic\n" +
                                    "resultfile out.txt\ncvarname coils\nseed 77\npctchange 0.5\n"
                                    "minormax 123\nr3 -1 1 0.5 0.25 -4\n");
    resetTables();
    theInductors = nullptr;
    testing::internal::CaptureStdout();
    readTestInductors((scratch.dir() / "coils-small.txt").c_str());
    readSymtab((scratch.dir() / "ranges.txt").c_str());
    testing::internal::GetCapturedStdout();
    workerSlots.phases[0] = 1;
}

}  // namespace

TEST(WorkerState, UnpackGivesTheMastersCoilsSettingsRangesAndAlternation) {
    masterState();
    const std::vector<Coil> coils = coilList();
    const std::string settings = settingsImage();
    const std::string ranges = rangesImage();
    ASSERT_EQ(coils.size(), 12u);
    const std::vector<unsigned char> packed = packWorkerState(S[kProcesses].value.i, R);

    // A worker starts from the compiled-in tables and no coils.
    resetTables();
    theInductors = nullptr;
    swapper = 0;
    workerSlots.phases[0] = 0;
    unpackWorkerState(packed.data(), packed.size(), 0);
    EXPECT_EQ(coilList(), coils);  // same order: the goodness sums in it
    EXPECT_EQ(settingsImage(), settings);
    EXPECT_EQ(rangesImage(), ranges);
    EXPECT_EQ(swapper, 1);
    EXPECT_EQ(workerSlots.phases[0], 1);
    EXPECT_EQ(S[kMinorMax].value.i, 123);
    EXPECT_STREQ(S[kCVarName].value.s, "coils");
    EXPECT_EQ(S[kResultC].value.s, nullptr);
    EXPECT_EQ(R[cR3].mcount, -4);
    resetTables();
    swapper = 0;
    workerSlots.phases[0] = 0;
}

TEST(WorkerState, NoCoilsAndDefaultTablesTravelToo) {
    resetTables();
    theInductors = nullptr;
    swapper = 0;
    const std::string settings = settingsImage();
    const std::vector<unsigned char> packed = packWorkerState(S[kProcesses].value.i, R);
    masterState();
    unpackWorkerState(packed.data(), packed.size(), 0);
    EXPECT_EQ(theInductors, nullptr);
    EXPECT_EQ(settingsImage(), settings);
    EXPECT_EQ(swapper, 0);
}

// A worker rank runs the master's walk variant, or the widest it has where
// its CPU cannot run that one.
TEST(WorkerState, TheMastersWalkVariantTravels) {
    masterState();
    for (int32_t path = 0; path <= 2; ++path) {
        setGridPath(GridPath::scalar);
        std::vector<unsigned char> packed = packWorkerState(S[kProcesses].value.i, R);
        std::memcpy(packed.data() + packed.size() - sizeof path, &path, sizeof path);
        setGridPath(gridPathBest());
        unpackWorkerState(packed.data(), packed.size(), 0);
        const auto sent = static_cast<GridPath>(path);
        EXPECT_EQ(gridPathChosen(), gridPathSupported(sent) ? sent : gridPathBest()) << gridPathName(sent);
    }
    resetTables();
}

TEST(WorkerState, BytesThatAreNotOneStateAreRefused) {
    masterState();
    std::vector<unsigned char> packed = packWorkerState(S[kProcesses].value.i, R);
    const std::string message = "^The state sent to a worker is damaged\n$";
    EXPECT_EXIT(unpackWorkerState(packed.data(), packed.size() - 1, 0), testing::ExitedWithCode(255), message);
    packed.push_back(0);
    EXPECT_EXIT(unpackWorkerState(packed.data(), packed.size(), 0), testing::ExitedWithCode(255), message);
    // A coil count far beyond the bytes that follow.
    const int64_t count = int64_t{1} << 40;
    std::memcpy(packed.data(), &count, sizeof count);
    EXPECT_EXIT(unpackWorkerState(packed.data(), packed.size(), 0), testing::ExitedWithCode(255), message);
    EXPECT_EXIT(unpackWorkerState(nullptr, 0, 0), testing::ExitedWithCode(255), message);
    // A slot the master does not have.
    packed = packWorkerState(S[kProcesses].value.i, R);
    EXPECT_EXIT(unpackWorkerState(packed.data(), packed.size(), workerCount()), testing::ExitedWithCode(255), message);
    EXPECT_EXIT(unpackWorkerState(packed.data(), packed.size(), -1), testing::ExitedWithCode(255), message);
    // A walk variant that does not exist.
    packed = packWorkerState(S[kProcesses].value.i, R);
    const int32_t path = 7;
    std::memcpy(packed.data() + packed.size() - sizeof path, &path, sizeof path);
    EXPECT_EXIT(unpackWorkerState(packed.data(), packed.size(), 0), testing::ExitedWithCode(255), message);
    resetTables();
    swapper = 0;
    workerSlots.phases[0] = 0;
}

// The typed reads of the settings: each compiles only for the type its row
// in the settings table gives, and reads the value the ranges file set.
#include <gtest/gtest.h>

#include "settings/settingaccess.h"
#include "test_support.h"

namespace {

template <int Position>
concept ReadsAsInt = requires { intSetting<Position>(); };
template <int Position>
concept ReadsAsDouble = requires { doubleSetting<Position>(); };
template <int Position>
concept ReadsAsLong = requires { longSetting<Position>(); };
template <int Position>
concept ReadsAsText = requires { textSetting<Position>(); };

static_assert(ReadsAsInt<kSave> && !ReadsAsDouble<kSave> && !ReadsAsLong<kSave> && !ReadsAsText<kSave>);
static_assert(ReadsAsDouble<kPctChange> && !ReadsAsInt<kPctChange>);
static_assert(ReadsAsLong<kSeed> && !ReadsAsInt<kSeed> && !ReadsAsDouble<kSeed>);
static_assert(ReadsAsText<kStateFile> && !ReadsAsInt<kStateFile>);
static_assert(!ReadsAsInt<kSymbolCount> && !ReadsAsInt<-1>);

}  // namespace

TEST(SettingAccess, ReadsWhatTheRangesFileSet) {
    readRangesText(allRanges() + "save 7\npctchange 0.25\nseed 12345678901\nstatefile s.bin\nbestl3 2.5\n");
    EXPECT_EQ(intSetting<kSave>(), 7);
    EXPECT_EQ(doubleSetting<kPctChange>(), 0.25);
    EXPECT_EQ(longSetting<kSeed>(), 12345678901);
    EXPECT_STREQ(textSetting<kStateFile>(), "s.bin");
    EXPECT_EQ(bestCoefficientSetting(cL3), 2.5);
    resetTables();
}

// Typed reads of the settings S, checked against the settings table when
// they compile: a setting is read only as the type its row gives it, so that
// reading an integer setting as a double, or a text as a number, does not
// compile. The position is a template argument: intSetting<kSave>().
#pragma once

#include <cstdint>

#include "settings/settingstable.h"
#include "settings/symtab.h"

template <int Position>
constexpr bool settingHasType(SymbolType type) {
    return Position >= 0 && Position < kSymbolCount && kSettingRows[Position].type == type;
}

template <int Position>
    requires(settingHasType<Position>(symInt))
int32_t intSetting() {
    return S[Position].value.i;
}

template <int Position>
    requires(settingHasType<Position>(symDouble))
double doubleSetting() {
    return S[Position].value.d;
}

template <int Position>
    requires(settingHasType<Position>(symLong))
int64_t longSetting() {
    return S[Position].value.l;
}

template <int Position>
    requires(settingHasType<Position>(symString))
const char* textSetting() {
    return S[Position].value.s;
}

// The start set's coefficient k (bestr0 ... bestl3), every one a double.
inline double bestCoefficientSetting(int k) {
    static_assert(
        [] {
            for (int i = 0; i < kCoefficientCount; ++i)
                if (kSettingRows[kBestFirst + i].type != symDouble) return false;
            return true;
        }(),
        "the start set's settings are doubles");
    return S[kBestFirst + k].value.d;
}

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

// The value of the setting at `Position`, which must have type `Type`.
template <int Position, SymbolType Type>
    requires(settingHasType<Position>(Type))
auto typedSetting() {
    const SymbolValue& value = S[Position].value;
    if constexpr (Type == symInt) return value.i;
    else if constexpr (Type == symDouble) return value.d;
    else if constexpr (Type == symLong) return value.l;
    else return static_cast<const char*>(value.s);
}

template <int P> auto intSetting() -> decltype(typedSetting<P, symInt>()) { return typedSetting<P, symInt>(); }
template <int P> auto doubleSetting() -> decltype(typedSetting<P, symDouble>()) { return typedSetting<P, symDouble>(); }
template <int P> auto longSetting() -> decltype(typedSetting<P, symLong>()) { return typedSetting<P, symLong>(); }
template <int P> auto textSetting() -> decltype(typedSetting<P, symString>()) { return typedSetting<P, symString>(); }

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

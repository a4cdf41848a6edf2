// Version triple and equation label printed in the banner, the result file,
// the exports and the checkpoint file name.
#pragma once

inline constexpr int kVersionMajor = 20;
inline constexpr int kVersionMinor = 3;
inline constexpr int kVersionPatch = 8;
inline constexpr const char* kEquationLabel = "EQUATION J";

// The two fixed-size records of the program: a coefficient set and a test coil.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

static_assert(std::endian::native == std::endian::little,
              "the exchange record is the little-endian memory image of ResultRecord");

inline constexpr int kCoefficientCount = 15;

// "No value": a setting not given, a coil a set cannot evaluate, a goodness
// that cannot be computed.
inline constexpr double kNoValue = 1e208;

// The magnetic constant the equation multiplies by, as the equation writes it.
inline constexpr double kMu0 = 1.256637061435916e-6;

// Coefficient order, shared by ResultRecord, the range table R, the best*
// settings and the change mask (bit k stands for coefficient k).
enum CoefficientIndex : int {
    cR0, cR1, cR2, cR3, cW0, cW1, cW2, cT0, cT1, cT2, cT3, cL0, cL1, cL2, cL3
};

inline constexpr std::array<const char*, kCoefficientCount> kCoefficientNames = {
    "r0", "r1", "r2", "r3", "w0", "w1", "w2", "t0", "t1", "t2", "t3", "l0", "l1", "l2", "l3"};

// One coefficient set. Its 144-byte memory image is also the binary record of
// the exchange files.
struct ResultRecord {
    ResultRecord* next;  // following record of the list it is on, or null
    double goodness;     // RMS relative error; 0.0 fresh; kNoValue: none
    std::array<double, kCoefficientCount> coefficients;
    int32_t changeMask;  // bit k: the operator changed coefficient k
    int32_t pad;         // always zero
};

static_assert(sizeof(void*) == 8, "the exchange record holds an 8-byte link");
static_assert(sizeof(ResultRecord) == 144);
static_assert(offsetof(ResultRecord, next) == 0);
static_assert(offsetof(ResultRecord, goodness) == 8);
static_assert(offsetof(ResultRecord, coefficients) == 16);
static_assert(offsetof(ResultRecord, changeMask) == 136);
static_assert(offsetof(ResultRecord, pad) == 140);

// One measured test coil (SI units).
struct InductorRecord {
    InductorRecord* next;
    double measuredInductance;  // henry
    double radius;              // coil radius, metre
    double wire;                // wire radius, metre
    int32_t gauge;              // wire gauge number
    double length;              // coil length, metre
    int32_t turns;
    char* fileName;             // name token of the coil's line (owned)
    double squaredError;        // written by the final report
    double computedInductance;  // written by the final report; under a base, the corrected formula's
    // Under the setting `base`, the fit's target measuredInductance is the
    // measured inductance over the base factor b = base / mu0, so that the
    // equation's value times b is the corrected formula's inductance.
    double baseFactor;       // b, or 0 without a base (NaN: the base cannot evaluate the coil)
    double givenInductance;  // the measured inductance as the coil file gives it, under a base
};

// The measured inductance as the coil file gives it.
inline double measuredAsGiven(const InductorRecord* coil) {
    return coil->baseFactor == 0 ? coil->measuredInductance : coil->givenInductance;
}
// The inductance the coil's formula gives, from the equation's own value
// `computed` (kNoValue stays kNoValue).
inline double correctedInductance(const InductorRecord* coil, double computed) {
    if (coil->baseFactor == 0 || computed == kNoValue) return computed;
    return computed * coil->baseFactor;
}

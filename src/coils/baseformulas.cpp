// Classical inductance formulas of single-layer air-core coils.
#include "coils/baseformulas.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>

#include "coils/equation.h"

namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kMetresPerInch = 0.0254;
// Rosa's correction holds for a pitch up to this share of the coil radius.
constexpr double kRosaPitchLimit = 0.3;

// Below this length over diameter Nagaoka's coefficient takes E - k from
// the series of E - 1 (see nagaokaCoefficient); above it the difference
// keeps the coefficient within 1e-14 (measured against 60-digit values), and
// the coils of the examples (0.204 and up) keep their bits.
constexpr double kShortCoil = 0.2;
// From this length over diameter on, the coefficient is 1 to the last bit.
constexpr double kLongCoil = 1e17;

bool validCoil(double a, double n, double l) { return a > 0 && n >= 1 && l > 0; }

// A value that is not a finite positive inductance is none.
double inductanceOrNaN(double value) { return std::isfinite(value) && value > 0 ? value : kNaN; }

// Lundin's f1 and f2.
double lundinF1(double x) { return (1 + 0.383901 * x + 0.017108 * x * x) / (1 + 0.258952 * x); }
double lundinF2(double x) { return 0.093842 * x + 0.002029 * x * x - 0.000801 * x * x * x; }

// Rosa's mutual-inductance term H(N), by Knight's closed form.
double rosaH(double n) {
    const double n3 = n * n * n;
    const double n5 = n3 * n * n;
    const double n7 = n5 * n * n;
    const double n9 = n7 * n * n;
    return std::log(2 * kPi) - 1.5 - std::log(n) / (6 * n) - 0.33084236 / n - 1 / (120 * n3) + 1 / (504 * n5) -
           0.0011923 / n7 + 0.0005068 / n9;
}

constexpr std::array<BaseFormulaInfo, 4> kInfo = {{
    {"none", "mu0 (the equation alone)", "the ideal long solenoid's constant"},
    {"wheeler", "wheeler(a, N, l) = 1e-6 H * A^2 N^2 / (9 A + 10 B), A = a / 0.0254 m, B = l / 0.0254 m",
     "H. A. Wheeler, Simple inductance formulas for radio coils, Proc. IRE 16 (1928) 1398-1400"},
    {"sheet",
     "sheet(a, N, l) = mu0 pi a^2 N^2 kL / l, kL Nagaoka's coefficient of the current sheet by complete "
     "elliptic integrals of modulus k = 2a / sqrt(4a^2 + l^2)",
     "L. Lorenz (1879), current sheet; H. Nagaoka, J. Coll. Sci. Tokyo 27 (1909), its coefficient"},
    {"sheetrosa",
     "sheetrosa(a, N, l, w) = sheet(a, N, l) - mu0 a N (G + H), sheet as for base sheet, G = 5/4 - ln(l / (N w)), "
     "H = ln(2 pi) - 3/2 - ln(N)/(6N) - 0.33084236/N - 1/(120 N^3) + 1/(504 N^5) - 0.0011923/N^7 + "
     "0.0005068/N^9; defined for a pitch l/N up to 0.3 a and at least the wire diameter 2w",
     "current sheet as for base sheet; E. B. Rosa, Bull. Bureau of Standards 2 (1906) 161-187, the round-wire "
     "correction; D. W. Knight (2016), the closed form of H"},
}};

}  // namespace

double idealSolenoidInductance(double a, double n, double l) {
    if (!validCoil(a, n, l)) return kNaN;
    return inductanceOrNaN(kMu0 * kPi * a * a * n * n / l);
}

double wheelerInductance(double a, double n, double l) {
    if (!validCoil(a, n, l)) return kNaN;
    const double ai = a / kMetresPerInch;
    const double li = l / kMetresPerInch;
    return inductanceOrNaN(1e-6 * (ai * ai * n * n) / (9 * ai + 10 * li));
}

namespace {

// (E(k) - 1) / k'^2 for a small complementary modulus k', by the series of
// E - 1 in k'^2: (1/2) sum_m c_m k'^(2m) (ln(1/k') + d_m - 1/((2m+1)(2m+2))),
// with c_0 = 1, c_(m+1) = c_m (m+1/2)(m+3/2) / ((m+1)(m+2)), d_0 = 2 ln 2 and
// d_m = d_(m-1) - 1/(m(2m-1)) (d_m = psi(m+1) - psi(m+1/2)). Every term is
// positive for the k' of coils shorter than kShortCoil, so the sum keeps its
// digits. `logInverse` is ln(1/k').
double ellipticEMinusOneOverKPrime2(double kPrimeSquared, double logInverse) {
    double power = 1, coefficient = 1, d = 2 * std::numbers::ln2, sum = 0;
    for (int m = 0; m < 64; ++m) {
        if (m > 0) {
            coefficient *= (m - 0.5) * (m + 0.5) / (m * (m + 1.0));
            d -= 1 / (m * (2.0 * m - 1));
            power *= kPrimeSquared;
        }
        const double term = coefficient * power * (logInverse + d - 1 / ((2.0 * m + 1) * (2.0 * m + 2)));
        sum += term;
        if (term <= 1e-18 * sum) break;
    }
    return sum / 2;
}

}  // namespace

// k^2 = 4a^2 / (4a^2 + l^2) and k'^2 = l^2 / (4a^2 + l^2), each formed
// directly from x = l / 2a so that neither loses digits by a subtraction.
// K(k) = pi / (2 M) with M the arithmetic-geometric mean of 1 and k', and
// K - E = K * sum 2^(j-1) c_j^2 with c_0 = k, c_(j+1) = c_j^2 / (4 a_(j+1));
// that form of c needs no subtraction either, so K - E keeps its digits for
// long coils, where it is small. For short coils E - k, which tends to 0
// while E and k tend to 1, is taken as (E - 1) + (1 - k), both from x
// without a subtraction: below x = kShortCoil the relative error of E - k
// would otherwise grow like 1e-16 / x^2 (1e-6 at x = 1e-5).
double nagaokaCoefficient(double a, double l) {
    if (!(a > 0) || !(l > 0)) return kNaN;
    const double x = l / (2 * a);
    // kL = 1 - 4 / (3 pi x) + ..., which rounds to 1 from here on; x * x
    // would overflow further on.
    if (x >= kLongCoil) return 1;
    const double kPrime = x / std::sqrt(1 + x * x);
    const double k = 1 / std::sqrt(1 + x * x);
    double mean = 1, geometric = kPrime, c = k;
    double weight = 0.5, sum = 0.5 * k * k;
    for (int step = 0; step < 64; ++step) {
        const double next = (mean + geometric) / 2;
        geometric = std::sqrt(mean * geometric);
        c = c * c / (4 * next);
        mean = next;
        weight *= 2;
        sum += weight * c * c;
        if (c <= 1e-17 * mean) break;
    }
    const double bigK = kPi / (2 * mean);
    const double kMinusE = bigK * sum;
    const double bigE = bigK - kMinusE;
    const double ratio = kPrime * kPrime / (k * k);
    if (x >= kShortCoil) return 4 / (3 * kPi * kPrime) * (ratio * kMinusE + bigE - k);
    // The bracket over k'^2, which may underflow: (1 - k) / k'^2 is
    // root / (1 + root).
    const double root = std::sqrt(1 + x * x);
    const double eMinusOneOverKPrime2 =
        ellipticEMinusOneOverKPrime2(kPrime * kPrime, 0.5 * std::log1p(x * x) - std::log(x));
    return 4 * kPrime / (3 * kPi) * (kMinusE / (k * k) + eMinusOneOverKPrime2 + root / (1 + root));
}

double currentSheetInductance(double a, double n, double l) {
    if (!validCoil(a, n, l)) return kNaN;
    return inductanceOrNaN(kMu0 * kPi * a * a * n * n * nagaokaCoefficient(a, l) / l);
}

double lundinInductance(double a, double n, double l) {
    if (!validCoil(a, n, l)) return kNaN;
    if (l >= 2 * a) {
        const double ratio = 2 * a / l;
        return inductanceOrNaN(kMu0 * kPi * a * a * n * n / l *
                               (lundinF1(ratio * ratio) - 4 / (3 * kPi) * ratio));
    }
    const double x = l * l / (4 * a * a);
    return inductanceOrNaN(kMu0 * a * n * n * ((std::log(8 * a / l) - 0.5) * lundinF1(x) + lundinF2(x)));
}

double rosaCorrection(double a, double n, double l, double w) {
    if (!validCoil(a, n, l) || !(w > 0)) return kNaN;
    const double pitch = l / n;
    if (pitch > kRosaPitchLimit * a || 2 * w > pitch) return kNaN;
    const double g = 1.25 - std::log(pitch / w);  // ln(2p/d) with d = 2w
    return kMu0 * a * n * (g + rosaH(n));
}

double currentSheetRosaInductance(double a, double n, double l, double w) {
    const double correction = rosaCorrection(a, n, l, w);
    if (std::isnan(correction)) return kNaN;
    return inductanceOrNaN(currentSheetInductance(a, n, l) - correction);
}

const BaseFormulaInfo& baseFormulaInfo(BaseFormula base) { return kInfo[static_cast<size_t>(base)]; }

std::optional<BaseFormula> baseFormulaNamed(const char* name) {
    for (const BaseFormula base : kBaseFormulas)
        if (std::strcmp(name, baseFormulaInfo(base).name) == 0) return base;
    return std::nullopt;
}

std::string baseFormulaNames() {
    std::string names;
    for (const BaseFormula base : kBaseFormulas) {
        if (!names.empty()) names += ", ";
        names += baseFormulaInfo(base).name;
    }
    return names;
}

std::string correctedEquation(BaseFormula base) {
    const std::string tail = "R(a) T(N) / (Lambda(l) W(w))";
    if (base == BaseFormula::none) return "L = mu0 " + tail;
    const BaseFormulaInfo& info = baseFormulaInfo(base);
    const char* arguments = base == BaseFormula::sheetrosa ? "(a, N, l, w)" : "(a, N, l)";
    return std::string("L = ") + info.name + arguments + " " + tail + ", " + info.formula;
}

double baseFactor(BaseFormula base, double a, double n, double l, double w) {
    switch (base) {
    case BaseFormula::none: return 1;
    case BaseFormula::wheeler: return wheelerInductance(a, n, l) / kMu0;
    case BaseFormula::sheet: return currentSheetInductance(a, n, l) / kMu0;
    case BaseFormula::sheetrosa: return currentSheetRosaInductance(a, n, l, w) / kMu0;
    }
    return kNaN;
}

namespace {
double turnsOf(const InductorRecord* coil) { return static_cast<double>(coil->turns); }
}  // namespace

const std::array<ClassicalFormula, 4> kClassicalFormulas = {{
    {"solenoid", "ideal long solenoid", "ideal long solenoid",
     [](const InductorRecord* c) { return idealSolenoidInductance(c->radius, turnsOf(c), c->length); }},
    {"wheeler", "Wheeler 1928", "Wheeler 1928",
     [](const InductorRecord* c) { return wheelerInductance(c->radius, turnsOf(c), c->length); }},
    {"sheet", "current sheet", "current sheet (Nagaoka, elliptic integrals)",
     [](const InductorRecord* c) { return currentSheetInductance(c->radius, turnsOf(c), c->length); }},
    {"sheetrosa", "current sheet + Rosa", "current sheet + Rosa's round-wire correction",
     [](const InductorRecord* c) {
         return currentSheetRosaInductance(c->radius, turnsOf(c), c->length, c->wire);
     }},
}};

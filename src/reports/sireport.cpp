// The final report for `reportstyle si`.
#include "reports/sireport.h"

#include <cmath>
#include <ctime>

#include "coils/baseformulas.h"
#include "refine/polish.h"
#include "settings/basesetting.h"
#include "settings/reportstyle.h"
#include "settings/symtab.h"

namespace {

constexpr double kMicrohenry = 1e6;
constexpr double kMillimetres = 1e3;

bool inMask(int32_t mask, int k) { return (mask >> k & 1) != 0; }

std::string printed(const char* format, auto... values) {
    char text[128];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}

// `value` to `significant` digits. Trailing zeros are digits too; a point
// with no digit after it is not.
std::string withDigits(double value, int significant) {
    std::string text = printed("%#.*g", significant, value);
    const size_t point = text.find('.');
    if (point != std::string::npos && (point + 1 == text.size() || text[point + 1] == 'e')) text.erase(point, 1);
    return text;
}

// A setting's value as the ranges file would give it.
std::string settingValue(const SymbolEntry& entry) {
    switch (entry.type) {
    case symInt: return std::to_string(entry.value.i);
    case symDouble: return printed("%.17g", entry.value.d);
    case symLong: return std::to_string(entry.value.l);
    default: return entry.value.s != nullptr ? entry.value.s : "";
    }
}

}  // namespace

SiDigits siDigitsOf(const FitAnalysis* analysis, const std::vector<const InductorRecord*>& coils,
                    const ResultRecord* set, int32_t pinned, int32_t held) {
    SiDigits digits;
    digits.pinned = pinned;
    digits.held = held & ~pinned;
    if (analysis != nullptr) {
        digits.standardError = analysis->statistics.standardError;
        digits.unavailable = analysis->statistics.unavailable;
        return digits;
    }
    std::vector<FitCoil> fitted;
    for (const InductorRecord* coil : coils)
        if (hasUsableMeasurement(coil) && evaluates(coil, set)) fitted.push_back(fitCoilOf(coil));
    const FitStatistics statistics = fitStatistics(fitted, set->coefficients, pinned | held);
    digits.standardError = statistics.standardError;
    digits.unavailable = statistics.unavailable;
    return digits;
}

std::string supportedDigits(double value, double standardError) {
    if (!(standardError > 0) || !std::isfinite(standardError) || !std::isfinite(value))
        return printed("%.6g", value);
    // Down to the standard error's second significant digit, in fixed
    // notation while that digit lies between 1e-6 and 1e15; a value below
    // that digit keeps one significant digit.
    const int last = static_cast<int>(std::floor(std::log10(standardError))) - 1;
    const int magnitude = value == 0 ? last : static_cast<int>(std::floor(std::log10(std::fabs(value))));
    if (last < -6 || last > 15)
        return withDigits(value, std::max(magnitude - last + 1, 1)) + " ± " + withDigits(standardError, 2);
    const auto fixed = [last](double x) {
        if (last < 0) return printed("%.*f", -last, x);
        const double unit = std::pow(10.0, last);
        return printed("%.0f", std::round(x / unit) * unit + 0.0);
    };
    return (magnitude < last ? withDigits(value, 1) : fixed(value)) + " ± " + fixed(standardError);
}

void showResultSi(FILE* stream, const ResultRecord* set, const SiDigits& digits) {
    std::fprintf(stream, "// Goodness = %g (RMS relative error %.3g %%)\n", set->goodness, 100 * set->goodness);
    if (digits.unavailable.empty())
        std::fprintf(stream, "// Coefficients to the digits their standard errors support: value ± standard error\n");
    else
        std::fprintf(stream, "// Coefficients to 6 significant digits: no standard errors (%s)\n",
                     digits.unavailable.c_str());
    for (int k = 0; k < kCoefficientCount; ++k) {
        const double value = set->coefficients[k];
        std::string text;
        if (inMask(digits.pinned, k))
            text = printed("%.17g (pinned)", value);
        else if (inMask(digits.held, k))
            text = printed("%.17g (holds a free scale)", value);
        else
            text = supportedDigits(value, digits.standardError[k]);
        std::fprintf(stream, "%5s = %s\n", kCoefficientNames[k], text.c_str());
    }
}

void showCoilHeadingSi(FILE* stream) {
    std::fputs("error: (computed - measured) / measured; dia: coil diameter to the wire centres; wire: wire "
               "diameter\n",
               stream);
    std::fputs(" error %  measured µH  computed µH  turns    dia mm    len mm   wire mm  gauge  name\n", stream);
}

void showInductorSi(FILE* stream, const InductorRecord* coil) {
    const double measured = measuredAsGiven(coil);
    const double computed = coil->computedInductance;
    const bool evaluated = computed != kNoValue && !std::isnan(computed);
    const std::string error = evaluated ? printed("%+8.2f", 100 * (computed - measured) / measured) : "     n/a";
    const std::string value = evaluated ? printed("%12.5g", computed * kMicrohenry) : "         n/a";
    std::fprintf(stream, "%s %12.5g %s %6d %9.3f %9.3f %9.4f %6d  %s\n", error.c_str(), measured * kMicrohenry,
                 value.c_str(), coil->turns, 2 * coil->radius * kMillimetres, coil->length * kMillimetres,
                 2 * coil->wire * kMillimetres, coil->gauge, coil->fileName);
}

const std::string& reportDate() {
    static const std::string date = [] {
        char text[64] = "";
        const std::time_t now = std::time(nullptr);
        std::tm utc{};
        if (gmtime_r(&now, &utc) != nullptr) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &utc);
        return std::string(text);
    }();
    return date;
}

void showResultHeadingSi(FILE* stream) {
    std::fprintf(stream, "Coil file: %s\n", coilFilePath());
    std::fprintf(stream, "Date: %s\n", reportDate().c_str());
    if (chosenBase() == BaseFormula::none)
        std::fprintf(stream, "Formula: %s\n", correctedEquation(BaseFormula::none).c_str());
    std::string settings;
    for (int index = 0; index < kSymbolCount; ++index) {
        if (isDefaultSetting(index) || (index >= kBestFirst && index < kBestFirst + kCoefficientCount)) continue;
        settings += (settings.empty() ? "" : ", ") + std::string(S[index].name) + " " + settingValue(S[index]);
    }
    std::fprintf(stream, "Settings: %s\n", settings.empty() ? "all at their defaults" : settings.c_str());
}

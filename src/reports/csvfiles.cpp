// CSV files of the coils of the final set and of the generations.
#include "coils/equation.h"
#include "reports/csvfiles.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "common/outfile.h"
#include "common/version.h"

namespace {

constexpr const char* kCoilCsvHeader =
    "name,measured_H,computed_H,relative_error,coil_radius_m,wire_radius_m,gauge,turns,length_m,evaluated\n";

bool hasValue(double value) { return value != kNoValue && !std::isnan(value); }

std::string integerText(long long value) { return std::to_string(value); }

}  // namespace

const char* const kGenerationCsvHeader = "generation,tested,best1,best2,best3,best4,library_size,rejects,elapsed_s\n";

std::string csvField(std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

std::string csvNumber(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

std::string coilCsv(const std::vector<const InductorRecord*>& coils, const ResultRecord* set) {
    std::string text = kCoilCsvHeader;
    for (const InductorRecord* coil : coils) {
        const double computed = correctedInductance(coil, evalInductorAbs(coil, set));
        // Evaluated means counted in the goodness: a coil whose measured
        // inductance is NaN or infinite has a computed value but no error.
        const bool evaluated = countsInGoodness(evalInductor(coil, set));
        const double m = measuredAsGiven(coil);
        text += csvField(coil->fileName != nullptr ? coil->fileName : "");
        text += ',' + csvNumber(m);
        text += ',' + (hasValue(computed) ? csvNumber(computed) : std::string());
        text += ',' + (evaluated ? csvNumber((computed - m) / m) : std::string());
        text += ',' + csvNumber(coil->radius);
        text += ',' + csvNumber(coil->wire);
        text += ',' + integerText(coil->gauge);
        text += ',' + integerText(coil->turns);
        text += ',' + csvNumber(coil->length);
        text += evaluated ? ",1\n" : ",0\n";
    }
    return text;
}

std::string generationCsvRow(const GenerationRow& row) {
    std::string text = integerText(row.generation);
    text += ',' + integerText(static_cast<long long>(row.tested));
    for (const double best : row.best) text += ',' + (best != kNoValue ? csvNumber(best) : std::string());
    text += ',' + integerText(row.library);
    text += ',' + integerText(row.rejects);
    text += ',' + csvNumber(row.elapsed);
    text += '\n';
    return text;
}

bool writeCsvFile(const char* path, const std::string& text, std::string& error) {
    OutFile file;
    if (!openOutFile(file, path)) {
        const int reason = errno;
        error = std::string(path) + " fails because " + outFileErrorText(path, reason) + "\nCouldn't open " + path +
                " for output\n";
        return false;
    }
    errno = 0;
    bool written = std::fwrite(text.data(), 1, text.size(), file.stream) == text.size();
    if (!written) {
        const int reason = errno != 0 ? errno : EIO;
        abandonOutFile(file);
        errno = reason;
    } else {
        written = commitOutFile(file);
    }
    if (!written) {
        const int reason = errno;
        error = std::string(path) + " fails because " + std::strerror(reason) + "\nCouldn't write " + path + "\n";
    }
    return written;
}

// The test coil file: one measured coil per line, seven comma-separated fields.
#include "coils/readind.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "coils/coilhints.h"
#include "coils/fieldcheck.h"
#include "coils/tablehints.h"
#include "coils/storage.h"
#include "common/fatal.h"
#include "common/infile.h"
#include "common/warnlimit.h"

InductorRecord* theInductors = nullptr;

namespace {

constexpr int kLineBufferSize = 80;  // one read takes at most 79 characters
constexpr const char* kFieldDelimiters = ",\n";
constexpr const char* kNameDelimiters = " ,\n";
constexpr const char* kLinePrefix = "%s (%s:%d) At line %d in %s, ";

// A value as the warnings show it: every digit it has.
std::string shownDouble(double value) {
    char text[40];
    std::snprintf(text, sizeof text, "%.15g", value);
    return text;
}

bool isSkipped(char first) {
    return (first >= 'A' && first <= 'Z') || (first >= 'a' && first <= 'z') || first == '/';
}

// Reads the next line as fgets does, with a carriage return that ends a line
// (before its newline, or at the end of the file) dropped, so that a file
// written with CR LF line ends reads exactly as its twin with LF alone: no
// carriage return in a coil's name, the same line lengths and line numbers.
bool readLine(char* buffer, int size, FILE* file) {
    if (std::fgets(buffer, size, file) == nullptr) return false;
    const size_t length = std::strlen(buffer);
    if (length >= 2 && buffer[length - 2] == '\r' && buffer[length - 1] == '\n') {
        buffer[length - 2] = '\n';
        buffer[length - 1] = '\0';
    } else if (length >= 1 && buffer[length - 1] == '\r') {
        // The buffer filled up right after the carriage return, or the file
        // ends there: the newline, if it comes next, belongs to this line.
        const int next = std::getc(file);
        if (next == '\n') {
            buffer[length - 1] = '\n';
        } else if (next == EOF) {
            buffer[length - 1] = '\0';
        } else {
            std::ungetc(next, file);
        }
    }
    return true;
}

struct CoilReader {
    FILE* file;
    const char* path;
    int line;
    CoilPiece piece;  // the read under way, as read
    std::string noNumber;  // the sentence on a field of the line that holds no number, if any
    std::vector<std::string> partlyRead;  // the warnings on the line's fields read in part

    // True when nothing follows in the file.
    bool atEnd() const {
        const int next = std::getc(file);
        if (next == EOF) return true;
        std::ungetc(next, file);
        return false;
    }

    // Notes a new read; `newLine`: it begins a line of the file.
    void begin(const char* buffer, bool newLine) {
        if (newLine) ++piece.line;
        piece.continues = !newLine;
        piece.text = buffer;
        const bool ended = !piece.text.empty() && piece.text.back() == '\n';
        piece.longLine = piece.continues || (!ended && piece.text.size() == kLineBufferSize - 1);
    }

    template <typename... Values>
    [[noreturn]] void fail(int number, const char* what, Values... values) {
        piece.last = atEnd();
        std::fclose(file);
        // What a field held matters only when the line's shape does not
        // explain the failure already.
        const std::string hint = coilLineHint(piece, path);
        if (hint.empty()) warnAboutPartlyRead();
        reportWarningsLeftOut();
        if (!hint.empty()) reportMistake("%s", hint.c_str());
        if (hint.empty() && !noNumber.empty())
            reportMistake("At line %d in %s, %s", piece.line, path, noNumber.c_str());
        std::fprintf(stderr, kLinePrefix, "readind", "readTestInductors", number, line, path);
        if constexpr (sizeof...(Values) == 0) {
            std::fputs(what, stderr);
        } else {
            std::fprintf(stderr, what, values...);
        }
        fatalExit();
    }

    // The next field token, or the field's "missing" message.
    const char* field(const char* delimiters, int number, const char* missing) {
        const char* token = std::strtok(nullptr, delimiters);
        if (token == nullptr) fail(number, missing);
        return token;
    }

    // A measured inductance of 0 or one that is not a finite number is
    // accepted, but it spoils the fit or leaves the coil out of it.
    void warnAboutMeasured(double measured) const {
        if (measured == 0 || !std::isfinite(measured))
            if (!warningShown("measured inductances of 0 or not finite")) return;
        if (measured == 0) {
            std::fprintf(stderr,
                         "Warning: at line %d in %s, the measured inductance is 0: every set's goodness is "
                         "infinite, so the fit cannot tell sets apart\n",
                         piece.line, path);
        } else if (!std::isfinite(measured)) {
            std::fprintf(stderr,
                         "Warning: at line %d in %s, the measured inductance is %g: the coil counts in no "
                         "goodness\n",
                         piece.line, path, measured);
        }
    }

    // A coil name ends at a blank or comma; what follows it is ignored.
    void warnAboutExtraText() const {
        const std::string extra = textAfterName(piece.text);
        if (extra.empty() || !warningShown("lines with text after the coil name")) return;
        clearForMessage();
        std::fprintf(stderr,
                     "Warning: at line %d in %s, the line has more than 7 fields; `%s` after the coil name is "
                     "ignored (a name ends at a blank or a comma)\n",
                     piece.line, path, extra.c_str());
    }

    // A quoted name keeps its quotes.
    void warnAboutQuotedName(const char* name) const {
        const std::string warning = quotedNameWarning(name, piece.line, path);
        if (warning.empty() || !warningShown("coil names in quotes")) return;
        clearForMessage();
        std::fputs(warning.c_str(), stderr);
    }

    // The rest of a long coil line that begins with a letter is skipped,
    // which cuts the coil's name short.
    void warnAboutCutLine() const {
        std::string rest = piece.text;
        if (!rest.empty() && rest.back() == '\n') rest.pop_back();
        if (!warningShown("lines cut short")) return;
        clearForMessage();
        std::fprintf(stderr,
                     "Warning: at line %d in %s, the line is longer than %d characters; its rest, from `%s`, "
                     "is ignored\n",
                     piece.line, path, kLineBufferSize - 1, rest.c_str());
    }

    // Says what was read from a field that is not wholly a number: a warning
    // on a field read in part, and on one that holds none, a sentence kept
    // for the line's failure.
    void checkField(CoilField which, const char* token, const char* end, const std::string& value) {
        std::string warning = fieldReadInPart({path, piece.line, coilFieldName(which)}, which, token, end, value);
        if (!warning.empty()) partlyRead.push_back(std::move(warning));
        if (noNumber.empty()) noNumber = noNumberSentence(which, token, end);
    }

    void warnAboutPartlyRead() {
        for (const std::string& warning : partlyRead) reportPartlyRead(warning);
        partlyRead.clear();
    }

    // A length that must be greater than 0; NaN is refused too.
    double positive(CoilField which, int missingNumber, const char* missing, int badNumber, const char* bad) {
        const char* token = field(kFieldDelimiters, missingNumber, missing);
        char* end = nullptr;
        const double value = std::strtod(token, &end);
        checkField(which, token, end, shownDouble(value));
        if (!(value > 0)) fail(badNumber, bad, value);
        return value;
    }

    // Decimal integers keep the low 32 bits of the (saturated) 64-bit value.
    int32_t integer(CoilField which, int missingNumber, const char* missing) {
        const char* token = field(kFieldDelimiters, missingNumber, missing);
        char* end = nullptr;
        const auto value = static_cast<int32_t>(static_cast<uint32_t>(std::strtol(token, &end, 10)));
        checkField(which, token, end, std::to_string(value));
        return value;
    }

    // A measured inductance that holds no number is read as 0 and accepted.
    void warnAboutNoNumber() {
        if (noNumber.empty() || !warningShown("fields that hold no number")) return;
        clearForMessage();
        std::fprintf(stderr, "Warning: at line %d in %s, %s\n", piece.line, path, noNumber.c_str());
    }

    // The line is read into a local record and only a complete coil takes a
    // record of its own, so a faulty line leaves nothing behind.
    void readCoil(char* buffer) {
        InductorRecord parsed{};
        noNumber.clear();
        partlyRead.clear();
        const char* first = std::strtok(buffer, kFieldDelimiters);
        if (first == nullptr) fail(69, "no data\n");
        char* end = nullptr;
        parsed.measuredInductance = std::strtod(first, &end);
        checkField(CoilField::measured, first, end, shownDouble(parsed.measuredInductance));
        parsed.radius = positive(CoilField::radius, 80, "missing radius\n", 88, "radius %g bad\n");
        parsed.wire = positive(CoilField::wire, 99, "missing wire radius\n", 107, "wire radius %g bad\n");
        parsed.gauge = integer(CoilField::gauge, 117, "missing wire gauge\n");
        if (parsed.gauge < 1 || parsed.gauge > 32) fail(125, "wire gauge %d bad\n", parsed.gauge);
        parsed.turns = integer(CoilField::turns, 135, "missing number of turns\n");
        if (parsed.turns < 1) fail(143, "number of turns  %d bad\n", parsed.turns);
        parsed.length = positive(CoilField::length, 153, "missing length\n", 161, "length %g bad\n");
        parsed.fileName = strdup(field(kNameDelimiters, 171, "missing file name\n"));
        if (parsed.fileName == nullptr) fatal("Out of space for anInductor\n");
        warnAboutPartlyRead();
        warnAboutNoNumber();
        warnAboutMeasured(parsed.measuredInductance);
        warnAboutExtraText();
        warnAboutQuotedName(parsed.fileName);
        InductorRecord* coil = newInductor();
        *coil = parsed;
        coil->next = theInductors;
        theInductors = coil;
    }
};

}  // namespace

void readTestInductors(const char* path) {
    const char* reason = nullptr;
    FILE* file = openInputFile(path, &reason);
    if (file == nullptr) {
        reportCause(path, reason);
        fatal("%s (%s:%d) Couldn't open %s\n", "readind", "readTestInductors", 46, path);
    }
    skipByteOrderMark(file);
    CoilReader reader{file, path, 0, {}, {}, {}};
    char buffer[kLineBufferSize];
    bool newLine = true;
    bool dataLine = false;  // the line under way began as a data line
    while (readLine(buffer, sizeof buffer, file)) {
        ++reader.line;
        reader.begin(buffer, newLine);
        if (newLine) dataLine = false;
        const size_t length = std::strlen(buffer);
        newLine = length > 0 && buffer[length - 1] == '\n';
        if (isSkipped(buffer[0])) {
            if (reader.piece.continues && dataLine) reader.warnAboutCutLine();
            dataLine = false;
            continue;
        }
        dataLine = true;
        reader.readCoil(buffer);
    }
    if (const char* failure = inputReadFailure(file)) {
        std::fclose(file);
        reportWarningsLeftOut();
        reportCause(path, failure);
        fatal("%s (%s:%d) Couldn't open %s\n", "readind", "readTestInductors", 46, path);
    }
    std::fclose(file);
    reportWarningsLeftOut();
}

std::vector<const InductorRecord*> coilsInFileOrder() {
    std::vector<const InductorRecord*> coils;
    for (const InductorRecord* coil = theInductors; coil != nullptr; coil = coil->next) coils.push_back(coil);
    std::reverse(coils.begin(), coils.end());
    return coils;
}

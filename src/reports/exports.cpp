// Exports of the ranked coil list with the computed inductances: a C source
// table and a script. Neither is read back by this program.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/fatal.h"
#include "common/outfile.h"
#include "common/version.h"
#include "reports/exports.h"

namespace {

// Opens an export file, announces it and writes the common comment block.
// An export that cannot be opened is reported and skipped; the run goes on.
// The caller tells a failure in its exit status.
FILE* openExport(OutFile& file, const char* path) {
    if (!openOutFile(file, path)) {
        reportCause(path, outFileErrorText(path, errno));
        std::fprintf(stderr, "Couldn't open %s for output\n", path);
        return nullptr;
    }
    FILE* out = file.stream;
    std::printf("Writing inductor results to %s\n", path);
    std::fprintf(out,
                 "/* Title: %s\n   Author: quelmo V%d.%02d.%03d\n"
                 "   Description: Inductor table of results from a set of equations.\n*/\n\n",
                 path, kVersionMajor, kVersionMinor, kVersionPatch);
    return out;
}

// A write that failed on the way (a full disk) is reported, and the file
// that was there before stays as it was.
bool closeExport(OutFile& file, const char* path) {
    if (commitOutFile(file)) return true;
    reportCause(path, std::strerror(errno));
    std::fprintf(stderr, "Couldn't write %s\n", path);
    return false;
}

}  // namespace

bool CforTamblix(const char* path, const char* name, const InductorRecord* list) {
    OutFile file;
    FILE* out = openExport(file, path);
    if (out == nullptr) return false;
    std::fputs("#include <stdio.h>\n#include <stdlib.h>\n#include <stdint.h>\n#include \"tamblix.h\"\n\n",
               out);
    std::fprintf(out, "NearTable %s[] = {\n", name != nullptr ? name : "???");
    for (const InductorRecord* coil = list; coil != nullptr; coil = coil->next) {
        std::fprintf(out,
                     "  {.measuredInductance = %g,\n"
                     "   .computedInductance = %g,\n"
                     "   .radius = %g,\n"
                     "   .length = %g,\n"
                     "   .wire = %g,\n"
                     "   .turns = %d}",
                     measuredAsGiven(coil), coil->computedInductance, coil->radius, coil->length,
                     coil->wire, coil->turns);
        std::fputs(coil->next != nullptr ? ",\n" : "};\n", out);
    }
    if (list == nullptr) std::fputs("};\n", out);
    std::fputs("\n\n\n// EOF\n", out);
    return closeExport(file, path);
}

bool jaForSorvane(const char* path, const char* name, const InductorRecord* list) {
    OutFile file;
    FILE* out = openExport(file, path);
    if (out == nullptr) return false;
    // An unset variable name is written as the C table writes an unset table name.
    const char* var = name != nullptr ? name : "???";
    int count = 0;
    for (const InductorRecord* coil = list; coil != nullptr; coil = coil->next) ++count;
    std::fprintf(out, "%s = genericVector(%d);\n", var, count);
    int i = 0;
    for (const InductorRecord* coil = list; coil != nullptr; coil = coil->next, ++i) {
        std::fprintf(out, "\n//////////////////// %d ////////////////////\n", i);
        std::fprintf(out, "%s[%d] = newInductor();\n", var, i);
        std::fprintf(out, "%s[%d].measuredInductance = %g;\n", var, i, measuredAsGiven(coil));
        std::fprintf(out, "%s[%d].computedInductance = %g;\n", var, i, coil->computedInductance);
        std::fprintf(out, "%s[%d].radius = %g;\n", var, i, coil->radius);
        std::fprintf(out, "%s[%d].length = %g;\n", var, i, coil->length);
        std::fprintf(out, "%s[%d].wire = %g;\n", var, i, coil->wire);
        std::fprintf(out, "%s[%d].turns = %d;\n", var, i, coil->turns);
    }
    std::fputs("end;\n", out);
    return closeExport(file, path);
}

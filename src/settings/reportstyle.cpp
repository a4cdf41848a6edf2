// The setting `reportstyle`.
#include "settings/reportstyle.h"

#include <strings.h>

#include <string>

#include "common/fatal.h"
#include "settings/symtab.h"

namespace {

std::string coilFile;

}  // namespace

ReportStyle chosenReportStyle() {
    const char* name = S[kReportStyle].value.s;
    if (name == nullptr || strcasecmp(name, "classic") == 0) return ReportStyle::classic;
    if (strcasecmp(name, "si") == 0) return ReportStyle::si;
    fatal("Setting reportstyle is %s, known styles are classic and si\n", name);
}

void rememberCoilFile(const char* path) { coilFile = path; }
const char* coilFilePath() { return coilFile.c_str(); }

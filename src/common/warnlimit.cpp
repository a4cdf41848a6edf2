// A limit on warnings of one kind.
#include "common/warnlimit.h"

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "common/fatal.h"

namespace {

// The kinds met since the counts were last reported, in the order met, with
// the number of warnings of each.
std::vector<std::pair<std::string, long>>& counts() {
    static std::vector<std::pair<std::string, long>> kinds;
    return kinds;
}

}  // namespace

bool warningShown(const char* kind) {
    for (auto& [name, count] : counts())
        if (name == kind) return ++count <= kWarningsShown;
    counts().emplace_back(kind, 1);
    return true;
}

void reportWarningsLeftOut() {
    for (const auto& [name, count] : counts()) {
        if (count <= kWarningsShown) continue;
        clearForMessage();
        std::fprintf(stderr, "Warning: \xE2\x80\xA6 and %ld more such warnings (%s)\n", count - kWarningsShown,
                     name.c_str());
    }
    counts().clear();
}

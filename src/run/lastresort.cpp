// The last resort for an exception that nothing caught.
#include "run/lastresort.h"

#include <cstdio>
#include <cstdlib>
#include <exception>

#include "common/fatal.h"

namespace {

[[noreturn]] void lastResort() {
    std::fflush(stdout);
    clearForMessage();
    const char* cause = "an unknown exception";
    if (const std::exception_ptr thrown = std::current_exception()) {
        try {
            std::rethrow_exception(thrown);
        } catch (const std::exception& error) {
            cause = error.what();
        } catch (...) {
        }
    } else {
        cause = "a failure with no exception";
    }
    std::fprintf(stderr, "Internal error: %s; the run ends here, files written before are kept\n", cause);
    std::fflush(stderr);
    // No exit handlers: the state they would work on is not to be trusted.
    std::_Exit(255);
}

}  // namespace

void installLastResort() { std::set_terminate(lastResort); }

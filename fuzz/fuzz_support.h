// What the libFuzzer harnesses share: the input as a file the readers can
// open, the clean-up between inputs, and a check of every grid walk this CPU
// runs against the plain literal walk.
//
// The library is built with QUELMO_FUZZ_HOOKS here, so a reader's fatal error
// throws FatalError (see fatal.h) while a FatalThrowing lives; a harness catches
// it, cleans up and goes on with the next input. LeakSanitizer then reports
// anything a failing reader left behind, an open FILE included.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "coils/readind.h"
#include "coils/storage.h"
#include "common/fatal.h"
#include "gridsearch_reference.h"
#include "settings/symtab.h"
#include "testhooks.h"
#include "grid/gridsearch.h"

namespace fuzz {

// A copy of standard error taken before libFuzzer may close it (its option
// -close_fd_mask=2 silences the readers' messages), for the harnesses' own.
inline int diagnostics = 2;

// Standard output goes to /dev/null (the ranges reader lists the settings),
// and fatal errors throw.
inline void setUp() {
    diagnostics = dup(2);
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
    // Fatal errors throw for the rest of the harness's life.
    static const FatalThrowing throwing;
}

// Ends the run as a finding, with a message.
[[noreturn]] inline void fail(const char* message) {
    dprintf(diagnostics, "%s\n", message);
    std::abort();
}

// The input as a file in memory, reached through /proc/self/fd: the readers
// take a path and open it themselves, as they do in a run.
class InputFile {
public:
    InputFile() {
        fd_ = memfd_create("quelmo-fuzz-input", 0);
        if (fd_ < 0) std::abort();
        std::snprintf(path_, sizeof path_, "/proc/self/fd/%d", fd_);
    }
    const char* hold(const uint8_t* data, size_t size) {
        if (ftruncate(fd_, 0) != 0) std::abort();
        size_t done = 0;
        while (done < size) {
            const ssize_t n = pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
            if (n <= 0) std::abort();
            done += static_cast<size_t>(n);
        }
        return path_;
    }

private:
    int fd_;
    char path_[64];
};

// The lowest file descriptor not in use. A file a reader leaves open keeps
// its descriptor, so this number changes across the read; LeakSanitizer alone
// would not see such a stream, which the C library keeps on a list.
inline int lowestFreeDescriptor() {
    const int fd = dup(2);
    if (fd < 0) std::abort();
    close(fd);
    return fd;
}

// Frees what the readers hand over to the run (string settings, coils) and
// restores the tables.
inline void releaseInputs() {
    for (SymbolEntry& entry : S)
        if (entry.type == symString) std::free(entry.value.s);
    resetTables();
    while (theInductors != nullptr) {
        InductorRecord* coil = theInductors;
        theInductors = coil->next;
        std::free(coil->fileName);
        std::free(coil);
    }
}

// A good fit of the example coils.
inline constexpr double kFit[kCoefficientCount] = {-8.73e-6, 0.00996, 1.985, -4.98, 1,    427.9, -3.36e5, -2.14,
                                                   0.250,    1,       -9.1e-4, 0.00650, 1, -2.24, -0.27};

// Small windows around any centre: coefficient k gets one of 4 values,
// spaced 1 % of the fit's magnitude, where bit k of `open` is set, and at
// most three windows fit under the cap (64 points).
inline void setSmallWindows(int32_t open) {
    for (int k = 0; k < kCoefficientCount; ++k) {
        RangeEntry& range = R[k];
        range.low = -1e300;
        range.high = 1e300;
        range.minorInc = kFit[k] < 0 ? -0.01 * kFit[k] : 0.01 * kFit[k];
        range.mcount = (open >> k) & 1 ? 4 : 1;
    }
    S[kMinorMax].value.i = 65;
}

// Runs every grid walk this CPU supports in both offer orders and aborts,
// which the fuzzer reports, unless each returns the literal walk's 144 bytes.
inline void checkWalks(const InductorRecord* coils, const ResultRecord& candidate) {
    for (uint8_t order : {uint8_t{0}, uint8_t{1}}) {
        swapper = order;
        ResultRecord* expected = reference::runMajor(coils, &candidate);
        for (GridPath path : {GridPath::scalar, GridPath::avx2, GridPath::avx512}) {
            if (!gridPathSupported(path)) continue;
            swapper = order;
            ResultRecord* actual = runMajorOn(path, coils, &candidate);
            if (std::memcmp(expected, actual, sizeof(ResultRecord)) != 0) {
                dprintf(diagnostics, "the %s walk differs from the literal walk\n", gridPathName(path));
                std::abort();
            }
            freeResult(actual);
        }
        freeResult(expected);
    }
}

}  // namespace fuzz

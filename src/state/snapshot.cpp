// Snapshots: encoding, reading and checking, applying, and the durable
// background write. The layout is described in snapshot.h.
#include "state/snapshot.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <strings.h>

#include "coils/storage.h"
#include "common/fatal.h"
#include "common/outfile.h"
#include "search/library.h"
#include "search/operators.h"
#include "search/searchstate.h"
#include "search/sort.h"
#include "state/crc32c.h"
#include "workers/dispatch.h"
#include "workers/process.h"

namespace {

constexpr char kMagic[8] = {'Q', 'L', 'M', 'S', 'T', 'A', 'T', 'E'};
constexpr size_t kHeaderSize = 24;     // magic, version, flags, length
constexpr size_t kChecksumSize = 4;
constexpr uint32_t kEndedFlag = 1;
constexpr size_t kRecordSize = 8 + 8 * kCoefficientCount + 4;   // goodness, coefficients, mask
constexpr size_t kLibraryEntrySize = 4 + 8 * kCoefficientCount;  // mask, coefficients
// generation, lastgen, tested, lastTested, libCnt, rejects, bestGoodness,
// accumSeconds, accumCnt, goodDir direction
constexpr size_t kCounterSize = 4 + 4 + 8 + 8 + 8 + 8 + 8 + 8 + 4 + 1;

// Writes fields in little-endian order into a buffer sized beforehand.
class Encoder {
public:
    explicit Encoder(uint8_t* out) : p_(out) {}
    uint8_t* position() const { return p_; }
    void u8(uint8_t v) { *p_++ = v; }
    void u32(uint32_t v) {
        for (int i = 0; i < 4; ++i) *p_++ = static_cast<uint8_t>(v >> (8 * i));
    }
    void u64(uint64_t v) {
        for (int i = 0; i < 8; ++i) *p_++ = static_cast<uint8_t>(v >> (8 * i));
    }
    void i32(int32_t v) { u32(static_cast<uint32_t>(v)); }
    void i64(int64_t v) { u64(static_cast<uint64_t>(v)); }
    void f64(double v) { u64(std::bit_cast<uint64_t>(v)); }
    void record(const ResultRecord& r) {
        f64(r.goodness);
        for (double c : r.coefficients) f64(c);
        i32(r.changeMask);
    }

private:
    uint8_t* p_;
};

// Reads fields in little-endian order; reading past the end sets `failed`
// and yields zeros.
class Decoder {
public:
    Decoder(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
    bool failed() const { return failed_; }
    size_t left() const { return static_cast<size_t>(end_ - p_); }
    const uint8_t* position() const { return p_; }
    void skip(size_t size) {
        if (take(size) == nullptr) failed_ = true;
    }
    uint8_t u8() {
        const uint8_t* p = take(1);
        return p != nullptr ? *p : 0;
    }
    uint32_t u32() {
        const uint8_t* p = take(4);
        uint32_t v = 0;
        if (p != nullptr)
            for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(p[i]) << (8 * i);
        return v;
    }
    uint64_t u64() {
        const uint8_t* p = take(8);
        uint64_t v = 0;
        if (p != nullptr)
            for (int i = 0; i < 8; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
        return v;
    }
    int32_t i32() { return static_cast<int32_t>(u32()); }
    int64_t i64() { return static_cast<int64_t>(u64()); }
    double f64() { return std::bit_cast<double>(u64()); }
    ResultRecord record() {
        ResultRecord r{};
        r.goodness = f64();
        for (double& c : r.coefficients) c = f64();
        r.changeMask = i32();
        return r;
    }
    // True when `count` items of `size` bytes can still be read.
    bool has(uint64_t count, size_t size) const { return count <= left() / size; }

private:
    const uint8_t* take(size_t size) {
        if (failed_ || left() < size) {
            failed_ = true;
            return nullptr;
        }
        const uint8_t* p = p_;
        p_ += size;
        return p;
    }
    const uint8_t* p_;
    const uint8_t* end_;
    bool failed_ = false;
};

ResultRecord libraryEntryAt(const uint8_t* p) {
    Decoder d(p, kLibraryEntrySize);
    ResultRecord r{};
    r.changeMask = d.i32();
    for (double& c : r.coefficients) c = d.f64();
    return r;
}

uint64_t settingBits(const SymbolEntry& entry) {
    switch (entry.type) {
    case symInt: return static_cast<uint64_t>(static_cast<int64_t>(entry.value.i));
    case symDouble: return std::bit_cast<uint64_t>(entry.value.d);
    case symLong: return static_cast<uint64_t>(entry.value.l);
    default: return 0;
    }
}

std::string settingText(uint8_t type, uint64_t bits) {
    char text[64];
    if (type == symDouble)
        std::snprintf(text, sizeof text, "%.17g", std::bit_cast<double>(bits));
    else
        std::snprintf(text, sizeof text, "%lld", static_cast<long long>(bits));
    return text;
}

// Compares the snapshot's settings with the run's; every setting but
// `resume` and the text settings (covered by the ranges file digest).
bool sameSettings(Decoder& d, std::string& cause) {
    const uint32_t count = d.u32();
    if (count != kSymbolCount) {
        cause = "it was made by a program with other settings";
        return false;
    }
    for (int index = 0; index < kSymbolCount; ++index) {
        const uint8_t type = d.u8();
        uint64_t bits = d.u64();
        const SymbolEntry& entry = S[index];
        if (d.failed()) break;
        if (type != entry.type) {
            cause = "it was made by a program with other settings";
            return false;
        }
        if (type == symString || index == kResume) continue;
        if (type == symInt) bits = static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(bits)));
        if (bits != settingBits(entry)) {
            cause = std::string("it was made with ") + entry.name + " " + settingText(type, bits) +
                    ", this run has " + settingText(type, settingBits(entry));
            return false;
        }
    }
    return true;
}

bool readWhole(int fd, uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t got = read(fd, data, size);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        data += got;
        size -= static_cast<size_t>(got);
    }
    return true;
}

bool readFileText(const char* path, std::string& text) {
    FILE* in = std::fopen(path, "rb");
    if (in == nullptr) return false;
    char buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, in)) > 0) text.append(buffer, got);
    const bool ok = std::ferror(in) == 0;
    std::fclose(in);
    return ok;
}

std::string truncatedCause(uint64_t size, uint64_t expected) {
    return "it is truncated (" + std::to_string(size) + " of " + std::to_string(expected) + " bytes)";
}

// The background write in progress, at most one.
struct PendingWrite {
    bool active = false;
    pthread_t thread{};
    pid_t owner = 0;
    OutFile file;
    std::vector<uint8_t> bytes;
    bool killBeforeRename = false;
    bool ok = true;
    int error = 0;
};
PendingWrite pending;
int writesBegun = 0;
// errno of a write that failed and has not yet been reported by endSnapshotWrite.
int unreportedError = 0;
// The buffer of the last write, for the next snapshot to encode into: a
// fresh buffer the size of a large library's snapshot costs a page fault
// for every 4 KiB.
std::vector<uint8_t> spareBuffer;

void keepBuffer() {
    spareBuffer = std::move(pending.bytes);
    pending.bytes = std::vector<uint8_t>();
}

// Waits for the write in progress, if any, and keeps its outcome.
void joinPending() {
    if (!pending.active) return;
    pthread_join(pending.thread, nullptr);
    pending.active = false;
    keepBuffer();
    if (!pending.ok) unreportedError = pending.error;
}

void* writeInBackground(void*) {
    bool ok = std::fwrite(pending.bytes.data(), 1, pending.bytes.size(), pending.file.stream) ==
              pending.bytes.size();
    int error = ok ? 0 : errno;
    if (pending.killBeforeRename) {
        // Test hook (QUELMO_TEST_KILL_IN_SNAPSHOT): dies as a crash would,
        // with the new snapshot complete under its temporary name and the
        // old one still in place.
        std::fflush(pending.file.stream);
        fsync(fileno(pending.file.stream));
        raise(SIGKILL);
    }
    if (!commitOutFile(pending.file, /*durable=*/true)) {
        if (ok) error = errno;
        ok = false;
    }
    pending.ok = ok;
    pending.error = error;
    return nullptr;
}

// The process ends only after the write in progress, so a snapshot being
// written at exit is completed rather than left under its temporary name.
void finishWriteAtExit() {
    if (pending.active && pending.owner == getpid()) joinPending();
}

// Test hook: the number of the snapshot write (1 = first) that kills the
// process before its rename, from QUELMO_TEST_KILL_IN_SNAPSHOT; 0: none.
int killInWrite() {
    static const int which = [] {
        const char* value = std::getenv("QUELMO_TEST_KILL_IN_SNAPSHOT");
        return value != nullptr ? std::atoi(value) : 0;
    }();
    return which;
}

}  // namespace

uint64_t digestBytes(const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    uint64_t h = 0xCBF29CE484222325ULL;
    for (size_t i = 0; i < size; ++i) h = (h ^ p[i]) * 0x100000001B3ULL;
    return h;
}

uint64_t rangesDigest(const std::string& text) {
    // The reader takes a line 255 characters at a time and skips comment
    // lines; its first token ends at a blank, a comma, a newline or a NUL.
    constexpr size_t kChunk = 255;
    std::string kept;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        if (end - at > kChunk) end = at + kChunk;
        const std::string_view line(text.data() + at, end - at);
        at = end;
        bool setsResume = false;
        if (line[0] != '/' && line[0] != '#') {
            size_t first = 0;
            while (first < line.size() && (line[first] == ' ' || line[first] == ',' || line[first] == '\n')) ++first;
            size_t last = first;
            while (last < line.size() && line[last] != ' ' && line[last] != ',' && line[last] != '\n' &&
                   line[last] != '\0')
                ++last;
            setsResume = last - first == 6 && strncasecmp(line.data() + first, "resume", 6) == 0;
        }
        if (!setsResume) kept.append(line);
    }
    return digestBytes(kept.data(), kept.size());
}

bool digestCoilFile(const char* path, uint64_t& digest) {
    std::string text;
    if (!readFileText(path, text)) return false;
    digest = digestBytes(text.data(), text.size());
    return true;
}

bool digestRangesFile(const char* path, uint64_t& digest) {
    std::string text;
    if (!readFileText(path, text)) return false;
    digest = rangesDigest(text);
    return true;
}

std::vector<uint8_t> encodeSnapshot(const SnapshotInputs& inputs, int32_t generation, bool ended) {
    const std::vector<const ResultRecord*>& library = libraryEntries();
    uint32_t members = 0;
    for (const ResultRecord* m = collected; m != nullptr; m = m->next) ++members;
    const int workers = workerCount();
    const int jobs = outstandingCount();
    constexpr size_t kRangeSize = 4 * 8 + 2 * 4;
    const size_t length = kHeaderSize + 2 * 8 + 4 + kSymbolCount * 9 + kCounterSize + 4 +
                          kRandomStateWords * 8 + kCoefficientCount * kRangeSize + 4 + members * kRecordSize + 4 +
                          static_cast<size_t>(workers) + 4 + static_cast<size_t>(jobs) * (4 + kRecordSize) + 8 +
                          library.size() * kLibraryEntrySize + kChecksumSize;
    std::vector<uint8_t> out = std::move(spareBuffer);
    spareBuffer = std::vector<uint8_t>();
    out.resize(length);
    Encoder e(out.data());
    for (char c : kMagic) e.u8(static_cast<uint8_t>(c));
    e.u32(kSnapshotVersion);
    e.u32(ended ? kEndedFlag : 0);
    e.u64(length);
    e.u64(inputs.coilDigest);
    e.u64(inputs.rangesDigest);

    e.u32(kSymbolCount);
    for (const SymbolEntry& entry : S) {
        e.u8(entry.type);
        e.u64(settingBits(entry));
    }

    e.i32(generation);
    e.i32(lastgen);
    e.u64(tested);
    e.u64(lastTested);
    e.i64(libCnt);
    e.i64(rejects);
    e.f64(bestGoodness);
    e.f64(accumSeconds);
    e.u32(accumCnt);
    e.u8(goodDirUp() ? 1 : 0);

    const RandomState random = saveRandomState();
    e.u32(static_cast<uint32_t>(random.index));
    for (uint64_t word : random.words) e.u64(word);

    for (const RangeEntry& range : R) {
        e.f64(range.low);
        e.f64(range.high);
        e.f64(range.resolution);
        e.i32(range.steps);
        e.f64(range.minorInc);
        e.i32(range.mcount);
    }

    e.u32(members);
    for (const ResultRecord* m = collected; m != nullptr; m = m->next) e.record(*m);

    e.u32(static_cast<uint32_t>(workers));
    for (int slot = 0; slot < workers; ++slot) e.u8(workerPhase(slot));

    e.u32(static_cast<uint32_t>(jobs));
    for (int i = 0; i < jobs; ++i) {
        e.u32(static_cast<uint32_t>(outstandingSlot(i)));
        e.record(*outstandingCandidate(i));
    }

    e.u64(library.size());
    for (const ResultRecord* entry : library) {
        e.i32(entry->changeMask);
        for (double c : entry->coefficients) e.f64(c);
    }

    e.u32(crc32c(out.data(), length - kChecksumSize));
    if (e.position() != out.data() + length) fatal("%s (%s:%d) should never happen\n", "snapshot", "encodeSnapshot", 1);
    return out;
}

bool readSnapshot(const char* path, const SnapshotInputs& inputs, Snapshot& snapshot, std::string& cause) {
    // Non-blocking, so that a FIFO is reported instead of waited on.
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        cause = errno == ENOENT ? "it does not exist" : std::string("it cannot be read (") + std::strerror(errno) + ")";
        return false;
    }
    struct stat info;
    const bool statted = fstat(fd, &info) == 0;
    if (!statted || !S_ISREG(info.st_mode)) {
        const int error = !statted ? errno : S_ISDIR(info.st_mode) ? EISDIR : 0;
        cause = error != 0 ? std::string("it cannot be read (") + std::strerror(error) + ")" : "it is not a plain file";
        close(fd);
        return false;
    }
    const uint64_t size = static_cast<uint64_t>(info.st_size);

    uint8_t header[kHeaderSize] = {};
    const size_t headerBytes = size < kHeaderSize ? static_cast<size_t>(size) : kHeaderSize;
    if (!readWhole(fd, header, headerBytes)) {
        cause = std::string("it cannot be read (") + std::strerror(errno != 0 ? errno : EIO) + ")";
        close(fd);
        return false;
    }
    const size_t magicBytes = headerBytes < sizeof kMagic ? headerBytes : sizeof kMagic;
    if (std::memcmp(header, kMagic, magicBytes) != 0 || size == 0) {
        cause = size == 0 ? "it is empty" : "it is not a quelmo snapshot";
        close(fd);
        return false;
    }
    if (size < kHeaderSize) {
        cause = truncatedCause(size, kHeaderSize);
        close(fd);
        return false;
    }
    Decoder h(header, kHeaderSize);
    h.skip(sizeof kMagic);
    const uint32_t version = h.u32();
    const uint32_t flags = h.u32();
    const uint64_t length = h.u64();
    if (version != kSnapshotVersion) {
        cause = "it has format version " + std::to_string(version) + ", this program reads version " +
                std::to_string(kSnapshotVersion);
        close(fd);
        return false;
    }
    if (size < length) {
        cause = truncatedCause(size, length);
        close(fd);
        return false;
    }
    if (size > length || length < kHeaderSize + kChecksumSize) {
        cause = "it is corrupted (its length does not match its header)";
        close(fd);
        return false;
    }

    std::vector<uint8_t>& bytes = snapshot.bytes;
    bytes.assign(header, header + kHeaderSize);
    bytes.resize(length);
    const bool complete = readWhole(fd, bytes.data() + kHeaderSize, length - kHeaderSize);
    const int readError = errno;
    close(fd);
    if (!complete) {
        cause = std::string("it cannot be read (") + std::strerror(readError != 0 ? readError : EIO) + ")";
        return false;
    }
    Decoder tail(bytes.data() + length - kChecksumSize, kChecksumSize);
    if (crc32c(bytes.data(), length - kChecksumSize) != tail.u32()) {
        cause = "it is corrupted (checksum mismatch)";
        return false;
    }

    Decoder d(bytes.data() + kHeaderSize, length - kHeaderSize - kChecksumSize);
    snapshot.ended = (flags & kEndedFlag) != 0;
    if (d.u64() != inputs.coilDigest) {
        cause = "it was made from another coil file than " + inputs.coilPath;
        return false;
    }
    const uint64_t ranges = d.u64();
    if (!sameSettings(d, cause)) return false;
    if (ranges != inputs.rangesDigest) {
        cause = "it was made from another ranges file than " + inputs.rangesPath;
        return false;
    }

    snapshot.generation = d.i32();
    snapshot.lastgen = d.i32();
    snapshot.tested = d.u64();
    snapshot.lastTested = d.u64();
    snapshot.libCnt = d.i64();
    snapshot.rejects = d.i64();
    snapshot.bestGoodness = d.f64();
    snapshot.accumSeconds = d.f64();
    snapshot.accumCnt = d.u32();
    snapshot.goodDirUp = d.u8() != 0;
    snapshot.random.index = static_cast<int32_t>(d.u32());
    for (uint64_t& word : snapshot.random.words) word = d.u64();
    for (RangeEntry& range : snapshot.ranges) {
        range.low = d.f64();
        range.high = d.f64();
        range.resolution = d.f64();
        range.steps = d.i32();
        range.minorInc = d.f64();
        range.mcount = d.i32();
    }

    const uint32_t members = d.u32();
    if (!d.has(members, kRecordSize)) {
        cause = "it is corrupted (population)";
        return false;
    }
    snapshot.population.clear();
    for (uint32_t i = 0; i < members; ++i) snapshot.population.push_back(d.record());

    const uint32_t workers = d.u32();
    if (!d.has(workers, 1)) {
        cause = "it is corrupted (workers)";
        return false;
    }
    snapshot.workerPhases.clear();
    for (uint32_t i = 0; i < workers; ++i) snapshot.workerPhases.push_back(d.u8());

    const uint32_t jobs = d.u32();
    if (!d.has(jobs, 4 + kRecordSize)) {
        cause = "it is corrupted (jobs)";
        return false;
    }
    snapshot.outstanding.clear();
    for (uint32_t i = 0; i < jobs; ++i) {
        const int32_t slot = static_cast<int32_t>(d.u32());
        snapshot.outstanding.push_back({slot, d.record()});
    }

    snapshot.libraryCount = d.u64();
    snapshot.libraryAt = static_cast<size_t>(d.position() - bytes.data());
    if (d.failed() || !d.has(snapshot.libraryCount, kLibraryEntrySize) ||
        d.left() != snapshot.libraryCount * kLibraryEntrySize) {
        cause = "it is corrupted (library)";
        return false;
    }

    // What the driver relies on: a usable random state, a population that
    // fills every rank the schedule reads, one phase per worker and at most
    // one saved job on each of them, one library entry per counted set.
    const int save = S[kSave].value.i;
    const auto count = static_cast<int64_t>(snapshot.population.size());
    const char* flaw = nullptr;
    if (snapshot.random.index < 0 || snapshot.random.index > kRandomStateWords + 1)
        flaw = "random state";
    else if (count < (snapshot.ended ? 1 : save) || count > save + 2)
        flaw = "population";
    else if (static_cast<int>(workers) != workerCount())
        flaw = "workers";
    else if (snapshot.libCnt != static_cast<int64_t>(snapshot.libraryCount))
        flaw = "library";
    for (uint8_t phase : snapshot.workerPhases)
        if (phase > 1) flaw = "workers";
    std::vector<bool> busy(workers, false);
    for (const SavedJob& job : snapshot.outstanding) {
        if (job.slot < 0 || job.slot >= static_cast<int32_t>(workers) || busy[static_cast<size_t>(job.slot)]) {
            flaw = "jobs";
            break;
        }
        busy[static_cast<size_t>(job.slot)] = true;
    }
    if (flaw != nullptr) {
        cause = std::string("it is corrupted (") + flaw + ")";
        return false;
    }
    return true;
}

bool applySnapshot(Snapshot& snapshot, std::string& cause) {
    gen = snapshot.generation;
    lastgen = snapshot.lastgen;
    tested = snapshot.tested;
    lastTested = snapshot.lastTested;
    bestGoodness = snapshot.bestGoodness;
    accumSeconds = snapshot.accumSeconds;
    accumCnt = snapshot.accumCnt;
    setGoodDirUp(snapshot.goodDirUp);
    restoreRandomState(snapshot.random);
    for (int k = 0; k < kCoefficientCount; ++k) {
        const char* name = R[k].name;
        R[k] = snapshot.ranges[k];
        R[k].name = name;
    }

    while (collected != nullptr) {
        ResultRecord* following = collected->next;
        freeResult(collected);
        collected = following;
    }
    ResultRecord** link = &collected;
    for (const ResultRecord& member : snapshot.population) {
        ResultRecord* record = cloneResult(&member);
        *link = record;
        link = &record->next;
    }

    // Stored again in the order they were first stored, the entries land in
    // the slots they held. Every one must be new: a repeat means the entries
    // are not what the run stored.
    const uint8_t* entry = snapshot.bytes.data() + snapshot.libraryAt;
    for (uint64_t i = 0; i < snapshot.libraryCount; ++i, entry += kLibraryEntrySize) {
        const ResultRecord candidate = libraryEntryAt(entry);
        if (doneAlready(&candidate)) {
            cause = "it is corrupted (library entry " + std::to_string(i) + " repeats an earlier one)";
            return false;
        }
    }
    libCnt = snapshot.libCnt;
    rejects = snapshot.rejects;
    std::vector<uint8_t>().swap(snapshot.bytes);
    return true;
}

bool beginSnapshotWrite(const std::string& path, std::vector<uint8_t>&& bytes) {
    joinPending();
    // The temporary file is made here, on the calling thread: making it
    // changes the process's umask for a moment.
    OutFile file;
    if (!openOutFile(file, path.c_str())) return false;
    static const bool registered = std::atexit(finishWriteAtExit) == 0;
    (void)registered;
    ++writesBegun;
    pending.file = file;
    pending.bytes = std::move(bytes);
    pending.killBeforeRename = killInWrite() == writesBegun;
    pending.ok = true;
    pending.error = 0;
    pending.owner = getpid();

    // The writer takes no signals: SIGINT and SIGTERM belong to the thread
    // that runs the search.
    sigset_t all;
    sigset_t kept;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &kept);
    const int started = pthread_create(&pending.thread, nullptr, writeInBackground, nullptr);
    pthread_sigmask(SIG_SETMASK, &kept, nullptr);
    if (started != 0) {
        // No thread: write here and now.
        writeInBackground(nullptr);
        keepBuffer();
        if (!pending.ok) unreportedError = pending.error;
        return true;
    }
    pending.active = true;
    return true;
}

bool endSnapshotWrite() {
    joinPending();
    const int error = unreportedError;
    unreportedError = 0;
    if (error == 0) return true;
    errno = error;
    return false;
}

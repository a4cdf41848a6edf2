// The snapshot file's building blocks, shared by the writer and the readers
// of both versions: an encoder that measures what it writes, a decoder that
// streams the file through a small buffer with a running CRC-32C, and the
// fields of the run state, each declared once for writing and reading alike.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "coils/storage.h"
#include "common/fatal.h"
#include "search/library.h"
#include "search/random.h"
#include "search/searchstate.h"
#include "search/sort.h"
#include "settings/symtab.h"
#include "state/snapshot_inputs.h"
#include "state/workerslots.h"

namespace snapshot {

inline constexpr char kMagic[8] = {'Q', 'L', 'M', 'S', 'T', 'A', 'T', 'E'};
inline constexpr size_t kHeaderSize = 24;  // magic, version, flags, length
inline constexpr size_t kChecksumSize = 4;
inline constexpr uint32_t kEndedFlag = 1;
inline constexpr size_t kRecordSize = 8 + 8 * kCoefficientCount + 4;   // goodness, coefficients, mask
inline constexpr size_t kJobSize = 4 + kRecordSize;                    // slot, record
inline constexpr size_t kLibraryEntrySize = 4 + 8 * kCoefficientCount;  // mask, coefficients
inline constexpr size_t kSettingSize = 1 + 1 + 8;  // name length, type, value; the name comes on top
// The duplicate library ends a run when it is full at 2^25 sets, so no
// snapshot holds more; nor does any program have this many settings.
inline constexpr uint64_t kMaxLibrarySets = uint64_t{1} << 25;
inline constexpr uint32_t kMaxSettings = 4096;
inline constexpr uint64_t kNoText = UINT64_MAX;

// Appends fields to a buffer, growing it as needed; what was written is
// measured, never summed beforehand.
class Encoder {
public:
    static constexpr bool writing = true;
    // Writes over `out` from its start, reusing its storage (a large fresh
    // buffer costs a page fault every 4 KiB); `out` ends where the writing did.
    explicit Encoder(std::vector<uint8_t>& out) : out_(out), data_(out.data()), size_(out.size()) {}
    ~Encoder() { out_.resize(used_); }
    Encoder(const Encoder&) = delete;
    Encoder& operator=(const Encoder&) = delete;

    size_t size() const { return used_; }
    const uint8_t* data() const { return data_; }
    // Decoder::fits for code shared by both: what is written always fits.
    bool fits(uint64_t, size_t, uint64_t) { return true; }
    // Makes room for `bytes` more at once, before a long run of fields.
    void room(size_t bytes) {
        if (size_ - used_ < bytes) grow(bytes);
    }
    void raw(const void* data, size_t size) {
        room(size);
        std::memcpy(data_ + used_, data, size);
        used_ += size;
    }
    // The next `bytes`, taken as written, for a SpanWriter to fill.
    uint8_t* take(size_t bytes) {
        room(bytes);
        uint8_t* at = data_ + used_;
        used_ += bytes;
        return at;
    }
    // The build is little-endian only (records.h): a value's memory image is
    // its encoding.
    void u8(uint8_t v) { raw(&v, 1); }
    void u32(uint32_t v) { raw(&v, 4); }
    void i32(int32_t v) { raw(&v, 4); }
    void u64(uint64_t v) { raw(&v, 8); }
    void i64(int64_t v) { raw(&v, 8); }
    void f64(double v) { raw(&v, 8); }
    void flag(bool v) { u8(v ? 1 : 0); }
    // A u64 length and the characters; a missing text as length 2^64 - 1.
    void text(const char* text) {
        const size_t length = text == nullptr ? 0 : std::strlen(text);
        u64(text == nullptr ? kNoText : length);
        if (length > 0) raw(text, length);
    }
    // A u8 length and the characters.
    void name(const std::string& text) {
        u8(static_cast<uint8_t>(text.size()));
        raw(text.data(), text.size());
    }
    void patch32(size_t at, uint32_t v) { std::memcpy(data_ + at, &v, 4); }
    void patch64(size_t at, uint64_t v) { std::memcpy(data_ + at, &v, 8); }

private:
    [[gnu::noinline]] void grow(size_t bytes) {
        const size_t needed = used_ + bytes;
        out_.resize(std::max<size_t>(needed + needed / 8, 4096));
        data_ = out_.data();
        size_ = out_.size();
    }
    std::vector<uint8_t>& out_;
    uint8_t* data_;
    size_t size_;  // bytes of out_ that may be written
    size_t used_ = 0;
};

// Writes fields into room taken from an Encoder beforehand, unchecked: for
// long runs of fields, such as the library's entries.
class SpanWriter {
public:
    static constexpr bool writing = true;
    explicit SpanWriter(uint8_t* at) : at_(at) {}
    const uint8_t* position() const { return at_; }
    void i32(int32_t v) { put(v); }
    void f64(double v) { put(v); }

private:
    template <typename T>
    void put(T v) {
        std::memcpy(at_, &v, sizeof v);
        at_ += sizeof v;
    }
    uint8_t* at_;
};

// Reads fields from bytes taken from a Decoder beforehand, unchecked: the
// counterpart of SpanWriter.
class SpanReader {
public:
    static constexpr bool writing = false;
    explicit SpanReader(const uint8_t* at) : at_(at) {}
    void i32(int32_t& v) { get(v); }
    void f64(double& v) { get(v); }

private:
    template <typename T>
    void get(T& v) {
        std::memcpy(&v, at_, sizeof v);
        at_ += sizeof v;
    }
    const uint8_t* at_;
};

// Reads fields from an open file through a fixed buffer, up to a limit set
// by the caller (a section's end); reading past it, or past what the file
// holds, fails. After a failure every read yields zeros.
class Decoder {
public:
    static constexpr bool writing = false;
    Decoder(int fd, uint64_t fileSize) : fd_(fd), fileSize_(fileSize), limit_(fileSize), buffer_(kBufferSize) {}
    // Reads `size` bytes in memory instead.
    Decoder(const uint8_t* bytes, size_t size)
        : fd_(-1), fileSize_(size), limit_(size), buffer_(bytes, bytes + size), filled_(size), fileOffset_(size) {}

    bool failed() const { return failed_; }
    // errno of a failed read of the file; 0 when the content was at fault.
    int readError() const { return readError_; }
    // Marks the content as faulty.
    void fail() { failed_ = true; }
    // Bytes consumed from the file.
    uint64_t offset() const { return fileOffset_ - (filled_ - at_); }
    void limitTo(uint64_t end) { limit_ = end < fileSize_ ? end : fileSize_; }
    uint64_t left() const { return limit_ > offset() ? limit_ - offset() : 0; }
    // The CRC-32C of the bytes consumed since the last restartCrc().
    uint32_t crc();
    void restartCrc();
    // Passes over `size` bytes, unread where they are not buffered.
    void skip(uint64_t size);

    void raw(void* out, size_t size);
    // The next `size` bytes (at most a buffer's worth) in the buffer, taken
    // as read, for a SpanReader to decode; null when they cannot be read.
    const uint8_t* take(size_t size);
    void u8(uint8_t& v) { raw(&v, 1); }
    void u32(uint32_t& v) { raw(&v, 4); }
    void i32(int32_t& v) { raw(&v, 4); }
    void u64(uint64_t& v) { raw(&v, 8); }
    void i64(int64_t& v) { raw(&v, 8); }
    void f64(double& v) { raw(&v, 8); }
    // A u8 that must be 0 or 1.
    void flag(bool& v) {
        uint8_t byte = 0;
        u8(byte);
        if (byte > 1) failed_ = true;
        v = byte == 1;
    }
    // A u8 length, at least 1, and as many printable ASCII characters.
    void name(std::string& text);
    // What Encoder::text wrote, as a heap copy (null for a missing text).
    void text(char*& text);

    // True when `count` items of `itemSize` bytes, at most `limit` of them,
    // fit in what is left: checked before anything is allocated for them.
    bool fits(uint64_t count, size_t itemSize, uint64_t limit) {
        if (count > limit || count > left() / itemSize) failed_ = true;
        return !failed_;
    }

private:
    static constexpr size_t kBufferSize = 65536;
    bool refill(size_t wanted);
    int fd_;
    uint64_t fileSize_;
    uint64_t limit_;
    std::vector<uint8_t> buffer_;
    size_t at_ = 0;      // next byte of the buffer to consume
    size_t filled_ = 0;  // bytes in the buffer
    size_t crcFrom_ = 0; // first buffered byte not yet in crc_
    uint64_t fileOffset_ = 0;
    uint32_t crc_ = 0;
    bool failed_ = false;
    int readError_ = 0;
};

// The fields of a snapshot. Each is written from the part of the run that
// owns it and read back into it: the search's counters (SearchCounters),
// the population (collected), the random source (randomSource), the range
// table R, the duplicate library and the worker slots (workerSlots). What
// no part of the run owns lives in Contents: the input digests, the
// settings, the ended flag, and the generations complete (gen lags behind
// at the end of a run; it takes the value once a snapshot is read).

// A setting as a snapshot stores it.
struct StoredSetting {
    std::string name;
    uint8_t type = 0;
    uint64_t bits = 0;
};

struct Contents {
    uint64_t coilDigest = 0;
    uint64_t rangesDigest = 0;
    std::vector<StoredSetting> settings;
    bool ended = false;      // the run ended here
    int32_t generation = 0;  // generations complete
    uint32_t workers = 0;    // worker phases read
    // Read back: the first library entry with a change mask no operator
    // gives, and the first that repeats an earlier one (-1: none).
    int64_t badLibraryEntry = -1;
    int64_t repeatedLibraryEntry = -1;
};

// -1 for a random start set, otherwise one bit per coefficient an operator
// changed.
inline bool validMask(int32_t mask) { return mask == -1 || (mask >= 0 && mask < (1 << kCoefficientCount)); }

template <typename Io, typename Record>
void recordFields(Io& io, Record& r) {
    io.f64(r.goodness);
    for (auto& c : r.coefficients) io.f64(c);
    io.i32(r.changeMask);
}

template <typename Io, typename C>
void counterFields(Io& io, C& c) {
    SearchCounters& s = searchCounters;
    io.i32(c.generation);
    io.i32(s.lastgen);
    io.u64(s.tested);
    io.u64(s.lastTested);
    io.i64(s.libCnt);
    io.i64(s.rejects);
    io.f64(s.bestGoodness);
    io.f64(s.accumSeconds);
    io.u32(s.accumCnt);
    io.flag(s.goodDirUp);
}

template <typename Io>
void randomFields(Io& io) {
    io.i32(randomSource.index);
    for (auto& word : randomSource.words) io.u64(word);
}

// A range table's numbers; its names stay.
template <typename Io, typename Table>
void rangeFields(Io& io, Table& table) {
    for (auto& range : table) {
        io.f64(range.low);
        io.f64(range.high);
        io.f64(range.resolution);
        io.i32(range.steps);
        io.f64(range.minorInc);
        io.i32(range.mcount);
    }
}

inline void freeList(ResultRecord*& head) {
    while (head != nullptr) {
        ResultRecord* following = head->next;
        freeResult(head);
        head = following;
    }
}

// The members of `collected` in rank order; read back, they replace it.
// `limit`: the most members the run keeps.
template <typename Io>
void populationFields(Io& io, uint64_t limit) {
    uint32_t count = 0;
    if constexpr (Io::writing) {
        for (const ResultRecord* m = collected; m != nullptr; m = m->next) ++count;
        io.u32(count);
        io.room(count * kRecordSize);
        for (ResultRecord* m = collected; m != nullptr; m = m->next) recordFields(io, *m);
    } else {
        freeList(collected);
        io.u32(count);
        if (!io.fits(count, kRecordSize, limit)) return;
        ResultRecord** link = &collected;
        for (uint32_t i = 0; i < count; ++i) {
            *link = newResult();
            recordFields(io, **link);
            link = &(*link)->next;
        }
    }
}

// Each worker slot's phase. `limit`: the run's worker slots.
template <typename Io, typename C>
void workerFields(Io& io, C& c, uint64_t limit) {
    c.workers = static_cast<uint32_t>(limit);
    io.u32(c.workers);
    if (!io.fits(c.workers, 1, limit)) return;
    for (uint32_t slot = 0; slot < c.workers; ++slot) io.u8(workerSlots.phases[slot]);
}

// The jobs out, in hand-over order; read back, they replace the slots' list.
template <typename Io>
void jobFields(Io& io, uint64_t limit) {
    auto& jobs = workerSlots.outstanding;
    uint32_t count = static_cast<uint32_t>(jobs.size());
    if constexpr (!Io::writing) {
        for (const OutJob& job : jobs) freeResult(job.candidate);
        jobs.clear();
    }
    io.u32(count);
    if (!io.fits(count, kJobSize, limit)) return;
    if constexpr (!Io::writing) jobs.assign(count, OutJob{0, nullptr});
    for (OutJob& job : jobs) {
        if constexpr (!Io::writing) job.candidate = newResult();
        io.i32(job.slot);
        recordFields(io, *job.candidate);
    }
}

template <typename Io, typename Record>
void libraryEntryFields(Io& io, Record& r) {
    io.i32(r.changeMask);
    for (auto& c : r.coefficients) io.f64(c);
}

// A u64 count and the entries in the order they were stored. Read back, the
// count must be libCnt, read before it, and the entries go into an empty
// library in that order, which puts each in the slot it held.
void writeLibrary(Encoder& e);
void readLibrary(Decoder& d, Contents& c);

template <typename Io, typename C>
void inputFields(Io& io, C& c) {
    io.u64(c.coilDigest);
    io.u64(c.rangesDigest);
}

// A u32 count and the settings.
template <typename Io, typename C>
void settingFields(Io& io, C& c) {
    uint32_t count = static_cast<uint32_t>(c.settings.size());
    io.u32(count);
    if (!io.fits(count, kSettingSize + 1, kMaxSettings)) return;
    c.settings.resize(count);
    for (auto& setting : c.settings) {
        io.name(setting.name);
        io.u8(setting.type);
        io.u64(setting.bits);
    }
}

// The most members a population of the run holds: the start population
// keeps `save` + 1 random sets and the start set until the first harvest.
inline uint64_t populationLimit() { return static_cast<uint64_t>(std::max(S[kSave].value.i, 0)) + 2; }

// The checks of what was read against the run, each false with the cause.
// They come in file order: the coil file; the settings, then the ranges
// file; the counters; the random state; the range table; the population
// (every member scored again); the worker phases; the jobs out; the library.
using Check = bool (*)(const Contents& contents, const SnapshotInputs& inputs, std::string& cause);
bool checkCoilFile(const Contents& contents, const SnapshotInputs& inputs, std::string& cause);
bool checkSettings(const Contents& contents, const SnapshotInputs& inputs, std::string& cause);
bool checkCounters(const Contents& contents, const SnapshotInputs& inputs, std::string& cause);
// Whether the snapshot's run can go on under this run's maxgenerations
// (checked with the counters, as it needs the generation).
bool checkContinuation(const Contents& contents, std::string& cause);
// The maxgenerations the snapshot's run had (a version 1 snapshot: this run's).
int64_t madeWithMaxGenerations(const Contents& contents);
bool checkRandom(const Contents& contents, const SnapshotInputs& inputs, std::string& cause);
bool checkRanges(const Contents& contents, const SnapshotInputs& inputs, std::string& cause);
bool checkPopulation(const Contents& contents, const SnapshotInputs& inputs, std::string& cause);
bool checkWorkers(const Contents& contents, const SnapshotInputs& inputs, std::string& cause);
bool checkJobs(const Contents& contents, const SnapshotInputs& inputs, std::string& cause);
bool checkLibrary(const Contents& contents, const SnapshotInputs& inputs, std::string& cause);

// A setting's value as a snapshot stores it (0 for text).
uint64_t settingBits(const SymbolEntry& entry);
// The base formula a run corrects, as its snapshot stores the text setting
// `base`: the formula's number (0 none, 1 wheeler, 2 sheet, 3 sheetrosa).
uint64_t baseSettingBits(const char* name);
// The settings S as a snapshot stores them.
std::vector<StoredSetting> storedSettings();
// Lower bounds and consistency, on top of the checks above (snapshot_limits).
bool checkCounterLimits(const Contents& contents, const SnapshotInputs& inputs, std::string& cause);
bool checkHandedOut(const Contents& contents, const SnapshotInputs& inputs, std::string& cause);
bool checkEndedFlag(const Contents& contents, int64_t maxgenerations, std::string& cause);
bool checkRangeMoves(const Contents& contents, std::string& cause);
bool checkRandomNotZero(std::string& cause);

// "it is corrupted (what)"
std::string corrupted(const std::string& what);
// The cause for a decoder that failed: the read error, or `what` corrupted.
std::string failureCause(const Decoder& d, const std::string& what);

// Reads the u32 that follows, up to `end`, which must be the CRC-32C of the
// bytes read since the decoder's last restartCrc() (or its start); false
// with the cause otherwise, `what` naming the part when the file fails.
bool checksumMatches(Decoder& d, uint64_t end, const std::string& what, std::string& cause);

// Reads the rest of a version 1 snapshot of `length` bytes, its header
// read (the decoder stands after it) and its length checked against the
// file's, and checks it.
bool readVersion1(Decoder& d, uint64_t length, const SnapshotInputs& inputs, Contents& contents, std::string& cause);

}  // namespace snapshot

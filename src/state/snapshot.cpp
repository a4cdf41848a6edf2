// Snapshots: the digests of the input files, the streaming decoder, and the
// sections of the current version, declared once in a table that the writer
// and the reader both walk. The layout is described in snapshot.h.
#include "state/snapshot.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string_view>
#include <strings.h>

#include "coils/baseformulas.h"
#include "state/crc32c.h"
#include "state/snapshot_codec.h"

namespace snapshot {

void Decoder::raw(void* out, size_t size) {
    const uint8_t* bytes = take(size);
    if (bytes != nullptr)
        std::memcpy(out, bytes, size);
    else
        std::memset(out, 0, size);
}

const uint8_t* Decoder::take(size_t size) {
    if (failed_ || size > left() || (filled_ - at_ < size && !refill(size))) {
        failed_ = true;
        return nullptr;
    }
    const uint8_t* bytes = buffer_.data() + at_;
    at_ += size;
    return bytes;
}

void Decoder::name(std::string& text) {
    uint8_t length = 0;
    u8(length);
    char characters[255];
    raw(characters, length);
    if (length == 0) failed_ = true;
    for (size_t i = 0; i < length; ++i)
        if (characters[i] < '!' || characters[i] > '~') failed_ = true;
    text.assign(failed_ ? 0 : length, '\0');
    if (!failed_) std::memcpy(text.data(), characters, length);
}

void Decoder::text(char*& text) {
    uint64_t length = 0;
    u64(length);
    text = nullptr;
    if (length == kNoText || !fits(length, 1, length)) return;
    text = static_cast<char*>(std::malloc(length + 1));
    if (text == nullptr) fatal("Out of space for the worker state\n");
    raw(text, length);
    text[length] = '\0';
}

uint32_t Decoder::crc() {
    crc_ = crc32c(buffer_.data() + crcFrom_, at_ - crcFrom_, crc_);
    crcFrom_ = at_;
    return crc_;
}

void Decoder::restartCrc() {
    crc_ = 0;
    crcFrom_ = at_;
}

void Decoder::skip(uint64_t size) {
    if (failed_ || size > left()) {
        failed_ = true;
        return;
    }
    const size_t buffered = filled_ - at_;
    if (size <= buffered) {
        at_ += static_cast<size_t>(size);
        crcFrom_ = at_;
        return;
    }
    size -= buffered;
    at_ = filled_ = crcFrom_ = 0;
    if (lseek(fd_, static_cast<off_t>(size), SEEK_CUR) < 0) {
        readError_ = errno;
        failed_ = true;
        return;
    }
    fileOffset_ += size;
}

// Moves what is left of the buffer to its front and reads until `wanted`
// bytes are there, never beyond the file's size.
bool Decoder::refill(size_t wanted) {
    crc();
    const size_t kept = filled_ - at_;
    std::memmove(buffer_.data(), buffer_.data() + at_, kept);
    at_ = crcFrom_ = 0;
    filled_ = kept;
    while (filled_ < wanted) {
        uint64_t ask = buffer_.size() - filled_;
        if (ask > fileSize_ - fileOffset_) ask = fileSize_ - fileOffset_;
        const ssize_t got = ask == 0 ? 0 : read(fd_, buffer_.data() + filled_, static_cast<size_t>(ask));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            // A file that ends before its size said was cut while it was read.
            readError_ = got < 0 ? errno : EIO;
            return false;
        }
        filled_ += static_cast<size_t>(got);
        fileOffset_ += static_cast<uint64_t>(got);
    }
    return true;
}

std::string corrupted(const std::string& what) { return "it is corrupted (" + what + ")"; }

std::string failureCause(const Decoder& d, const std::string& what) {
    if (d.readError() != 0) return std::string("it cannot be read (") + std::strerror(d.readError()) + ")";
    return corrupted(what);
}

bool checksumMatches(Decoder& d, uint64_t end, const std::string& what, std::string& cause) {
    const uint32_t computed = d.crc();
    d.limitTo(end);
    uint32_t stored = 0;
    d.u32(stored);
    if (d.failed()) {
        cause = failureCause(d, what);
        return false;
    }
    if (stored == computed) return true;
    cause = corrupted("checksum mismatch");
    return false;
}

uint64_t baseSettingBits(const char* name) {
    if (name == nullptr) return 0;
    const auto base = baseFormulaNamed(name);
    return base ? static_cast<uint64_t>(*base) : UINT64_MAX;
}

uint64_t settingBits(const SymbolEntry& entry) {
    switch (entry.type) {
    case symInt: return static_cast<uint64_t>(static_cast<int64_t>(entry.value.i));
    case symDouble: return std::bit_cast<uint64_t>(entry.value.d);
    case symLong: return static_cast<uint64_t>(entry.value.l);
    default: return std::strcmp(entry.name, S[kBase].name) == 0 ? baseSettingBits(entry.value.s) : 0;
    }
}

std::vector<StoredSetting> storedSettings() {
    std::vector<StoredSetting> settings;
    settings.reserve(S.size());
    for (const SymbolEntry& entry : S) settings.push_back({entry.name, entry.type, settingBits(entry)});
    return settings;
}

void writeLibrary(Encoder& e) {
    const auto& entries = libraryEntries();
    e.u64(entries.size());
    const size_t bytes = entries.size() * kLibraryEntrySize;
    uint8_t* start = e.take(bytes);
    SpanWriter fields(start);
    for (const ResultRecord* entry : entries) libraryEntryFields(fields, *entry);
    if (fields.position() != start + bytes) fatal("%s (%s:%d) should never happen\n", "snapshot", "libraryFields", 1);
}

// Stored again in the order they were first stored, the entries land in the
// slots they held. Every one must be new: a repeat means the entries are not
// what the run stored (found here, reported once the section is checked).
void readLibrary(Decoder& d, Contents& c) {
    uint64_t count = 0;
    d.u64(count);
    if (count != static_cast<uint64_t>(libCnt)) d.fail();
    if (!d.fits(count, kLibraryEntrySize, kMaxLibrarySets)) return;
    initLibrary();
    const int64_t rejected = rejects;
    libCnt = 0;
    for (uint64_t i = 0; i < count; ++i) {
        const uint8_t* bytes = d.take(kLibraryEntrySize);
        if (bytes == nullptr) return;
        ResultRecord entry{};
        SpanReader fields(bytes);
        libraryEntryFields(fields, entry);
        const auto at = static_cast<int64_t>(i);
        if (!validMask(entry.changeMask) && c.badLibraryEntry < 0) c.badLibraryEntry = at;
        if (doneAlready(&entry) && c.repeatedLibraryEntry < 0) c.repeatedLibraryEntry = at;
    }
    rejects = rejected;
}

namespace {

// A section of the current version: its name, its fields (one function for
// writing and reading alike) and the check of what was read.
struct Section {
    const char* name;
    void (*write)(Encoder& e, Contents& contents, const SnapshotInputs& inputs);
    void (*read)(Decoder& d, Contents& contents, const SnapshotInputs& inputs);
    Check check;
};

// A section from a generic lambda that takes (io, contents, inputs).
template <typename Fields>
constexpr Section section(const char* name, Fields, Check check) {
    return {name, [](Encoder& e, Contents& c, const SnapshotInputs& in) { Fields{}(e, c, in); },
            [](Decoder& d, Contents& c, const SnapshotInputs& in) { Fields{}(d, c, in); }, check};
}

// Written in this order; read in this order too, with unknown sections
// anywhere between them.
const Section kSections[] = {
    section("inputs", [](auto& io, auto& c, auto&) { inputFields(io, c); }, checkCoilFile),
    section("settings", [](auto& io, auto& c, auto&) { settingFields(io, c); }, checkSettings),
    section("counters", [](auto& io, auto& c, auto&) { counterFields(io, c); }, checkCounters),
    section("random", [](auto& io, auto&, auto&) { randomFields(io); }, checkRandom),
    section("ranges", [](auto& io, auto&, auto&) { rangeFields(io, R); }, checkRanges),
    section("population", [](auto& io, auto&, auto&) { populationFields(io, populationLimit()); }, checkPopulation),
    section("workers", [](auto& io, auto& c, auto& in) { workerFields(io, c, in.workers); }, checkWorkers),
    section("jobs", [](auto& io, auto&, auto& in) { jobFields(io, in.workers); }, checkJobs),
    section("library",
            [](auto& io, auto& c, auto&) {
                if constexpr (std::remove_reference_t<decltype(io)>::writing)
                    writeLibrary(io);
                else
                    readLibrary(io, c);
            },
            checkLibrary),
};
constexpr size_t kSectionCount = std::size(kSections);
constexpr size_t kHeaderCrcSize = 4;

const Section* findSection(const std::string& name) {
    for (const Section& s : kSections)
        if (name == s.name) return &s;
    return nullptr;
}

// The sections of a version 2 snapshot of `length` bytes, from the first one
// on: each known one read in its turn, checked against its CRC and then
// against the run; unknown ones skipped unread.
bool readSections(Decoder& d, uint64_t length, const SnapshotInputs& inputs, Contents& contents, std::string& cause) {
    size_t next = 0;
    while (d.offset() < length) {
        const uint64_t start = d.offset();
        d.limitTo(length);
        d.restartCrc();
        std::string name;
        d.name(name);
        uint64_t body = 0;
        d.u64(body);
        if (d.failed() || body > d.left() || d.left() - body < kChecksumSize) {
            cause = failureCause(d, "section at byte " + std::to_string(start));
            return false;
        }
        const Section* known = findSection(name);
        if (known == nullptr) {
            d.skip(body + kChecksumSize);
            continue;
        }
        if (next == kSectionCount || known != &kSections[next]) {
            cause = corrupted("section " + name + " out of order");
            return false;
        }
        d.limitTo(d.offset() + body);
        known->read(d, contents, inputs);
        if (d.failed() || d.left() != 0) {
            cause = failureCause(d, name);
            return false;
        }
        if (!checksumMatches(d, length, name, cause) || !known->check(contents, inputs, cause)) return false;
        ++next;
    }
    if (next < kSectionCount) {
        cause = corrupted(std::string("no ") + kSections[next].name + " section");
        return false;
    }
    return true;
}

std::string truncatedCause(uint64_t size, uint64_t expected) {
    return "it is truncated (" + std::to_string(size) + " of " + std::to_string(expected) + " bytes)";
}

// The file's size against the length its header gives, before anything
// beyond the header is read.
bool sizeMatches(uint64_t size, uint64_t length, uint64_t smallest, std::string& cause) {
    if (size < length) {
        cause = truncatedCause(size, length);
        return false;
    }
    if (size > length) {
        cause = corrupted("its header gives " + std::to_string(length) + " bytes, the file has " +
                          std::to_string(size));
        return false;
    }
    if (length < smallest) {
        cause = corrupted("its length does not match its header");
        return false;
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

// A snapshot read and checked: the run stands at its generation.
bool taken(const Contents& contents) {
    gen = contents.generation;
    return true;
}

// Closes the file when the reading ends, however it ends.
struct FileCloser {
    int fd;
    ~FileCloser() { close(fd); }
};

}  // namespace
}  // namespace snapshot

using namespace snapshot;

uint64_t digestBytes(const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    uint64_t h = 0xCBF29CE484222325ULL;
    for (size_t i = 0; i < size; ++i) h = (h ^ p[i]) * 0x100000001B3ULL;
    return h;
}

namespace {

// Whether the line's first token, as the reader takes it, is `name`.
bool setsName(std::string_view line, std::string_view name) {
    size_t first = 0;
    while (first < line.size() && (line[first] == ' ' || line[first] == ',' || line[first] == '\n')) ++first;
    size_t last = first;
    while (last < line.size() && line[last] != ' ' && line[last] != ',' && line[last] != '\n' && line[last] != '\0')
        ++last;
    return last - first == name.size() && strncasecmp(line.data() + first, name.data(), name.size()) == 0;
}

}  // namespace

uint64_t rangesDigest(const std::string& text, bool withMaxGenerations) {
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
        bool leftOut = false;
        if (line[0] != '/' && line[0] != '#')
            leftOut = setsName(line, "resume") || (!withMaxGenerations && setsName(line, "maxgenerations"));
        if (!leftOut) kept.append(line);
    }
    return digestBytes(kept.data(), kept.size());
}

bool digestCoilFile(const char* path, uint64_t& digest) {
    std::string text;
    if (!readFileText(path, text)) return false;
    digest = digestBytes(text.data(), text.size());
    return true;
}

bool digestRangesFile(const char* path, uint64_t& digest, uint64_t* legacyDigest) {
    std::string text;
    if (!readFileText(path, text)) return false;
    digest = rangesDigest(text);
    if (legacyDigest != nullptr) *legacyDigest = rangesDigest(text, true);
    return true;
}

void encodeSnapshot(int32_t generation, bool ended, const SnapshotInputs& inputs, std::vector<uint8_t>& out) {
    Contents contents{inputs.coilDigest, inputs.rangesDigest, storedSettings()};
    contents.generation = generation;
    Encoder e(out);
    e.raw(kMagic, sizeof kMagic);
    e.u32(kSnapshotVersion);
    e.u32(ended ? kEndedFlag : 0);
    const size_t lengthAt = e.size();
    e.u64(0);
    e.u32(0);  // the header's CRC, once the length is known
    for (const Section& s : kSections) {
        const size_t start = e.size();
        e.name(s.name);
        const size_t bodyAt = e.size();
        e.u64(0);
        s.write(e, contents, inputs);
        e.patch64(bodyAt, e.size() - bodyAt - 8);
        e.u32(crc32c(e.data() + start, e.size() - start));
    }
    e.patch64(lengthAt, e.size());
    e.patch32(kHeaderSize, crc32c(e.data(), kHeaderSize));
}

bool readSnapshot(const char* path, const SnapshotInputs& inputs, bool& ended, std::string& cause) {
    // Non-blocking, so that a FIFO is reported instead of waited on.
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        cause = errno == ENOENT ? "it does not exist" : std::string("it cannot be read (") + std::strerror(errno) + ")";
        return false;
    }
    const FileCloser closer{fd};
    struct stat info;
    const bool statted = fstat(fd, &info) == 0;
    if (!statted || !S_ISREG(info.st_mode)) {
        const int error = !statted ? errno : S_ISDIR(info.st_mode) ? EISDIR : 0;
        cause = error != 0 ? std::string("it cannot be read (") + std::strerror(error) + ")" : "it is not a plain file";
        return false;
    }
    const uint64_t size = static_cast<uint64_t>(info.st_size);
    if (size == 0) {
        cause = "it is empty";
        return false;
    }

    Decoder d(fd, size);
    uint8_t header[kHeaderSize] = {};
    const size_t headerBytes = size < kHeaderSize ? static_cast<size_t>(size) : kHeaderSize;
    d.raw(header, headerBytes);
    if (d.failed()) {
        cause = failureCause(d, "header");
        return false;
    }
    if (std::memcmp(header, kMagic, headerBytes < sizeof kMagic ? headerBytes : sizeof kMagic) != 0) {
        cause = "it is not a quelmo snapshot";
        return false;
    }
    if (size < kHeaderSize) {
        cause = truncatedCause(size, kHeaderSize);
        return false;
    }
    uint32_t version;
    uint32_t flags;
    uint64_t length;
    std::memcpy(&version, header + 8, 4);
    std::memcpy(&flags, header + 12, 4);
    std::memcpy(&length, header + 16, 8);
    Contents contents;
    ended = contents.ended = (flags & kEndedFlag) != 0;
    if (version == 1) {
        if (!sizeMatches(size, length, kHeaderSize + kChecksumSize, cause)) return false;
        return readVersion1(d, length, inputs, contents, cause) && taken(contents);
    }
    if (version != kSnapshotVersion) {
        cause = "it has format version " + std::to_string(version) + ", this program reads versions 1 and " +
                std::to_string(kSnapshotVersion);
        return false;
    }
    if (size < kHeaderSize + kHeaderCrcSize) {
        cause = truncatedCause(size, kHeaderSize + kHeaderCrcSize);
        return false;
    }
    if (!checksumMatches(d, size, "header", cause)) return false;
    if (!sizeMatches(size, length, kHeaderSize + kHeaderCrcSize, cause)) return false;
    return readSections(d, length, inputs, contents, cause) && taken(contents);
}

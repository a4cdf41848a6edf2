// Snapshots: the sections of the current version, declared once in a table
// that the writer and the reader both walk, and the reading of a file of
// either version. The layout is described in snapshot.h.
#include "state/snapshot.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <deque>
#include <iterator>

#include "coils/baseformulas.h"
#include "common/crc32c.h"
#include "state/snapshot_codec.h"

namespace snapshot {

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

// The first entry that repeats an earlier one, as storing them in order
// would find it (-1: none): entries are compared as the library compares
// them, by change mask and coefficients, among those of equal hash.
int64_t firstRepeat(const std::deque<ResultRecord>& entries) {
    std::vector<std::pair<uint64_t, uint32_t>> keyed(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) keyed[i] = {libraryHash(&entries[i]), static_cast<uint32_t>(i)};
    std::sort(keyed.begin(), keyed.end());
    int64_t first = -1;
    for (size_t start = 0, end = 0; start < keyed.size(); start = end) {
        for (end = start + 1; end < keyed.size() && keyed[end].first == keyed[start].first;) ++end;
        for (size_t a = start; a < end; ++a) {
            const ResultRecord& earlier = entries[keyed[a].second];
            for (size_t b = a + 1; b < end; ++b) {
                const ResultRecord& later = entries[keyed[b].second];
                if (earlier.changeMask == later.changeMask && earlier.coefficients == later.coefficients &&
                    (first < 0 || keyed[b].second < first))
                    first = keyed[b].second;
            }
        }
    }
    return first;
}

// Every entry must be new: a repeat means the entries are not what the run
// stored (found here, reported once the section is checked).
void readLibrary(Decoder& d, Contents& c) {
    uint64_t count = 0;
    d.u64(count);
    if (count != static_cast<uint64_t>(c.run.counters.libCnt)) d.fail();
    if (!d.fits(count, kLibraryEntrySize, kMaxLibrarySets)) return;
    std::deque<ResultRecord>& entries = c.run.library;
    entries.assign(count, ResultRecord{});
    for (uint64_t i = 0; i < count; ++i) {
        const uint8_t* bytes = d.take(kLibraryEntrySize);
        if (bytes == nullptr) return;
        ResultRecord& entry = entries[i];
        SpanReader fields(bytes);
        libraryEntryFields(fields, entry);
        if (!validMask(entry.changeMask) && c.badLibraryEntry < 0) c.badLibraryEntry = static_cast<int64_t>(i);
    }
    c.repeatedLibraryEntry = firstRepeat(entries);
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
    section("random", [](auto& io, auto& c, auto&) { randomFields(io, c); }, checkRandom),
    section("ranges", [](auto& io, auto& c, auto&) { savedRangeFields(io, c); }, checkRanges),
    section("population", [](auto& io, auto& c, auto&) { populationFields(io, c, runPopulationLimit()); }, checkPopulation),
    section("workers", [](auto& io, auto& c, auto& in) { workerFields(io, c, in.workers); }, checkWorkers),
    section("jobs", [](auto& io, auto& c, auto& in) { jobFields(io, c, in.workers); }, checkJobs),
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

// A snapshot read and checked whole: handed to the caller, at its
// generation.
bool taken(Contents& contents, SavedSearch& into) {
    contents.run.counters.gen = contents.generation;
    contents.run.ended = contents.ended;
    into = std::move(contents.run);
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

void encodeSnapshot(int32_t generation, bool ended, const SnapshotInputs& inputs, std::vector<uint8_t>& out) {
    Contents contents;
    contents.coilDigest = inputs.coilDigest;
    contents.rangesDigest = inputs.rangesDigest;
    contents.settings = storedSettings();
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

bool readSnapshot(const char* path, const SnapshotInputs& inputs, SavedSearch& into, std::string& cause) {
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
    // The names of the ranges; the file gives their numbers.
    contents.run.ranges = inputs.startRanges;
    contents.ended = (flags & kEndedFlag) != 0;
    if (version == 1) {
        if (!sizeMatches(size, length, kHeaderSize + kChecksumSize, cause)) return false;
        return readVersion1(d, length, inputs, contents, cause) && taken(contents, into);
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
    return readSections(d, length, inputs, contents, cause) && taken(contents, into);
}

void restoreSnapshot(SavedSearch&& saved) {
    // The library first: storing its sets counts them, and the saved
    // counters then replace the counts. Each set is let go once stored, so
    // that the sets are not held twice over.
    initLibrary();
    for (; !saved.library.empty(); saved.library.pop_front()) doneAlready(&saved.library.front());
    searchCounters = saved.counters;
    randomSource = saved.random;
    R = saved.ranges;
    while (collected != nullptr) {
        ResultRecord* following = collected->next;
        freeResult(collected);
        collected = following;
    }
    ResultRecord** link = &collected;
    for (const ResultRecord& member : saved.population) {
        *link = cloneResult(&member);
        link = &(*link)->next;
    }
    *link = nullptr;
    workerSlots.phases = saved.phases;
    for (const OutJob& job : workerSlots.outstanding) freeResult(job.candidate);
    workerSlots.outstanding.clear();
    for (const SavedSearch::Job& job : saved.jobs) {
        ResultRecord* candidate = cloneResult(&job.candidate);
        candidate->next = nullptr;
        workerSlots.outstanding.push_back({job.slot, candidate});
    }
}

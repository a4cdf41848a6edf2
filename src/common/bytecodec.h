// Fields of fixed width as little-endian bytes: an encoder that measures
// what it writes, a decoder that streams a file (or reads bytes in memory)
// through a small buffer with a running CRC-32C and refuses to read past a
// limit, and unchecked span readers and writers for long runs of fields.
// The snapshot file and the state a worker starts from are written with
// them; each declares its fields once, in a function template that takes
// either side (`writing` tells them apart).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace codec {

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

}  // namespace codec

// Fields as little-endian bytes and their checksum: the CRC-32C, a round
// trip of every field type, the decoder's refusals, and its streaming of a
// file larger than its buffer.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "cli_util.h"
#include "common/bytecodec.h"
#include "common/crc32c.h"

TEST(Crc32c, KnownValuesAndPieces) {
    EXPECT_EQ(crc32c("123456789", 9), 0xE3069283u);
    EXPECT_EQ(crc32c("", 0), 0u);
    const std::vector<uint8_t> zeros(32, 0);
    const std::vector<uint8_t> ones(32, 0xFF);
    EXPECT_EQ(crc32c(zeros.data(), zeros.size()), 0x8A9136AAu);
    EXPECT_EQ(crc32c(ones.data(), ones.size()), 0x62A8AB43u);
    // Any split, aligned or not, gives the CRC of the whole.
    std::vector<uint8_t> data(301);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 37 + 11);
    const uint32_t whole = crc32c(data.data(), data.size());
    for (size_t split : {0, 1, 7, 8, 9, 150, 300, 301})
        EXPECT_EQ(crc32c(data.data() + split, data.size() - split, crc32c(data.data(), split)), whole) << split;
}

TEST(ByteCodec, EveryFieldTypeRoundTrips) {
    std::vector<uint8_t> bytes;
    {
        codec::Encoder e(bytes);
        e.u8(200);
        e.u32(0xDEADBEEF);
        e.i32(-7);
        e.u64(UINT64_MAX - 1);
        e.i64(INT64_MIN);
        e.f64(-0.0);
        e.flag(true);
        e.text(nullptr);
        e.text("coil 1");
        e.name("library");
    }
    codec::Decoder d(bytes.data(), bytes.size());
    uint8_t u8 = 0;
    uint32_t u32 = 0;
    int32_t i32 = 0;
    uint64_t u64 = 0;
    int64_t i64 = 0;
    double f64 = 1;
    bool flag = false;
    char* missing = nullptr;
    char* text = nullptr;
    std::string name;
    d.u8(u8);
    d.u32(u32);
    d.i32(i32);
    d.u64(u64);
    d.i64(i64);
    d.f64(f64);
    d.flag(flag);
    d.text(missing);
    d.text(text);
    d.name(name);
    ASSERT_FALSE(d.failed());
    EXPECT_EQ(d.left(), 0u);
    EXPECT_EQ(u8, 200);
    EXPECT_EQ(u32, 0xDEADBEEFu);
    EXPECT_EQ(i32, -7);
    EXPECT_EQ(u64, UINT64_MAX - 1);
    EXPECT_EQ(i64, INT64_MIN);
    EXPECT_TRUE(f64 == 0.0 && std::signbit(f64));
    EXPECT_TRUE(flag);
    EXPECT_EQ(missing, nullptr);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "coil 1");
    std::free(text);
    EXPECT_EQ(name, "library");
}

// What the decoder refuses: it fails, and every read after yields zeros.
TEST(ByteCodec, DecoderRefusesWhatDoesNotFit) {
    const struct {
        const char* name;
        std::vector<uint8_t> bytes;
        std::function<void(codec::Decoder&)> read;
    } cases[] = {
        {"past the limit", {1, 2, 3, 4}, [](codec::Decoder& d) { d.limitTo(3); uint32_t v; d.u32(v); }},
        {"past the end", {1, 2, 3}, [](codec::Decoder& d) { uint32_t v; d.u32(v); }},
        {"a flag of 2", {2}, [](codec::Decoder& d) { bool v; d.flag(v); }},
        {"an empty name", {0}, [](codec::Decoder& d) { std::string v; d.name(v); }},
        {"a name with a blank", {2, 'a', ' '}, [](codec::Decoder& d) { std::string v; d.name(v); }},
        {"a text longer than the rest", {9, 0, 0, 0, 0, 0, 0, 0, 'a'},
         [](codec::Decoder& d) { char* v = nullptr; d.text(v); EXPECT_EQ(v, nullptr); }},
        {"more items than the rest holds", {0, 0, 0, 0}, [](codec::Decoder& d) { EXPECT_FALSE(d.fits(2, 4, 10)); }},
        {"more items than the limit", {0, 0, 0, 0, 0, 0, 0, 0}, [](codec::Decoder& d) { EXPECT_FALSE(d.fits(2, 4, 1)); }},
        {"a skip past the limit", {1, 2, 3, 4}, [](codec::Decoder& d) { d.limitTo(2); d.skip(3); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> bytes = c.bytes;
        bytes.insert(bytes.end(), {9, 9, 9, 9});  // beyond what the case reads
        codec::Decoder d(bytes.data(), bytes.size() - 4);
        c.read(d);
        EXPECT_TRUE(d.failed());
        uint32_t after = 1;
        d.u32(after);
        EXPECT_EQ(after, 0u);
        EXPECT_EQ(d.readError(), 0);
    }
}

// A file several buffers long, read in fields that straddle the buffer's
// ends and skipped over in part: every value and the running CRC-32C come
// out as the bytes hold them.
TEST(ByteCodec, DecoderStreamsAFileThroughItsBuffer) {
    std::vector<uint8_t> bytes(200003);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>((i * 2654435761u) >> 13);
    CliRun scratch;
    scratch.write("fields.bin", std::string(bytes.begin(), bytes.end()));
    const int fd = open((scratch.dir() / "fields.bin").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    codec::Decoder d(fd, bytes.size());
    const auto expected = [&](size_t at) {
        uint64_t v;
        std::memcpy(&v, bytes.data() + at, 8);
        return v;
    };
    // Odd offsets, so that some field crosses every 64 KiB boundary.
    size_t at = 0;
    uint8_t first = 0;
    d.u8(first);
    EXPECT_EQ(first, bytes[0]);
    at = 1;
    for (; at + 8 <= 100001; at += 8) {
        uint64_t v = 0;
        d.u64(v);
        ASSERT_EQ(v, expected(at)) << at;
    }
    EXPECT_EQ(d.crc(), crc32c(bytes.data(), at));
    // Past a whole buffer's worth unread, then on from there.
    d.skip(70000);
    at += 70000;
    d.restartCrc();
    const size_t from = at;
    for (; at + 8 <= bytes.size(); at += 8) {
        uint64_t v = 0;
        d.u64(v);
        ASSERT_EQ(v, expected(at)) << at;
    }
    EXPECT_EQ(d.crc(), crc32c(bytes.data() + from, at - from));
    EXPECT_EQ(d.offset(), at);
    EXPECT_FALSE(d.failed());
    close(fd);
}

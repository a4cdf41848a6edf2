// The record pool and the 144-byte binary record.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "cli_util.h"
#include "coils/storage.h"

namespace {

bool allZero(const ResultRecord* record) {
    unsigned char bytes[sizeof(ResultRecord)];
    std::memcpy(bytes, record, sizeof bytes);
    for (unsigned char b : bytes)
        if (b != 0) return false;
    return true;
}

ResultRecord* filledRecord() {
    ResultRecord* record = newResult();
    record->goodness = 0.125;
    for (int k = 0; k < kCoefficientCount; ++k) record->coefficients[k] = -1.5 * k;
    record->changeMask = -1;
    return record;
}

}  // namespace

TEST(Pool, ReuseIsLastInFirstOutAndComesBackZeroed) {
    // Takes between frees still get the most recently freed record, every
    // byte zero; a record that is held is never handed out again.
    ResultRecord* a = filledRecord();
    ResultRecord* b = filledRecord();
    ResultRecord* c = filledRecord();
    freeResult(a);
    freeResult(b);
    ResultRecord* first = newResult();
    freeResult(c);
    ResultRecord* second = newResult();
    ResultRecord* third = newResult();
    ResultRecord* fourth = newResult();
    EXPECT_EQ(first, b);
    EXPECT_EQ(second, c);
    EXPECT_EQ(third, a);
    for (ResultRecord* held : {first, second, third}) EXPECT_NE(fourth, held);
    for (ResultRecord* taken : {first, second, third, fourth}) {
        EXPECT_TRUE(allZero(taken));
        freeResult(taken);
    }
}

TEST(Pool, CloneAndCopy) {
    ResultRecord* source = filledRecord();
    ResultRecord* linked = newResult();
    source->next = linked;
    // A recycled record still holding old contents is overwritten whole.
    ResultRecord* stale = filledRecord();
    stale->goodness = 99;
    freeResult(stale);
    ResultRecord* clone = cloneResult(source);
    EXPECT_EQ(clone, stale);
    EXPECT_EQ(clone->next, nullptr);
    EXPECT_EQ(std::memcmp(reinterpret_cast<char*>(clone) + 8, reinterpret_cast<char*>(source) + 8, 136), 0);

    ResultRecord* destination = newResult();
    destination->next = linked;
    source->next = nullptr;
    copyResult(destination, source);
    EXPECT_EQ(std::memcmp(destination, source, sizeof(ResultRecord)), 0);
    for (ResultRecord* r : {source, linked, clone, destination}) freeResult(r);
}

TEST(BinaryRecord, RoundTripKeepsAll144Bytes) {
    CliRun scratch;
    const std::string path = (scratch.dir() / "record").string();
    ResultRecord* record = filledRecord();
    FILE* out = std::fopen(path.c_str(), "wb");
    writeResult(record, out);
    std::fclose(out);
    const std::string bytes = readFile(path);
    ASSERT_EQ(bytes.size(), 144u);
    EXPECT_EQ(bytes.substr(136, 8), std::string("\xff\xff\xff\xff\0\0\0\0", 8));
    EXPECT_EQ(bytes.substr(8, 8), std::string("\0\0\0\0\0\0\xc0\x3f", 8));  // 0.125, little-endian

    FILE* in = std::fopen(path.c_str(), "rb");
    ResultRecord* back = readResult(in);
    std::fclose(in);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(std::memcmp(back, record, sizeof(ResultRecord)), 0);
    freeResult(record);
    freeResult(back);
}

TEST(BinaryRecord, ShortFilesYieldNoRecord) {
    CliRun scratch;
    for (size_t size : {0, 1, 143, 145}) {
        std::string content(size, '\x11');
        scratch.write("r", content);
        FILE* in = std::fopen((scratch.dir() / "r").c_str(), "rb");
        ResultRecord* pooled = newResult();
        freeResult(pooled);
        ResultRecord* record = readResult(in);
        std::fclose(in);
        if (size < 144) {
            EXPECT_EQ(record, nullptr) << size;
            // The record it took is not returned to the pool.
            EXPECT_NE(FreeResults, pooled) << size;
        } else {
            ASSERT_NE(record, nullptr);
            EXPECT_EQ(record->changeMask, 0x11111111);
            freeResult(record);
        }
    }
}

TEST(BinaryRecord, FailedWriteIsFatal) {
    ResultRecord* record = newResult();
    EXPECT_EXIT(
        {
            FILE* full = std::fopen("/dev/full", "wb");
            std::setvbuf(full, nullptr, _IONBF, 0);
            writeResult(record, full);
        },
        testing::ExitedWithCode(255), R"(^storage \(writeResult:139\) should never happen
$)");
    freeResult(record);
}

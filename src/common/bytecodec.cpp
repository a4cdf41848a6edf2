// The decoder's reading: through its buffer, refilled from the file as
// fields are taken, with the CRC-32C kept up to date over what was consumed.
#include "common/bytecodec.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "common/crc32c.h"
#include "common/fatal.h"

namespace codec {

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

}  // namespace codec

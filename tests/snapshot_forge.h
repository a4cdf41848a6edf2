// Forges snapshots of the current version as a hostile or careless hand
// would: values changed and every checksum made right again, so that only
// the reader's checks of sense stand between the forgery and a run.
#pragma once

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#include "common/crc32c.h"

class ForgedSnapshot {
public:
    explicit ForgedSnapshot(std::string bytes) : bytes_(std::move(bytes)) {}
    const std::string& bytes() const { return bytes_; }

    // Offset of the body of section `name`.
    size_t body(const std::string& name) const {
        for (size_t at = kFirstSection; at < bytes_.size(); at = end(at)) {
            if (nameOf(at) == name) return at + 1 + nameOf(at).size() + 8;
        }
        throw std::runtime_error("no section " + name);
    }
    template <typename T>
    T get(size_t at) const {
        T value;
        std::memcpy(&value, bytes_.data() + at, sizeof value);
        return value;
    }
    template <typename T>
    void set(size_t at, T value) {
        put(at, value);
        reseal();
    }
    // Takes the setting `name` out of the settings section, as a program
    // that did not have it would have written it.
    void eraseSetting(const std::string& name) {
        const size_t settings = body("settings");
        size_t at = settings + 4;
        while (bytes_.compare(at + 1, name.size(), name) != 0 || get<uint8_t>(at) != name.size())
            at += 1 + get<uint8_t>(at) + 1 + 8;
        const size_t size = 1 + name.size() + 1 + 8;
        bytes_.erase(at, size);
        put<uint32_t>(settings, get<uint32_t>(settings) - 1);
        put<uint64_t>(settings - 8, get<uint64_t>(settings - 8) - size);
        put<uint64_t>(16, bytes_.size());
        reseal();
    }
    // Adds a section the reader does not know, before section `before`.
    void insertSection(const std::string& before, const std::string& name, const std::string& content) {
        const size_t at = body(before) - 8 - before.size() - 1;
        std::string section(1, static_cast<char>(name.size()));
        section += name;
        const uint64_t length = content.size();
        section.append(reinterpret_cast<const char*>(&length), 8);
        section += content + std::string(4, '\0');
        bytes_.insert(at, section);
        put<uint64_t>(16, bytes_.size());
        reseal();
    }
    // Makes the header's and every section's checksum right again.
    void reseal() {
        putCrc(kHeaderSize, 0);
        for (size_t at = kFirstSection; at < bytes_.size(); at = end(at)) putCrc(end(at) - 4, at);
    }

private:
    static constexpr size_t kHeaderSize = 24;
    static constexpr size_t kFirstSection = kHeaderSize + 4;
    std::string nameOf(size_t at) const { return bytes_.substr(at + 1, get<uint8_t>(at)); }
    size_t end(size_t at) const {
        const size_t bodyAt = at + 1 + get<uint8_t>(at) + 8;
        return bodyAt + get<uint64_t>(bodyAt - 8) + 4;
    }
    template <typename T>
    void put(size_t at, T value) {
        std::memcpy(bytes_.data() + at, &value, sizeof value);
    }
    void putCrc(size_t crcAt, size_t from) {
        const uint32_t crc = crc32c(bytes_.data() + from, crcAt - from);
        std::memcpy(bytes_.data() + crcAt, &crc, 4);
    }
    std::string bytes_;
};

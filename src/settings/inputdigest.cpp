// The input files' digests: the coil file's bytes, and the ranges file's
// lines but those that may change between a run and its resumption.
#include "settings/inputdigest.h"

#include <cstdio>
#include <string_view>
#include <strings.h>

namespace {

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

uint64_t digestBytes(const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    uint64_t h = 0xCBF29CE484222325ULL;
    for (size_t i = 0; i < size; ++i) h = (h ^ p[i]) * 0x100000001B3ULL;
    return h;
}

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


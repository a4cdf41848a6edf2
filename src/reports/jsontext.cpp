// JSON text for strings that may hold any bytes.
#include "reports/jsontext.h"

#include <cstdio>
#include <vector>

namespace {

using Json = nlohmann::ordered_json;

// The length of the valid UTF-8 sequence at text[at], or 0 when the byte
// there does not start one.
size_t sequenceLength(const std::string& text, size_t at) {
    const auto byte = [&text](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) return 1;
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;   // overlong below
        if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;   // overlong below
        if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    if (byte(at + 1) < low || byte(at + 1) > high) return 0;
    for (size_t i = 2; i < length; ++i)
        if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
    return length;
}

// Marks a string value replaced by its own literal. No string that reaches
// the text as a marker holds the first two bytes, so no value can pass for
// one.
constexpr const char* kMarkPrefix = "\x01\x02quelmo-raw-";

bool needsOwnLiteral(const std::string& text) {
    return !isUtf8(text) || text.find("\x01\x02") != std::string::npos;
}

void markRawStrings(Json& value, std::vector<std::string>& raw) {
    if (value.is_string()) {
        const std::string& text = value.get_ref<const std::string&>();
        if (!needsOwnLiteral(text)) return;
        raw.push_back(text);
        value = kMarkPrefix + std::to_string(raw.size() - 1);
        return;
    }
    if (value.is_structured())
        for (Json& member : value) markRawStrings(member, raw);
}

}  // namespace

bool isUtf8(const std::string& text) {
    for (size_t at = 0; at < text.size();) {
        const size_t length = sequenceLength(text, at);
        if (length == 0) return false;
        at += length;
    }
    return true;
}

std::string jsonStringLiteral(const std::string& text) {
    std::string out = "\"";
    char escape[8];
    for (size_t at = 0; at < text.size();) {
        const size_t length = sequenceLength(text, at);
        const auto byte = static_cast<unsigned char>(text[at]);
        if (length == 0) {
            std::snprintf(escape, sizeof escape, "\\udc%02x", byte);
            out += escape;
            ++at;
            continue;
        }
        if (length > 1) {
            out.append(text, at, length);
            at += length;
            continue;
        }
        switch (byte) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (byte < 0x20) {
                std::snprintf(escape, sizeof escape, "\\u%04x", byte);
                out += escape;
            } else {
                out += static_cast<char>(byte);
            }
        }
        ++at;
    }
    return out + "\"";
}

std::string dumpJson(Json document, int indent) {
    std::vector<std::string> raw;
    markRawStrings(document, raw);
    std::string text = document.dump(indent);
    if (raw.empty()) return text;
    // Each marker stands in the text once, as a whole string literal, in the
    // order the walk met them; a literal put in is never searched again.
    size_t from = 0;
    for (size_t i = 0; i < raw.size(); ++i) {
        const std::string marker = Json(kMarkPrefix + std::to_string(i)).dump();
        const size_t at = text.find(marker, from);
        if (at == std::string::npos) continue;
        const std::string literal = jsonStringLiteral(raw[i]);
        text.replace(at, marker.size(), literal);
        from = at + literal.size();
    }
    return text;
}

#include "tools/core/json_line.h"

#include <cmath>
#include <cstdio>

#include <fmt/format.h>

namespace zrt::host {
namespace {

// Length of the valid UTF-8 sequence at s[i], or 0.
size_t utf8_length(const std::string& s, size_t i) {
    const auto b = [&s](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    size_t n;
    uint32_t cp;
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    for (size_t k = 1; k < n; ++k) {
        if ((b(i + k) & 0xC0) != 0x80) return 0;
        cp = cp << 6 | (b(i + k) & 0x3F);
    }
    // Overlong forms, surrogates and code points beyond Unicode.
    if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n;
}

}  // namespace

std::string json_string(const std::string& s) {
    std::string out = "\"";
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(static_cast<char>(c));
            ++i;
        } else if (c == '\n') {
            out += "\\n";
            ++i;
        } else if (c == '\r') {
            out += "\\r";
            ++i;
        } else if (c == '\t') {
            out += "\\t";
            ++i;
        } else if (c < 0x20 || c == 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
            ++i;
        } else if (size_t n = utf8_length(s, i)) {
            out.append(s, i, n);
            i += n;
        } else {
            out += "\\ufffd";
            ++i;
        }
    }
    out.push_back('"');
    return out;
}

std::string json_float(float v) {
    if (!std::isfinite(v)) return "null";
    return fmt::format("{}", v);
}

std::string json_double(double v) {
    if (!std::isfinite(v)) return "null";
    return fmt::format("{}", v);
}

std::string hex_lower(const std::vector<uint8_t>& bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        out.push_back(kHex[b >> 4]);
        out.push_back(kHex[b & 0xF]);
    }
    return out;
}

std::string json_values(const std::vector<DecodedValue>& values) {
    std::string out = "[";
    for (const DecodedValue& v : values) {
        if (out.size() > 1) out.push_back(',');
        // Every value comes from a single-precision float or a byte: written as that float,
        // 231.7 reads back as 231.7 and not as its double expansion.
        out += "{\"key\":" + json_string(v.key) +
               ",\"value\":" + (v.value ? json_float(static_cast<float>(*v.value)) : std::string("null")) +
               ",\"unit\":" + json_string(v.unit) + "}";
    }
    return out + "]";
}

JsonLine& JsonLine::raw(const char* key, const std::string& json) {
    if (body_.size() > 1) body_.push_back(',');
    body_ += json_string(key);
    body_.push_back(':');
    body_ += json;
    return *this;
}

}  // namespace zrt::host

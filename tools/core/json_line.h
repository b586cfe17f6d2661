#pragma once
// One JSON object per line, built field by field. Strings are kept as UTF-8; control
// characters are escaped and each byte that is not part of a UTF-8 sequence becomes
// U+FFFD, so every line parses whatever a device put into its texts.
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "tools/core/image_decode.h"

namespace zrt::host {

// The quoted, escaped JSON string.
std::string json_string(const std::string& s);
// The shortest text that reads back as the same float; null for NaN and infinities.
std::string json_float(float v);
std::string json_double(double v);
std::string hex_lower(const std::vector<uint8_t>& bytes);
// Decoded values as a JSON array, in the image's order: [{"key":"v","value":53.5,"unit":"V"},
// ...]; an absent value is null, a value without a unit has "unit":"".
std::string json_values(const std::vector<DecodedValue>& values);

class JsonLine {
public:
    explicit JsonLine(const char* event) { add("event", event); }
    JsonLine& add(const char* key, const std::string& v) { return raw(key, json_string(v)); }
    JsonLine& add(const char* key, const char* v) { return raw(key, json_string(v)); }
    JsonLine& add(const char* key, bool v) { return raw(key, v ? "true" : "false"); }
    template <class T, class = std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>>>
    JsonLine& add(const char* key, T v) {
        return raw(key, std::to_string(v));
    }
    JsonLine& add_float(const char* key, float v) { return raw(key, json_float(v)); }
    JsonLine& add_double(const char* key, double v) { return raw(key, json_double(v)); }
    // `json` must already be valid JSON.
    JsonLine& raw(const char* key, const std::string& json);
    // The object and a line feed.
    std::string str() const { return body_ + "}\n"; }

private:
    std::string body_ = "{";
};

}  // namespace zrt::host

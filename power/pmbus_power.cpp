#include "power/pmbus_power.h"

#include <cstring>

namespace zrt {

namespace {

constexpr const char* kBlanks = " \t\r\n\v\f";

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

std::string model_text(const unsigned char* info, int len) {
    constexpr int kModelField = 20;
    const int n = std::max(0, std::min(len, kModelField));
    const char* p = reinterpret_cast<const char*>(info);
    const void* nul = n > 0 ? std::memchr(p, '\0', static_cast<size_t>(n)) : nullptr;
    std::string s(p, nul ? static_cast<const char*>(nul) - p : n);
    const size_t first = s.find_first_not_of(kBlanks);
    if (first == std::string::npos) return {};
    return s.substr(first, s.find_last_not_of(kBlanks) - first + 1);
}

bool model_supported(const std::string& model, const std::vector<std::string>& supported) {
    for (const std::string& m : supported) {
        if (m.size() != model.size()) continue;
        bool same = true;
        for (size_t i = 0; i < m.size() && same; ++i) same = lower(m[i]) == lower(model[i]);
        if (same) return true;
    }
    return false;
}

}  // namespace zrt

#include "common/trace_line.h"

#include <charconv>
#include <iostream>

namespace zrt {

void trace(std::string_view line) {
    std::cout.write(line.data(), static_cast<std::streamsize>(line.size())).flush();
}

TraceLine& TraceLine::text(std::string_view s) {
    for (char c : s) {
        if (n_ == kMax) break;
        buf_[n_++] = c;
    }
    return *this;
}

// Numbers are formatted aside first, so that one that no longer fits is cut like text.
TraceLine& TraceLine::dec(int64_t v) {
    char digits[24];
    const auto r = std::to_chars(digits, digits + sizeof digits, v);
    return text(std::string_view(digits, static_cast<size_t>(r.ptr - digits)));
}

TraceLine& TraceLine::hex(unsigned v) {
    char digits[16];
    const auto r = std::to_chars(digits, digits + sizeof digits, v, 16);
    return text(std::string_view(digits, static_cast<size_t>(r.ptr - digits)));
}

void TraceLine::end() {
    buf_[n_++] = '\n';
    trace(std::string_view(buf_, n_));
    n_ = 0;
}

}  // namespace zrt

#include "common/trace_line.h"

#include <charconv>
#include <cstring>
#include <iostream>

namespace zrt {

namespace {

// A non-negative binary fraction F / 2^bits held in 32-bit words (no 128-bit type on 32-bit
// ARM), wide enough for a float's smallest fraction (bits up to 149) times ten.
struct Fraction {
    uint32_t w[5] = {};
    int bits = 0;
    bool zero() const { return (w[0] | w[1] | w[2] | w[3] | w[4]) == 0; }
    // Multiplies by ten and returns the decimal digit that moved above the binary point.
    int next_digit() {
        uint64_t carry = 0;
        for (uint32_t& word : w) {
            const uint64_t t = uint64_t(word) * 10 + carry;
            word = uint32_t(t);
            carry = t >> 32;
        }
        const int word = bits / 32, shift = bits % 32;
        const uint64_t above = (uint64_t(word + 1 < 5 ? w[word + 1] : 0) << 32 | w[word]) >> shift;
        w[word] &= shift == 0 ? 0u : (uint32_t(1) << shift) - 1;
        if (word + 1 < 5) w[word + 1] = 0;
        return int(above);
    }
};

// Decimal digits of a float: the significant ones, most significant first, as many as fit
// `max`, whether any non-zero digit follows, and the power of ten of the first.
struct Digits {
    char d[48];
    int count = 0;
    int exp10 = 0;
    bool sticky = false;
};

void exact_digits(uint32_t mant, int exp2, int max, Digits& out) {
    if (exp2 >= 0) {
        // An integer below 2^128: four words, divided by ten down to zero.
        uint32_t n[4] = {mant, 0, 0, 0};
        for (int s = 0; s < exp2; ++s) {
            for (int k = 3; k > 0; --k) n[k] = n[k] << 1 | n[k - 1] >> 31;
            n[0] <<= 1;
        }
        char rev[40];
        int len = 0;
        while ((n[0] | n[1] | n[2] | n[3]) != 0) {
            uint64_t rem = 0;
            for (int k = 3; k >= 0; --k) {
                const uint64_t cur = rem << 32 | n[k];
                n[k] = uint32_t(cur / 10);
                rem = cur % 10;
            }
            rev[len++] = char('0' + rem);
        }
        out.exp10 = len - 1;
        for (int k = len - 1; k >= 0; --k) {
            if (out.count < max) out.d[out.count++] = rev[k];
            else if (rev[k] != '0') out.sticky = true;
        }
        return;
    }
    // The integer part (below 2^24) first, then the fraction digit by digit.
    const int frac_bits = -exp2;
    uint32_t whole = frac_bits >= 32 ? 0 : mant >> frac_bits;
    Fraction f;
    f.bits = frac_bits;
    f.w[0] = frac_bits >= 32 ? mant : mant & ((uint32_t(1) << frac_bits) - 1);
    char rev[10];
    int len = 0;
    for (; whole != 0; whole /= 10) rev[len++] = char('0' + whole % 10);
    out.exp10 = len - 1;
    for (int k = len - 1; k >= 0; --k) out.d[out.count++] = rev[k];
    while (out.count < max && !f.zero()) {
        const int digit = f.next_digit();
        if (out.count == 0 && digit == 0) {
            --out.exp10;  // a leading zero of the fraction
            continue;
        }
        out.d[out.count++] = char('0' + digit);
    }
    out.sticky = !f.zero();
}

// Appends v as printf's "%g" (six significant digits) does in the "C" locale: no locale, no
// heap, and no need for a library that formats floats itself. Returns the new end.
char* put_general(char* p, float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    if (bits >> 31) *p++ = '-';
    const uint32_t biased = bits >> 23 & 0xffu, frac = bits & 0x7fffffu;
    if (biased == 0xffu) {
        std::memcpy(p, frac != 0 ? "nan" : "inf", 3);
        return p + 3;
    }
    if (biased == 0 && frac == 0) {
        *p++ = '0';
        return p;
    }
    const uint32_t mant = biased == 0 ? frac : (frac | 0x800000u);
    const int exp2 = biased == 0 ? -149 : int(biased) - 150;

    constexpr int kPrecision = 6;
    Digits g;
    exact_digits(mant, exp2, kPrecision + 1, g);
    while (g.count < kPrecision + 1) g.d[g.count++] = '0';
    // Round to six digits, ties to even, as printf rounds the exact value.
    const char next = g.d[kPrecision];
    const bool up = next > '5' || (next == '5' && (g.sticky || (g.d[kPrecision - 1] - '0') % 2 == 1));
    if (up) {
        int k = kPrecision - 1;
        while (k >= 0 && g.d[k] == '9') g.d[k--] = '0';
        if (k >= 0) {
            ++g.d[k];
        } else {
            g.d[0] = '1';  // 999999.5 became 1000000
            ++g.exp10;
        }
    }
    int last = kPrecision;  // one past the last digit that is not a trailing zero
    while (last > 1 && g.d[last - 1] == '0') --last;

    const int x = g.exp10;
    if (x < -4 || x >= kPrecision) {
        *p++ = g.d[0];
        if (last > 1) {
            *p++ = '.';
            for (int k = 1; k < last; ++k) *p++ = g.d[k];
        }
        *p++ = 'e';
        *p++ = x < 0 ? '-' : '+';
        const int ax = x < 0 ? -x : x;
        if (ax >= 10) *p++ = char('0' + ax / 10);
        else *p++ = '0';
        *p++ = char('0' + ax % 10);
        return p;
    }
    if (x < 0) {
        *p++ = '0';
        *p++ = '.';
        for (int k = -1; k > x; --k) *p++ = '0';
        for (int k = 0; k < last; ++k) *p++ = g.d[k];
        return p;
    }
    for (int k = 0; k <= x; ++k) *p++ = g.d[k];
    if (last > x + 1) {
        *p++ = '.';
        for (int k = x + 1; k < last; ++k) *p++ = g.d[k];
    }
    return p;
}

}  // namespace

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

TraceLine& TraceLine::general(float v) {
    char digits[kMaxFloat];
    const char* end = put_general(digits, v);
    return text(std::string_view(digits, static_cast<size_t>(end - digits)));
}

std::string_view TraceLine::finish() {
    buf_[n_++] = '\n';
    return std::string_view(buf_, n_);
}

void TraceLine::end() {
    trace(finish());
    n_ = 0;
}

}  // namespace zrt

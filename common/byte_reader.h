#pragma once
#include <cstdint>
#include <cstring>

namespace zrt {

// Bytes of one value as the replies carry it: an IEEE-754 single, least significant byte
// first.
inline constexpr int kValueSize = 4;

// Bounded cursor over the info bytes a parse hook is given. It never touches memory at or
// beyond `len`: a read that runs past the end yields zero bytes for the missing part, while
// the cursor still advances by the full width. The hooks do not rely on that: they ask
// fits() (through ReplyWalk::need) before every field, so the padding only keeps a mistake
// harmless.
class ByteReader {
public:
    ByteReader(const unsigned char* p, int len) : p_(p), len_(len < 0 ? 0 : len) {}

    int pos() const { return pos_; }
    int len() const { return len_; }
    // True when the next n bytes lie within len.
    bool fits(int n) const { return n >= 0 && static_cast<long long>(pos_) + n <= len_; }
    // Bytes the walk would have used once the next n bytes are taken.
    int end_of(int n) const { return pos_ + n; }
    const unsigned char* at() const { return p_ + pos_; }

    uint8_t u8() {
        uint8_t v = (pos_ >= 0 && pos_ < len_) ? p_[pos_] : 0;
        ++pos_;
        return v;
    }
    uint8_t peek(int offset = 0) const {
        long long i = static_cast<long long>(pos_) + offset;
        return (i >= 0 && i < len_) ? p_[i] : 0;
    }
    // Copies n bytes to dst; the part past len reads as zero.
    void copy(void* dst, int n) {
        if (n <= 0) return;
        unsigned char* d = static_cast<unsigned char*>(dst);
        int avail = 0;
        if (pos_ < len_) avail = len_ - pos_ < n ? len_ - pos_ : n;
        if (avail > 0) std::memcpy(d, p_ + pos_, static_cast<size_t>(avail));
        if (avail < n) std::memset(d + avail, 0, static_cast<size_t>(n - avail));
        pos_ += n;
    }
    // Whether a value's four bytes carry the no-value pattern: all four equal and the first not zero.
    static bool no_value(const unsigned char* v) { return v[0] != 0 && v[1] == v[0] && v[2] == v[1] && v[3] == v[2]; }
    void skip(int n) {
        if (n > 0) pos_ += n;
    }
    void seek(int pos) { pos_ = pos; }

private:
    const unsigned char* p_;
    int len_;
    int pos_ = 0;
};

}  // namespace zrt

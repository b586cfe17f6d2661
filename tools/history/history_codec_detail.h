#pragma once
// What the history's coders share inside the codec: the blob versions, the escape of the
// Rice code, the scales a value may take, and the bit helpers.
#include <cstdint>
#include <cstring>
#include <vector>

#include "tools/history/history_codec.h"

namespace zrt::host::codec::detail {

constexpr uint64_t kVersion = 1;  // rollups; cycle chunks of earlier versions
constexpr uint64_t kCycleVersion = 2;
constexpr uint64_t kOldChunkVersion = 2;  // read as it is
constexpr uint64_t kChunkVersion = 3;
constexpr int kRiceEscape = 24;

inline uint64_t bits_of(double v) {
    uint64_t b;
    std::memcpy(&b, &v, 8);
    return b;
}
inline double from_bits(uint64_t b) {
    double v;
    std::memcpy(&v, &b, 8);
    return v;
}

constexpr double kPow10[] = {1, 10, 100, 1000, 10000, 100000, 1000000};
constexpr int kMaxScale = 6;

inline int leading_zeros(uint64_t v) { return v ? __builtin_clzll(v) : 64; }
inline int trailing_zeros(uint64_t v) { return v ? __builtin_ctzll(v) : 64; }

inline void put_bytes(std::vector<uint8_t>& out, const BitWriter& w) {
    out.insert(out.end(), w.bytes().begin(), w.bytes().begin() + static_cast<long>((w.bits() + 7) / 8));
}

// Sums that wrap instead of overflowing: a damaged blob gives wrong times, never undefined
// behaviour.
inline int64_t wrap_add(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}

// A stream's refresh period: 2 bits for the usual ones.
inline void put_refresh(BitWriter& w, int64_t ms) {
    if (ms == 0) w.put(0, 2);
    else if (ms == 60'000) w.put(1, 2);
    else if (ms == 600'000) w.put(2, 2);
    else {
        w.put(3, 2);
        w.put(static_cast<uint64_t>(ms), 64);
    }
}

inline int64_t get_refresh(BitReader& r) {
    switch (r.get(2)) {
    case 0: return 0;
    case 1: return 60'000;
    case 2: return 600'000;
    default: return static_cast<int64_t>(r.get(64));
    }
}

}  // namespace zrt::host::codec::detail

// The bit codes every form of the history file is built of, and the hourly rollups.
#include "tools/history/history_codec.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <unordered_map>

#include "tools/history/history_codec_detail.h"

namespace zrt::host::codec {
using namespace detail;

void BitWriter::put(uint64_t v, int bits) {
    while (bits > 0) {
        if ((bits_ & 7) == 0) bytes_.push_back(0);
        const int room = 8 - static_cast<int>(bits_ & 7);
        const int n = bits < room ? bits : room;
        const auto part = static_cast<uint8_t>((v >> (bits - n)) & ((1u << n) - 1));
        bytes_.back() |= static_cast<uint8_t>(part << (room - n));
        bits_ += static_cast<size_t>(n);
        bits -= n;
    }
}

void BitWriter::append(const BitWriter& w) {
    const size_t n = w.bits();
    size_t k = 0;
    for (; k + 8 <= n; k += 8) put(w.bytes()[k / 8], 8);
    for (; k < n; ++k) put((w.bytes()[k / 8] >> (7 - (k & 7))) & 1, 1);
}

uint64_t BitReader::get(int bits) {
    if (bits_ - std::min(pos_, bits_) < static_cast<size_t>(bits)) {
        failed_ = true;
        pos_ = bits_;
        return 0;
    }
    uint64_t v = 0;
    while (bits > 0) {
        const int room = 8 - static_cast<int>(pos_ & 7);
        const int n = bits < room ? bits : room;
        v = (v << n) | ((p_[pos_ >> 3] >> (room - n)) & ((1u << n) - 1));
        pos_ += static_cast<size_t>(n);
        bits -= n;
    }
    return v;
}

void put_gamma(BitWriter& w, uint64_t n) {
    const int top = 63 - leading_zeros(n);
    w.put(0, top);
    w.put(n, top + 1);
}

uint64_t get_gamma(BitReader& r) {
    int zeros = 0;
    while (!r.failed() && !r.bit()) {
        if (++zeros > 63) {
            r.get(64 * 2);  // a code this long is no code: fail the reader
            return 0;
        }
    }
    if (r.failed()) return 0;
    return zeros ? ((uint64_t{1} << zeros) | r.get(zeros)) : 1;
}

void put_small(BitWriter& w, uint64_t z) {
    if (z == 0) {
        w.put_bit(false);
    } else if (z < (1u << 7)) {
        w.put(0b10, 2);
        w.put(z, 7);
    } else if (z < (1u << 12)) {
        w.put(0b110, 3);
        w.put(z, 12);
    } else if (z < (1u << 20)) {
        w.put(0b1110, 4);
        w.put(z, 20);
    } else {
        w.put(0b1111, 4);
        w.put(z, 64);
    }
}

uint64_t get_small(BitReader& r) {
    if (!r.bit()) return 0;
    if (!r.bit()) return r.get(7);
    if (!r.bit()) return r.get(12);
    if (!r.bit()) return r.get(20);
    return r.get(64);
}

void put_step(BitWriter& w, uint64_t z) {
    if (z == 0) {
        w.put_bit(false);
    } else if (z <= 4) {
        w.put(0b10, 2);
        w.put(z - 1, 2);
    } else if (z <= 36) {
        w.put(0b110, 3);
        w.put(z - 5, 5);
    } else if (z <= 548) {
        w.put(0b1110, 4);
        w.put(z - 37, 9);
    } else if (z < (1u << 16)) {
        w.put(0b11110, 5);
        w.put(z, 16);
    } else {
        w.put(0b11111, 5);
        w.put(z, 64);
    }
}

uint64_t get_step(BitReader& r) {
    if (!r.bit()) return 0;
    if (!r.bit()) return r.get(2) + 1;
    if (!r.bit()) return r.get(5) + 5;
    if (!r.bit()) return r.get(9) + 37;
    if (!r.bit()) return r.get(16);
    return r.get(64);
}

void put_delta(BitWriter& w, uint64_t n) {
    const int top = 63 - leading_zeros(n);
    put_gamma(w, static_cast<uint64_t>(top) + 1);
    w.put(n, top);
}

uint64_t get_delta(BitReader& r) {
    const uint64_t len = get_gamma(r);
    if (r.failed() || len > 64) {
        r.get(64 * 2);
        return 0;
    }
    const int top = static_cast<int>(len) - 1;
    return (uint64_t{1} << top) | r.get(top);
}

int Rice::k() const {
    int k = 0;
    while (k < 56 && (uint64_t{n_} << k) < sum_) ++k;
    return k;
}

void Rice::seen(uint64_t v, int k) {
    // A number far above the mean moves it by at most 2^(k+3): one jump (a clock step, a
    // value's first change in a new range) does not make the small numbers after it long,
    // while numbers that stay large raise k within a few.
    sum_ += std::min<uint64_t>(v, uint64_t{1} << (k + 3));
    if (++n_ == 16) {  // the recent numbers count most
        sum_ = (sum_ + 1) / 2;
        n_ = 8;
    }
}

void Rice::put(BitWriter& w, uint64_t v) {
    const int k = this->k();
    const uint64_t q = v >> k;
    if (q < uint64_t(kRiceEscape)) {
        w.put((uint64_t{1} << (q + 1)) - 2, static_cast<int>(q) + 1);  // q ones, a zero
        w.put(v, k);
    } else {
        w.put((uint64_t{1} << kRiceEscape) - 1, kRiceEscape);
        w.put(v, 64);
    }
    seen(v, k);
}

uint64_t Rice::get(BitReader& r) {
    const int k = this->k();
    uint64_t q = 0;
    while (q < uint64_t(kRiceEscape) && r.bit()) ++q;
    const uint64_t v = q == uint64_t(kRiceEscape) ? r.get(64) : (q << k) | r.get(k);
    if (r.failed()) return 0;
    seen(v, k);
    return v;
}

void put_varint(std::vector<uint8_t>& out, uint64_t v) {
    while (v >= 0x80) {
        out.push_back(static_cast<uint8_t>(v | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<uint8_t>(v));
}

bool get_varint(const uint8_t*& p, const uint8_t* end, uint64_t& v) {
    v = 0;
    for (int shift = 0; shift < 64; shift += 7) {
        if (p >= end) return false;
        const uint8_t b = *p++;
        v |= uint64_t(b & 0x7f) << shift;
        if (!(b & 0x80)) return true;
    }
    return false;
}

// ---- rollups

void merge_rollup(Rollup& a, const Rollup& b) {
    if (b.count) {
        if (!a.count) {
            a.min = b.min;
            a.max = b.max;
            a.mean = b.mean;
        } else {
            a.min = std::min(a.min, b.min);
            a.max = std::max(a.max, b.max);
            a.mean = (a.mean * double(a.count) + b.mean * double(b.count)) / double(a.count + b.count);
        }
    }
    a.count += b.count;
    a.absent += b.absent;
}

std::vector<uint8_t> encode_rollups(std::vector<Rollup> rows) {
    std::sort(rows.begin(), rows.end(),
              [](const Rollup& a, const Rollup& b) { return a.series != b.series ? a.series < b.series : a.hour < b.hour; });
    std::vector<uint8_t> head, body;
    put_varint(head, kVersion);
    size_t series = 0;
    for (size_t k = 0; k < rows.size(); ++k)
        if (k == 0 || rows[k].series != rows[k - 1].series) ++series;
    put_varint(head, series);
    for (size_t k = 0; k < rows.size();) {
        size_t e = k;
        while (e < rows.size() && rows[e].series == rows[k].series) ++e;
        BitWriter w;
        ValueCoder mn, mx;
        int64_t hour = -1;
        uint64_t count = 0, absent = 0, mean = 0;
        for (size_t j = k; j < e; ++j) {
            const Rollup& r = rows[j];
            put_small(w, zigzag(r.hour - hour - 1));
            put_small(w, zigzag(static_cast<int64_t>(r.count - count)));
            put_small(w, zigzag(static_cast<int64_t>(r.absent - absent)));
            hour = r.hour;
            count = r.count;
            absent = r.absent;
            if (!r.count) continue;
            mn.encode(w, r.min);
            mx.encode(w, r.max);
            const uint64_t x = bits_of(r.mean) ^ mean;
            mean = bits_of(r.mean);
            if (!x) {
                w.put_bit(false);
            } else {
                const int lead = std::min(leading_zeros(x), 63), len = 64 - lead - trailing_zeros(x);
                w.put_bit(true);
                w.put(static_cast<uint64_t>(lead), 6);
                w.put(static_cast<uint64_t>(len - 1), 6);
                w.put(x >> trailing_zeros(x), len);
            }
        }
        put_varint(head, static_cast<uint64_t>(rows[k].series));
        put_varint(head, e - k);
        put_varint(head, w.bits());
        put_bytes(body, w);
        k = e;
    }
    head.insert(head.end(), body.begin(), body.end());
    return head;
}

bool decode_rollups(const uint8_t* p, size_t n, std::vector<Rollup>& out) {
    const uint8_t* end = p + n;
    uint64_t version, series;
    if (!get_varint(p, end, version) || version != kVersion || !get_varint(p, end, series) || series > n) return false;
    struct Head {
        uint64_t series, rows, bits;
    };
    std::vector<Head> heads(series);
    for (Head& h : heads)
        if (!get_varint(p, end, h.series) || !get_varint(p, end, h.rows) || !get_varint(p, end, h.bits) || h.rows > 24)
            return false;
    for (const Head& h : heads) {
        if ((h.bits + 7) / 8 > static_cast<size_t>(end - p)) return false;
        BitReader r(p, h.bits);
        p += (h.bits + 7) / 8;
        ValueCoder mn, mx;
        Rollup last;
        last.hour = -1;
        uint64_t mean = 0;
        for (uint64_t k = 0; k < h.rows; ++k) {
            Rollup x;
            x.series = static_cast<int64_t>(h.series);
            x.hour = static_cast<int>(last.hour + 1 + unzigzag(get_small(r)));
            x.count = last.count + static_cast<uint64_t>(unzigzag(get_small(r)));
            x.absent = last.absent + static_cast<uint64_t>(unzigzag(get_small(r)));
            if (x.hour < 0 || x.hour > 23) return false;
            if (x.count) {
                if (!mn.decode(r, x.min) || !mx.decode(r, x.max)) return false;
                if (r.bit()) {
                    const int lead = static_cast<int>(r.get(6)), len = static_cast<int>(r.get(6)) + 1;
                    if (lead + len > 64) return false;
                    mean ^= r.get(len) << (64 - lead - len);
                }
                x.mean = from_bits(mean);
            }
            if (r.failed()) return false;
            out.push_back(x);
            last = x;
        }
    }
    return true;
}

}  // namespace zrt::host::codec

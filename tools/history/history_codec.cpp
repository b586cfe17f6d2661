#include "tools/history/history_codec.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <unordered_map>

namespace zrt::host::codec {
namespace {

constexpr uint64_t kVersion = 1;
constexpr uint64_t kChunkVersion = 2;

uint64_t bits_of(double v) {
    uint64_t b;
    std::memcpy(&b, &v, 8);
    return b;
}
double from_bits(uint64_t b) {
    double v;
    std::memcpy(&v, &b, 8);
    return v;
}

constexpr double kPow10[] = {1, 10, 100, 1000, 10000, 100000, 1000000};
constexpr int kMaxScale = 6;

int leading_zeros(uint64_t v) { return v ? __builtin_clzll(v) : 64; }
int trailing_zeros(uint64_t v) { return v ? __builtin_ctzll(v) : 64; }

void put_bytes(std::vector<uint8_t>& out, const BitWriter& w) {
    out.insert(out.end(), w.bytes().begin(), w.bytes().begin() + static_cast<long>((w.bits() + 7) / 8));
}

}  // namespace

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

// ---- values

double ValueCoder::make(int64_t k) const {
    const double d = static_cast<double>(k) / kPow10[scale_];
    return mode_ == 1 ? static_cast<double>(static_cast<float>(d)) : d;
}

bool ValueCoder::exact(double v, int mode, int scale, int64_t& k) const {
    if (!std::isfinite(v)) return false;
    const double x = v * kPow10[scale];
    if (!(std::fabs(x) < 4503599627370496.0)) return false;  // 2^52: integers stay exact
    k = std::llround(x);
    double d = static_cast<double>(k) / kPow10[scale];
    if (mode == 1) d = static_cast<double>(static_cast<float>(d));
    return bits_of(d) == bits_of(v);
}

void ValueCoder::encode(BitWriter& w, double v) {
    int64_t k = 0;
    if (mode_ >= 0 && exact(v, mode_, scale_, k)) {
        w.put_bit(false);
        if (steps_) put_step(w, zigzag(k - k_));
        else put_small(w, zigzag(k - k_));
        k_ = k;
        return;
    }
    for (int mode : {1, 0}) {
        for (int s = 0; s <= kMaxScale; ++s) {
            if (!exact(v, mode, s, k)) continue;
            w.put(0b10, 2);
            w.put(static_cast<uint64_t>(mode), 1);
            w.put(static_cast<uint64_t>(s), 3);
            put_small(w, zigzag(k));
            mode_ = mode;
            scale_ = s;
            k_ = k;
            return;
        }
    }
    w.put(0b11, 2);
    w.put(bits_of(v), 64);
    mode_ = -1;
}

bool ValueCoder::decode(BitReader& r, double& v) {
    if (!r.bit()) {
        if (mode_ < 0) return false;
        k_ += unzigzag(steps_ ? get_step(r) : get_small(r));
        v = make(k_);
        return !r.failed();
    }
    if (!r.bit()) {
        mode_ = static_cast<int>(r.get(1));
        scale_ = static_cast<int>(r.get(3));
        if (scale_ > kMaxScale) return false;
        k_ = unzigzag(get_small(r));
        v = make(k_);
        return !r.failed();
    }
    v = from_bits(r.get(64));
    mode_ = -1;
    return !r.failed();
}

// ---- series streams

int64_t expected_poll(const std::vector<int64_t>& polls, int64_t from, int64_t due) {
    for (size_t k = static_cast<size_t>(from) + 1; k < polls.size(); ++k)
        if (polls[k] >= due) return static_cast<int64_t>(k);
    return -1;
}

namespace {

bool same_value(const std::optional<double>& a, const std::optional<double>& b) {
    if (a.has_value() != b.has_value()) return false;
    return !a || bits_of(*a) == bits_of(*b);
}

}  // namespace

// A sample: '0' + gamma(n): n samples, each at the expected poll with an unchanged value;
// '1' + time + value, where time is '0' (the expected poll) or '1' + gamma(polls on), and
// value is '0' (unchanged), '10' (absent) or '11' + the number.
void SeriesEncoder::add(const std::vector<int64_t>& polls, const std::optional<double>& v) {
    const int64_t poll = static_cast<int64_t>(polls.size()) - 1;
    const int64_t expected = last_poll_ >= 0 && refresh_ms_ > 0
                                 ? expected_poll(polls, last_poll_, polls[static_cast<size_t>(last_poll_)] + refresh_ms_)
                                 : -1;
    const bool same = same_value(v, last_);
    if (expected == poll && same) {
        ++run_;
    } else {
        if (run_) {
            w_.put_bit(false);
            put_gamma(w_, run_);
            run_ = 0;
        }
        w_.put_bit(true);
        if (expected == poll) {
            w_.put_bit(false);
        } else {
            w_.put_bit(true);
            put_gamma(w_, static_cast<uint64_t>(poll - last_poll_));
        }
        if (same) {
            w_.put_bit(false);
        } else if (!v) {
            w_.put(0b10, 2);
        } else {
            w_.put(0b11, 2);
            values_.encode(w_, *v);
        }
    }
    last_poll_ = poll;
    last_ = v;
    ++samples_;
}

BitWriter SeriesEncoder::finish() const {
    BitWriter w = w_;
    if (run_) {
        w.put_bit(false);
        put_gamma(w, run_);
    }
    return w;
}

bool decode_stream(const ParsedChunk& c, const ChunkStream& s, std::vector<Sample>& out) {
    BitReader r(s.bits, s.offset + s.nbits, s.offset);
    ValueCoder values(true);
    int64_t last_poll = -1;
    std::optional<double> last;
    const size_t start = out.size();
    auto expected = [&]() -> int64_t {
        if (last_poll < 0 || s.refresh_ms <= 0) return -1;
        return expected_poll(c.polls, last_poll, c.polls[static_cast<size_t>(last_poll)] + s.refresh_ms);
    };
    while (out.size() - start < s.samples) {
        if (!r.bit()) {
            const uint64_t n = get_gamma(r);
            if (r.failed() || n > s.samples - (out.size() - start)) return false;
            for (uint64_t k = 0; k < n; ++k) {
                const int64_t p = expected();
                if (p < 0) return false;
                out.push_back({static_cast<uint32_t>(p), last});
                last_poll = p;
            }
            continue;
        }
        int64_t poll;
        if (!r.bit()) {
            poll = expected();
        } else {
            const uint64_t d = get_gamma(r);
            poll = d > c.polls.size() ? -1 : last_poll + static_cast<int64_t>(d);
        }
        if (r.failed() || poll < 0 || poll >= static_cast<int64_t>(c.polls.size())) return false;
        if (r.bit()) {
            if (!r.bit()) {
                last.reset();
            } else {
                double v;
                if (!values.decode(r, v)) return false;
                last = v;
            }
        }
        out.push_back({static_cast<uint32_t>(poll), last});
        last_poll = poll;
    }
    return !r.failed();
}

// ---- chunks

void ChunkEncoder::add_poll(int64_t t) {
    if (polls_.empty()) {
        poll_bits_.put(static_cast<uint64_t>(t), 64);
    } else {
        const int64_t delta = t - polls_.back();
        put_small(poll_bits_, zigzag(delta - last_delta_));
        last_delta_ = delta;
    }
    polls_.push_back(t);
}

SeriesEncoder& ChunkEncoder::stream(int64_t series, int64_t refresh_ms) {
    for (SeriesEncoder& s : streams_)
        if (s.series() == series) return s;
    streams_.emplace_back(series, refresh_ms);
    return streams_.back();
}

// A chunk: varints of the version, the poll count and the stream count, then one bit
// stream: the polls, and per series its header (the series id as the change from the one
// before, the refresh period, the sample count, the stream's length in bits) and samples.
namespace {

void put_refresh(BitWriter& w, int64_t ms) {
    if (ms == 0) w.put(0, 2);
    else if (ms == 60'000) w.put(1, 2);
    else if (ms == 600'000) w.put(2, 2);
    else {
        w.put(3, 2);
        w.put(static_cast<uint64_t>(ms), 64);
    }
}

int64_t get_refresh(BitReader& r) {
    switch (r.get(2)) {
    case 0: return 0;
    case 1: return 60'000;
    case 2: return 600'000;
    default: return static_cast<int64_t>(r.get(64));
    }
}

}  // namespace

std::vector<uint8_t> ChunkEncoder::blob() const {
    std::vector<uint8_t> out;
    put_varint(out, kChunkVersion);
    put_varint(out, polls_.size());
    put_varint(out, streams_.size());
    BitWriter w = poll_bits_;
    int64_t series = 0;
    for (const SeriesEncoder& s : streams_) {
        const BitWriter bits = s.finish();
        put_small(w, zigzag(s.series() - series - 1));
        series = s.series();
        put_refresh(w, s.refresh_ms());
        put_gamma(w, uint64_t(s.samples()) + 1);
        put_gamma(w, bits.bits() + 1);
        w.append(bits);
    }
    put_bytes(out, w);
    return out;
}

bool parse_chunk(const uint8_t* p, size_t n, ParsedChunk& out) {
    out = ParsedChunk{};
    const uint8_t* end = p + n;
    uint64_t version, polls, streams;
    if (!get_varint(p, end, version) || version != kChunkVersion || !get_varint(p, end, polls) ||
        !get_varint(p, end, streams))
        return false;
    const size_t nbits = static_cast<size_t>(end - p) * 8;
    if (streams > nbits || polls > nbits + 1) return false;
    BitReader r(p, nbits);
    int64_t delta = 0;
    out.polls.reserve(polls);
    for (uint64_t k = 0; k < polls; ++k) {
        if (k == 0) {
            out.polls.push_back(static_cast<int64_t>(r.get(64)));
        } else {
            delta += unzigzag(get_small(r));
            out.polls.push_back(out.polls.back() + delta);
        }
        if (r.failed()) return false;
    }
    out.streams.resize(streams);
    int64_t series = 0;
    for (ChunkStream& s : out.streams) {
        s.series = series + 1 + unzigzag(get_small(r));
        series = s.series;
        s.refresh_ms = get_refresh(r);
        const uint64_t samples = get_gamma(r) - 1, bits = get_gamma(r) - 1;
        if (r.failed() || samples > 0xFFFFFFFFu || bits > nbits - r.pos()) return false;
        s.samples = static_cast<uint32_t>(samples);
        s.bits = p;
        s.offset = r.pos();
        s.nbits = bits;
        r = BitReader(p, nbits, r.pos() + bits);
    }
    return true;
}

std::vector<uint8_t> trim_chunk(const ParsedChunk& c, int64_t cut, bool& ok, int64_t shift) {
    ok = true;
    // The samples by poll: (stream, value).
    std::vector<std::vector<std::pair<size_t, std::optional<double>>>> at(c.polls.size());
    std::vector<Sample> samples;
    for (size_t k = 0; k < c.streams.size(); ++k) {
        samples.clear();
        if (!decode_stream(c, c.streams[k], samples)) {
            ok = false;
            return {};
        }
        for (const Sample& s : samples) at[s.poll].emplace_back(k, s.value);
    }
    ChunkEncoder e;
    for (size_t p = 0; p < c.polls.size(); ++p) {
        if (c.polls[p] < cut) continue;
        e.add_poll(c.polls[p] + shift);
        for (const auto& [k, v] : at[p]) e.stream(c.streams[k].series, c.streams[k].refresh_ms).add(e.polls(), v);
    }
    if (e.empty()) return {};
    return e.blob();
}

// ---- cycles

void CycleEncoder::add(const CycleRow& r) {
    const int64_t step = r.time_ms - last_.time_ms;
    sums_.errors += r.errors;
    sums_.bad_frames += r.bad_frames;
    sums_.timeouts += r.timeouts;
    sums_.duration_ms += r.duration_ms;
    sums_.covered_ms += rows_ && step >= 0 && step <= 60'000 ? double(step) : r.duration_ms;
    const int64_t delta = r.time_ms - last_.time_ms;
    put_small(w_, zigzag(delta - last_delta_));
    last_delta_ = delta;
    put_small(w_, zigzag(static_cast<int64_t>(r.n - last_.n - 1)));
    duration_.encode(w_, r.duration_ms);
    put_small(w_, zigzag(static_cast<int64_t>(r.errors - last_.errors)));
    put_small(w_, zigzag(static_cast<int64_t>(r.bad_frames - last_.bad_frames)));
    put_small(w_, zigzag(static_cast<int64_t>(r.timeouts - last_.timeouts)));
    last_ = r;
    ++rows_;
}

std::vector<uint8_t> CycleEncoder::blob() const {
    std::vector<uint8_t> out;
    put_varint(out, kVersion);
    put_varint(out, rows_);
    put_varint(out, w_.bits());
    put_bytes(out, w_);
    return out;
}

bool decode_cycles(const uint8_t* p, size_t n, std::vector<CycleRow>& out) {
    const uint8_t* end = p + n;
    uint64_t version, rows, nbits;
    if (!get_varint(p, end, version) || version != kVersion || !get_varint(p, end, rows) ||
        !get_varint(p, end, nbits) || (nbits + 7) / 8 > static_cast<size_t>(end - p) || rows > nbits)
        return false;
    BitReader r(p, nbits);
    ValueCoder duration;
    CycleRow last;
    int64_t delta = 0;
    for (uint64_t k = 0; k < rows; ++k) {
        CycleRow c;
        delta += unzigzag(get_small(r));
        c.time_ms = last.time_ms + delta;
        c.n = last.n + 1 + static_cast<uint64_t>(unzigzag(get_small(r)));
        if (!duration.decode(r, c.duration_ms)) return false;
        c.errors = last.errors + static_cast<uint64_t>(unzigzag(get_small(r)));
        c.bad_frames = last.bad_frames + static_cast<uint64_t>(unzigzag(get_small(r)));
        c.timeouts = last.timeouts + static_cast<uint64_t>(unzigzag(get_small(r)));
        if (r.failed()) return false;
        out.push_back(c);
        last = c;
    }
    return true;
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

#include "tools/history/history_codec.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <unordered_map>

namespace zrt::host::codec {
namespace {

constexpr uint64_t kVersion = 1;  // rollups; cycle chunks of earlier versions
constexpr uint64_t kCycleVersion = 2;
constexpr uint64_t kOldChunkVersion = 2;  // read as it is
constexpr uint64_t kChunkVersion = 3;
constexpr int kRiceEscape = 24;

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
    // Not a step: a full value, as put_full writes it.
    w.put_bit(true);
    put_full(w, v);
}

void ValueCoder::put_full(BitWriter& w, double v) {
    int64_t k = 0;
    for (int mode : {1, 0}) {
        for (int s = 0; s <= kMaxScale; ++s) {
            if (!exact(v, mode, s, k)) continue;
            w.put_bit(false);
            w.put(static_cast<uint64_t>(mode), 1);
            w.put(static_cast<uint64_t>(s), 3);
            put_small(w, zigzag(k));
            mode_ = mode;
            scale_ = s;
            k_ = k;
            return;
        }
    }
    w.put_bit(true);
    w.put(bits_of(v), 64);
    mode_ = -1;
}

bool ValueCoder::get_full(BitReader& r, double& v) {
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

bool ValueCoder::decode(BitReader& r, double& v) {
    if (!r.bit()) {
        if (mode_ < 0) return false;
        k_ += unzigzag(steps_ ? get_step(r) : get_small(r));
        v = make(k_);
        return !r.failed();
    }
    return get_full(r, v);
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

// A stream is a sequence of codes:
//   '0' + gamma(n): n samples, each at the expected poll with an unchanged value;
//   '1' + the polls on since the sample before (Rice, less one) + the value:
//     '0' + the change of the scaled integer (Rice, zig-zagged),
//     '10' unchanged, '110' absent, '111' + the value's full form.
// It ends with its bits (chunks of version 3). Version 2 wrote '1' + time + value, time '0'
// (the expected poll) or '1' + gamma(polls on), value '0' (unchanged), '10' (absent) or
// '11' + ValueCoder's form with its step code, and counted its samples.
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
        gaps_.put(w_, static_cast<uint64_t>(poll - last_poll_ - 1));
        int64_t k = 0;
        if (same) {
            w_.put(0b10, 2);
        } else if (!v) {
            w_.put(0b110, 3);
        } else if (values_.fits(*v, k)) {
            w_.put_bit(false);
            steps_.put(w_, zigzag(k - values_.last()));
            values_.take(k);
        } else {
            w_.put(0b111, 3);
            values_.put_full(w_, *v);
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

namespace {

// Streams of version 2 chunks.
bool decode_stream_v2(const ParsedChunk& c, const ChunkStream& s, std::vector<Sample>& out) {
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

}  // namespace

bool decode_stream(const ParsedChunk& c, const ChunkStream& s, std::vector<Sample>& out) {
    if (s.version == int(kOldChunkVersion)) return decode_stream_v2(c, s, out);
    const size_t end = s.offset + s.nbits;
    BitReader r(s.bits, end, s.offset);
    ValueCoder values;
    Rice gaps(8), steps(4);
    int64_t last_poll = -1;
    std::optional<double> last;
    const auto polls = static_cast<int64_t>(c.polls.size());
    while (r.pos() < end) {
        if (!r.bit()) {
            const uint64_t n = get_gamma(r);
            // Every sample of a run is a later poll: no run is longer than the polls left.
            if (r.failed() || last_poll < 0 || s.refresh_ms <= 0 || n > uint64_t(polls - last_poll)) return false;
            for (uint64_t k = 0; k < n; ++k) {
                const int64_t p =
                    expected_poll(c.polls, last_poll, c.polls[static_cast<size_t>(last_poll)] + s.refresh_ms);
                if (p < 0) return false;
                out.push_back({static_cast<uint32_t>(p), last});
                last_poll = p;
            }
            continue;
        }
        const uint64_t gap = gaps.get(r);
        if (r.failed() || gap >= uint64_t(polls - last_poll - 1)) return false;
        const int64_t poll = last_poll + 1 + static_cast<int64_t>(gap);
        if (!r.bit()) {
            if (!values.scaled()) return false;  // a change needs a value in a scale before it
            last = values.take(values.last() + unzigzag(steps.get(r)));
        } else if (!r.bit()) {
            // unchanged
        } else if (!r.bit()) {
            last.reset();
        } else {
            double v;
            if (!values.get_full(r, v)) return false;
            last = v;
        }
        if (r.failed()) return false;
        out.push_back({static_cast<uint32_t>(poll), last});
        last_poll = poll;
    }
    return !r.failed();
}

// ---- chunks

// Poll times: the first in 64 bits, the first step (put_small), then groups of a run of
// polls at the same step (gamma of the run + 1) and, where polls follow, one whose step
// changed (the change, zig-zagged, less one: Rice).
void ChunkEncoder::add_poll(int64_t t) {
    if (polls_.empty()) {
        poll_bits_.put(static_cast<uint64_t>(t), 64);
    } else if (polls_.size() == 1) {
        last_delta_ = t - polls_.back();
        put_small(poll_bits_, zigzag(last_delta_));
    } else {
        const int64_t delta = t - polls_.back();
        if (delta == last_delta_) {
            ++steady_;
        } else {
            put_gamma(poll_bits_, steady_ + 1);
            poll_rice_.put(poll_bits_, zigzag(delta - last_delta_) - 1);
            steady_ = 0;
            last_delta_ = delta;
        }
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
// before, the refresh period, the stream's length in bits: delta code) and samples.
// Version 2 wrote every poll's change of step (put_small) and the stream's sample count.
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
    if (steady_) put_gamma(w, steady_ + 1);
    int64_t series = 0;
    for (const SeriesEncoder& s : streams_) {
        const BitWriter bits = s.finish();
        put_small(w, zigzag(s.series() - series - 1));
        series = s.series();
        put_refresh(w, s.refresh_ms());
        put_delta(w, bits.bits() + 1);
        w.append(bits);
    }
    put_bytes(out, w);
    return out;
}

namespace {

// At most this many polls in a chunk: an hour at one a millisecond fits; a damaged count
// asks for no more memory than that.
constexpr uint64_t kMaxPolls = uint64_t{1} << 22;

bool parse_polls_v2(BitReader& r, uint64_t polls, std::vector<int64_t>& out) {
    int64_t delta = 0;
    for (uint64_t k = 0; k < polls; ++k) {
        if (k == 0) {
            out.push_back(static_cast<int64_t>(r.get(64)));
        } else {
            delta += unzigzag(get_small(r));
            out.push_back(out.back() + delta);
        }
        if (r.failed()) return false;
    }
    return true;
}

// Sums that wrap instead of overflowing: a damaged blob gives wrong times, never undefined
// behaviour.
int64_t wrap_add(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}

bool parse_polls(BitReader& r, uint64_t polls, std::vector<int64_t>& out) {
    if (polls == 0) return true;
    out.push_back(static_cast<int64_t>(r.get(64)));
    if (polls == 1) return !r.failed();
    int64_t delta = unzigzag(get_small(r));
    out.push_back(wrap_add(out.back(), delta));
    uint64_t left = polls - 2;
    Rice rice(16);
    while (left > 0 && !r.failed()) {
        const uint64_t run = get_gamma(r) - 1;
        if (r.failed() || run > left) return false;
        for (uint64_t k = 0; k < run; ++k) out.push_back(wrap_add(out.back(), delta));
        left -= run;
        if (left == 0) break;
        delta = wrap_add(delta, unzigzag(rice.get(r) + 1));
        out.push_back(wrap_add(out.back(), delta));
        --left;
    }
    return !r.failed();
}

}  // namespace

bool parse_chunk(const uint8_t* p, size_t n, ParsedChunk& out) {
    out = ParsedChunk{};
    const uint8_t* end = p + n;
    uint64_t version, polls, streams;
    if (!get_varint(p, end, version) || (version != kChunkVersion && version != kOldChunkVersion) ||
        !get_varint(p, end, polls) || !get_varint(p, end, streams))
        return false;
    const bool old = version == kOldChunkVersion;
    const size_t nbits = static_cast<size_t>(end - p) * 8;
    if (streams > nbits || (old && polls > nbits + 1) || polls > kMaxPolls) return false;
    BitReader r(p, nbits);
    out.polls.reserve(std::min<uint64_t>(polls, 4096));
    if (!(old ? parse_polls_v2(r, polls, out.polls) : parse_polls(r, polls, out.polls))) return false;
    out.streams.resize(streams);
    int64_t series = 0;
    for (ChunkStream& s : out.streams) {
        s.series = series + 1 + unzigzag(get_small(r));
        series = s.series;
        s.refresh_ms = get_refresh(r);
        s.version = static_cast<int>(version);
        uint64_t samples = 0, bits = 0;
        if (old) samples = get_gamma(r) - 1;
        bits = (old ? get_gamma(r) : get_delta(r)) - 1;
        if (r.failed() || samples > 0xFFFFFFFFu || bits > nbits - r.pos()) return false;
        s.samples = static_cast<uint32_t>(samples);
        s.bits = p;
        s.offset = r.pos();
        s.nbits = bits;
        r = BitReader(p, nbits, r.pos() + bits);
    }
    return true;
}

std::vector<uint8_t> rechunk(const std::vector<const ParsedChunk*>& parts, int64_t cut, bool& ok, int64_t shift) {
    ok = true;
    ChunkEncoder e;
    std::vector<Sample> samples;
    for (const ParsedChunk* c : parts) {
        // The samples by poll: (stream, value).
        std::vector<std::vector<std::pair<size_t, std::optional<double>>>> at(c->polls.size());
        for (size_t k = 0; k < c->streams.size(); ++k) {
            samples.clear();
            if (!decode_stream(*c, c->streams[k], samples)) {
                ok = false;
                return {};
            }
            for (const Sample& s : samples) at[s.poll].emplace_back(k, s.value);
        }
        for (size_t p = 0; p < c->polls.size(); ++p) {
            if (c->polls[p] < cut) continue;
            e.add_poll(c->polls[p] + shift);
            for (const auto& [k, v] : at[p])
                e.stream(c->streams[k].series, c->streams[k].refresh_ms).add(e.polls(), v);
        }
    }
    if (e.empty()) return {};
    return e.blob();
}

std::vector<uint8_t> trim_chunk(const ParsedChunk& c, int64_t cut, bool& ok, int64_t shift) {
    return rechunk({&c}, cut, ok, shift);
}

// ---- cycles

// A cycle row: its time (the first in 64 bits, the second as its step, then the change of
// the step: Rice), the change of n less one (put_small),
// the duration ('0' + the change of its scaled integer, Rice; or '1' + its full form), and
// '0' when the cycle had no error, bad frame or time-out, else '1' and the three counts.
// Version 1 wrote the duration with ValueCoder and the changes of the three counts.
void CycleEncoder::add(const CycleRow& r) {
    const int64_t step = r.time_ms - last_.time_ms;
    sums_.errors += r.errors;
    sums_.bad_frames += r.bad_frames;
    sums_.timeouts += r.timeouts;
    sums_.duration_ms += r.duration_ms;
    sums_.covered_ms += rows_ && step >= 0 && step <= 60'000 ? double(step) : r.duration_ms;
    const int64_t delta = r.time_ms - last_.time_ms;
    if (rows_ == 0) w_.put(static_cast<uint64_t>(r.time_ms), 64);
    else if (rows_ == 1) put_small(w_, zigzag(delta));
    else time_rice_.put(w_, zigzag(delta - last_delta_));
    last_delta_ = delta;
    put_small(w_, zigzag(static_cast<int64_t>(r.n - last_.n - 1)));
    int64_t k = 0;
    if (duration_.fits(r.duration_ms, k)) {
        w_.put_bit(false);
        duration_rice_.put(w_, zigzag(k - duration_.last()));
        duration_.take(k);
    } else {
        w_.put_bit(true);
        duration_.put_full(w_, r.duration_ms);
    }
    if (!r.errors && !r.bad_frames && !r.timeouts) {
        w_.put_bit(false);
    } else {
        w_.put_bit(true);
        put_small(w_, r.errors);
        put_small(w_, r.bad_frames);
        put_small(w_, r.timeouts);
    }
    last_ = r;
    ++rows_;
}

std::vector<uint8_t> CycleEncoder::blob() const {
    std::vector<uint8_t> out;
    put_varint(out, kCycleVersion);
    put_varint(out, rows_);
    put_varint(out, w_.bits());
    put_bytes(out, w_);
    return out;
}

bool decode_cycles(const uint8_t* p, size_t n, std::vector<CycleRow>& out) {
    const uint8_t* end = p + n;
    uint64_t version, rows, nbits;
    if (!get_varint(p, end, version) || (version != kVersion && version != kCycleVersion) ||
        !get_varint(p, end, rows) || !get_varint(p, end, nbits) || (nbits + 7) / 8 > static_cast<size_t>(end - p) ||
        rows > nbits)
        return false;
    const bool old = version == kVersion;
    BitReader r(p, nbits);
    ValueCoder duration;
    Rice time_rice(1), duration_rice(16);
    CycleRow last;
    int64_t delta = 0;
    for (uint64_t k = 0; k < rows; ++k) {
        CycleRow c;
        if (old) {
            delta = wrap_add(delta, unzigzag(get_small(r)));
            c.time_ms = wrap_add(last.time_ms, delta);
        } else {
            if (k == 0) delta = static_cast<int64_t>(r.get(64));
            else if (k == 1) delta = unzigzag(get_small(r));
            else delta = wrap_add(delta, unzigzag(time_rice.get(r)));
            c.time_ms = k == 0 ? delta : wrap_add(last.time_ms, delta);
            if (k == 0) delta = 0;
        }
        c.n = last.n + 1 + static_cast<uint64_t>(unzigzag(get_small(r)));
        if (old) {
            if (!duration.decode(r, c.duration_ms)) return false;
            c.errors = last.errors + static_cast<uint64_t>(unzigzag(get_small(r)));
            c.bad_frames = last.bad_frames + static_cast<uint64_t>(unzigzag(get_small(r)));
            c.timeouts = last.timeouts + static_cast<uint64_t>(unzigzag(get_small(r)));
        } else {
            if (!r.bit()) {
                if (!duration.scaled()) return false;
                c.duration_ms = duration.take(duration.last() + unzigzag(duration_rice.get(r)));
            } else if (!duration.get_full(r, c.duration_ms)) {
                return false;
            }
            if (r.bit()) {
                c.errors = get_small(r);
                c.bad_frames = get_small(r);
                c.timeouts = get_small(r);
            }
        }
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

// Values: the scaled-integer coder of one value, and a series' stream of samples in a chunk.
#include "tools/history/history_codec.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <unordered_map>

#include "tools/history/history_codec_detail.h"

namespace zrt::host::codec {
using namespace detail;

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

}  // namespace zrt::host::codec

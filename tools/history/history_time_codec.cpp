// Time: a chunk's poll times, the chunk's form, and chunks joined, trimmed or moved.
#include "tools/history/history_codec.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <unordered_map>

#include "tools/history/history_codec_detail.h"

namespace zrt::host::codec {
using namespace detail;

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

}  // namespace zrt::host::codec

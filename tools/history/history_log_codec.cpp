// The commit log: what each commit added to the chunks being filled, and those chunks
// rebuilt from it.
#include "tools/history/history_codec.h"

#include <algorithm>

#include "tools/history/history_codec_detail.h"

namespace zrt::host::codec {
using namespace detail;
namespace {

constexpr uint64_t kLogVersion = 1;

// Bits [from, to) of `src` after those of `out`.
void copy_bits(BitWriter& out, const BitWriter& src, size_t from, size_t to) {
    BitReader r(src.bytes().data(), src.bits(), from);
    while (from < to) {
        const int n = static_cast<int>(std::min<size_t>(64, to - from));
        out.put(r.get(n), n);
        from += static_cast<size_t>(n);
    }
}

// `n` bits of `r` after those of `out`; false when `r` has fewer.
bool read_bits(BitReader& r, BitWriter& out, uint64_t n) {
    while (n > 0 && !r.failed()) {
        const int k = static_cast<int>(std::min<uint64_t>(64, n));
        out.put(r.get(k), k);
        n -= static_cast<uint64_t>(k);
    }
    return !r.failed();
}

// A count's change, zig-zagged, as a gamma code.
void put_change(BitWriter& w, uint64_t now, uint64_t before) {
    put_gamma(w, zigzag(static_cast<int64_t>(now - before)) + 1);
}
uint64_t get_change(BitReader& r, uint64_t before) {
    return before + static_cast<uint64_t>(unzigzag(get_gamma(r) - 1));
}

}  // namespace

// An entry: whether it is the chunk's first, the polls added, the change of the open steady run, the poll times' new bits;
// then the streams that changed (the index's step from the one before; for a new stream its
// series and refresh period), each with the change of its open run and its new bits.
void log_chunk(const ChunkEncoder& enc, ChunkLogMark& mark, BitWriter& out) {
    // The chunk's first entry says so: a reader starts it afresh there (a slot not yet
    // written over may still hold entries of an earlier chunk's row of the same id).
    out.put_bit(mark.polls == 0 && mark.poll_bits == 0 && mark.streams.empty());
    put_gamma(out, enc.polls().size() - mark.polls + 1);
    put_change(out, enc.steady(), mark.steady);
    const BitWriter& pb = enc.poll_bits();
    put_gamma(out, pb.bits() - mark.poll_bits + 1);
    copy_bits(out, pb, mark.poll_bits, pb.bits());
    mark.polls = enc.polls().size();
    mark.steady = enc.steady();
    mark.poll_bits = pb.bits();
    const auto& streams = enc.streams();
    std::vector<size_t> changed;
    for (size_t k = 0; k < streams.size(); ++k)
        if (k >= mark.streams.size() || streams[k].settled().bits() != mark.streams[k].first ||
            streams[k].run() != mark.streams[k].second)
            changed.push_back(k);
    put_gamma(out, changed.size() + 1);
    int64_t prev = -1;
    for (size_t k : changed) {
        const SeriesEncoder& s = streams[k];
        put_gamma(out, static_cast<uint64_t>(static_cast<int64_t>(k) - prev));
        prev = static_cast<int64_t>(k);
        if (k >= mark.streams.size()) {
            put_small(out, zigzag(s.series()));
            put_refresh(out, s.refresh_ms());
            mark.streams.emplace_back(0, 0);
        }
        auto& [bits, run] = mark.streams[k];
        put_change(out, s.run(), run);
        put_gamma(out, s.settled().bits() - bits + 1);
        copy_bits(out, s.settled(), bits, s.settled().bits());
        bits = s.settled().bits();
        run = s.run();
    }
}

bool ChunkLog::apply(BitReader& r) {
    if (r.bit()) *this = ChunkLog{};
    else if (!started_) return !r.failed();  // a slot's entry of an earlier chunk: skipped
    started_ = true;
    polls_ += get_gamma(r) - 1;
    steady_ = get_change(r, steady_);
    if (!read_bits(r, poll_bits_, get_gamma(r) - 1)) return false;
    const uint64_t changed = get_gamma(r) - 1;
    int64_t k = -1;
    for (uint64_t n = 0; n < changed && !r.failed(); ++n) {
        k += static_cast<int64_t>(get_gamma(r));
        if (k < 0 || static_cast<size_t>(k) > streams_.size()) return false;
        if (static_cast<size_t>(k) == streams_.size()) {
            Stream s;
            s.series = unzigzag(get_small(r));
            s.refresh_ms = get_refresh(r);
            streams_.push_back(std::move(s));
        }
        Stream& s = streams_[static_cast<size_t>(k)];
        s.run = static_cast<uint32_t>(get_change(r, s.run));
        if (!read_bits(r, s.bits, get_gamma(r) - 1)) return false;
    }
    return !r.failed();
}

// As ChunkEncoder::blob() gives it.
std::vector<uint8_t> ChunkLog::blob() const {
    std::vector<uint8_t> out;
    put_varint(out, kChunkVersion);
    put_varint(out, polls_);
    put_varint(out, streams_.size());
    BitWriter w = poll_bits_;
    if (steady_) put_gamma(w, steady_ + 1);
    int64_t series = 0;
    for (const Stream& s : streams_) {
        BitWriter bits = s.bits;
        if (s.run) {
            bits.put_bit(false);
            put_gamma(bits, s.run);
        }
        put_small(w, zigzag(s.series - series - 1));
        series = s.series;
        put_refresh(w, s.refresh_ms);
        put_delta(w, bits.bits() + 1);
        w.append(bits);
    }
    put_bytes(out, w);
    return out;
}

void log_cycles(const CycleEncoder& enc, CycleLogMark& mark, BitWriter& out) {
    out.put_bit(mark.rows == 0 && mark.bits == 0);
    put_gamma(out, enc.rows() - mark.rows + 1);
    put_gamma(out, enc.bits().bits() - mark.bits + 1);
    copy_bits(out, enc.bits(), mark.bits, enc.bits().bits());
    mark.rows = enc.rows();
    mark.bits = enc.bits().bits();
}

bool CycleLog::apply(BitReader& r) {
    if (r.bit()) *this = CycleLog{};
    else if (!started_) return !r.failed();
    started_ = true;
    rows_ += get_gamma(r) - 1;
    return read_bits(r, bits_, get_gamma(r) - 1);
}

// As CycleEncoder::blob() gives it.
std::vector<uint8_t> CycleLog::blob() const {
    std::vector<uint8_t> out;
    put_varint(out, kCycleVersion);
    put_varint(out, rows_);
    put_varint(out, bits_.bits());
    put_bytes(out, bits_);
    return out;
}

std::vector<uint8_t> log_row_start() {
    std::vector<uint8_t> row;
    put_varint(row, kLogVersion);
    return row;
}

void put_log_entry(std::vector<uint8_t>& row, LogKind kind, int64_t id, const BitWriter& bits) {
    put_varint(row, static_cast<uint64_t>(kind));
    put_varint(row, static_cast<uint64_t>(id));
    put_varint(row, bits.bits());
    put_bytes(row, bits);
}

bool for_each_log_entry(const uint8_t* p, size_t n, const std::function<bool(LogKind, int64_t, BitReader&)>& f) {
    const uint8_t* end = p + n;
    uint64_t version = 0;
    if (!p || !get_varint(p, end, version) || version != kLogVersion) return false;
    while (p < end) {
        uint64_t kind = 0, id = 0, bits = 0;
        if (!get_varint(p, end, kind) || !get_varint(p, end, id) || !get_varint(p, end, bits)) return false;
        if (bits > uint64_t(end - p) * 8) return false;
        if (kind != uint64_t(LogKind::Chunk) && kind != uint64_t(LogKind::Cycles)) return false;
        BitReader r(p, bits);
        if (!f(static_cast<LogKind>(kind), static_cast<int64_t>(id), r)) return false;
        p += (bits + 7) / 8;
    }
    return true;
}

}  // namespace zrt::host::codec

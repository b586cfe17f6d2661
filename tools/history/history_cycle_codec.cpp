// Cycles: the statistics of each polling cycle of an hour.
#include "tools/history/history_codec.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <unordered_map>

#include "tools/history/history_codec_detail.h"

namespace zrt::host::codec {
using namespace detail;

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

}  // namespace zrt::host::codec

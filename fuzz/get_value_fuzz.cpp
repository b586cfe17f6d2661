// Value queries on every child with arbitrary keys. Input: one byte choosing the device and
// its state (no data, fresh, stale, stamped in the future), one byte for the AC channel
// count, then the key.
// Properties: the AC screen's channel-key matcher agrees with std::regex_search of
// "channel_(\d+)_(.+?)" on every key (match or not, position, digits, quantity letter),
// and each AC answer (a value, or the refusal text) is the one worked out here
// independently from that search; DC and rectifier queries refuse only with
// std::out_of_range and DC answers "v" and "i" from the record.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <regex>
#include <stdexcept>
#include <string>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "ac/zrt4600_ac.h"
#include "children.h"
#include "dc/zrt4600_dc.h"
#include "fuzz_util.h"
#include "ops.h"
#include "common/cycle_end.h"
#include "rc/zrt4600_rc.h"
#include "replies.h"

using namespace zrt::fuzz;

namespace {

using namespace get_value_state;
using State = uint8_t;

// A value or the text of the refusal.
struct Answer {
    bool value = false;
    uint32_t bits = 0;
    std::string refusal;
    bool operator==(const Answer& o) const { return value == o.value && bits == o.bits && refusal == o.refusal; }
};

Answer value(float v) {
    Answer a;
    a.value = true;
    std::memcpy(&a.bits, &v, 4);
    return a;
}
Answer refused(const char* text) {
    Answer a;
    a.refusal = text;
    return a;
}

template <class Dev>
Answer ask(const Dev& dev, const std::string& key) {
    try {
        return value(dev.Get_Value(0, key));
    } catch (const std::out_of_range& e) {
        return refused(e.what());
    }
}

// Stamps a device that has run its cycle as fresh, stale or stamped in the future, as of now.
void set_state(TXQVDevice& dev, State s) {
    using boost::posix_time::seconds;
    if (s == kFresh) dev.last_update = zrt::local_now();
    if (s == kStale) dev.last_update = zrt::local_now() - seconds(61);
    if (s == kFuture) dev.last_update = zrt::local_now() + seconds(3600);
}

// The devices the queries go to, each made once per run and kept: a value query is const
// and leaves its device as it found it, and the one thing that differs between inputs, the
// time of the last update, is stamped anew by set_state before every query. One device per
// kind, channel count, and whether it has run a cycle (no data, or any of the other states).
constexpr int kChannelCounts = 6;

template <class Dev, class Feed>
Dev& prepared(unsigned id, int channels, State state, Feed&& feed) {
    static std::shared_ptr<Dev> kept[kChannelCounts][2];
    const bool cycled = state != kNoData;
    std::shared_ptr<Dev>& dev = kept[channels][cycled ? 1 : 0];
    if (!dev) {
        dev = make_child<Dev>(shared_host(), id);
        feed(*dev, channels);
        if (cycled) dev->RoundDone();
        shared_host().forget();
    }
    set_state(*dev, state);
    return *dev;
}

void feed_ac(zrt4600aAC& ac, int channels) {
    HeapBytes part(ac_analog_part(channels));
    ac.parse40_41(part.data(), part.size());
    HeapBytes alarms(ac_alarm_part(channels, 2));
    ac.parse40_44(alarms.data(), alarms.size());
}
void feed_dc(zrt4600aDC& dc, int) {
    HeapBytes block(dc_analog_block());
    dc.parse42_41(block.data(), block.size());
}
void feed_rc(zrt4600aRC& rc, int channels) {
    HeapBytes info(rc_analog(0, channels));
    rc.parse41_41(info.data(), info.size());
}

// The AC answer worked out from the regular expression, as the value query is specified.
Answer expected_ac(const zrt4600aAC& dev, State s, const std::string& key) {
    if (s == kNoData) return refused(zrt::kNotReady);
    if (s == kStale) return refused(zrt::kTimedOut);
    const auto& r = dev.record;
    if (key == "ia") return value(r.ia);
    if (key == "ib") return value(r.ib);
    if (key == "ic") return value(r.ic);
    if (key == "ia_alert") return value(r.ia_alert);
    if (key == "ib_alert") return value(r.ib_alert);
    if (key == "ic_alert") return value(r.ic_alert);

    static const std::regex kChannelKey("channel_(\\d+)_(.+?)");
    std::smatch m;
    const bool found = std::regex_search(key, m, kChannelKey);

    // The device's own matcher must find the same match.
    const auto mine = zrt::ac::find_channel_key(key);
    if (mine.has_value() != found) __builtin_trap();
    if (!found) return refused(zrt::kNotProvided);
    ZRT_FUZZ_CHECK(m[2].length() == 1);  // the lazy group at the end takes one character
    ZRT_FUZZ_CHECK(mine->digits == m[1].str());
    ZRT_FUZZ_CHECK(mine->digits.data() - key.data() == m.position(1));
    ZRT_FUZZ_CHECK(mine->quantity == m[2].str()[0]);

    uint64_t k = 0;
    for (char c : m[1].str()) {
        k = k * 10 + static_cast<uint64_t>(c - '0');
        if (k > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) return refused(zrt::kNoChannel);
    }
    if (k >= dev.channels.size()) return refused(zrt::kNoChannel);
    const auto& ch = dev.channels[k];
    switch (m[2].str()[0]) {
    case 'a': return value(ch.a);
    case 'b': return value(ch.b);
    case 'c': return value(ch.c);
    case 'f': return value(ch.f);
    default: return refused(zrt::kNotProvided);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    quiet_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const int device = data[0] % 3;
    const State state = static_cast<State>((data[0] >> 2) % get_value_state::kCount);
    const int channels = data[1] % kChannelCounts;
    // Keys longer than this add nothing but time in the regular expression engine.
    const std::string key(reinterpret_cast<const char*>(data + 2), std::min<size_t>(size - 2, 256));

    if (device == 0) {
        const zrt4600aAC& ac = prepared<zrt4600aAC>(11, channels, state, feed_ac);
        ZRT_FUZZ_CHECK(ask(ac, key) == expected_ac(ac, state, key));
    } else if (device == 1) {
        const zrt4600aDC& dc = prepared<zrt4600aDC>(21, channels, state, feed_dc);
        const Answer a = ask(dc, key);
        if (state == kNoData) ZRT_FUZZ_CHECK(a == refused(zrt::kNotReady));
        if (state == kStale) ZRT_FUZZ_CHECK(a == refused(zrt::kTimedOut));
        if (state == kFresh || state == kFuture) {
            if (key == "v") ZRT_FUZZ_CHECK(a == value(dc.record.v));
            if (key == "i") ZRT_FUZZ_CHECK(a == value(dc.record.i));
            if (key != "v" && key != "i") ZRT_FUZZ_CHECK(!a.value);
        }
    } else {
        const zrt4600aRC& rc = prepared<zrt4600aRC>(100, channels, state, feed_rc);
        ZRT_FUZZ_CHECK(!ask(rc, key).value);
    }
    return 0;
}

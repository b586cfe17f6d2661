#include "ac/zrt4600_ac.h"

#include <cstdint>
#include <cstring>
#include <limits>

#include "common/trace_line.h"

namespace zrt {
namespace ac {

namespace {
bool is_digit(char c) { return c >= '0' && c <= '9'; }
// ECMAScript's "." takes any character but a line terminator.
bool is_line_terminator(char c) { return c == '\n' || c == '\r'; }

void channel_trace(TraceLine& line, float a, float b, float c, float f) {
    line.text("a:").general(a).text(" b:").general(b).text(" c:").general(c).text(" f:").general(f);
}
}  // namespace

std::optional<ChannelKey> find_channel_key(std::string_view key) {
    static constexpr std::string_view kPrefix = "channel_";
    // Digits and '_' never overlap, so the greedy digit group has one way to match at a
    // given start: all the digits, then '_', then one character.
    for (size_t at = key.find(kPrefix); at != std::string_view::npos; at = key.find(kPrefix, at + 1)) {
        const size_t first = at + kPrefix.size();
        size_t end = first;
        while (end < key.size() && is_digit(key[end])) ++end;
        if (end == first || end + 1 >= key.size() || key[end] != '_' || is_line_terminator(key[end + 1])) continue;
        return ChannelKey{key.substr(first, end - first), key[end + 1]};
    }
    return std::nullopt;
}

size_t format_channel_trace(char (&out)[kChannelTraceMax], float a, float b, float c, float f) {
    // The labels, four of the longest numbers and the line break always fit.
    static_assert(11 + 4 * TraceLine::kMaxFloat + 1 <= kChannelTraceMax, "a trace line always fits");
    static_assert(kChannelTraceMax <= TraceLine::kMax, "a channel's trace line is never cut");
    TraceLine line;
    channel_trace(line, a, b, c, f);
    const std::string_view text = line.finish();
    std::memcpy(out, text.data(), text.size());
    return text.size();
}

void trace_channel(float a, float b, float c, float f) {
    TraceLine line;
    channel_trace(line, a, b, c, f);
    line.end();
}

std::optional<int32_t> channel_number(std::string_view digits) {
    uint64_t value = 0;
    for (char c : digits) {
        value = value * 10 + static_cast<uint64_t>(c - '0');
        if (value > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) return std::nullopt;
    }
    return static_cast<int32_t>(value);
}

}  // namespace ac
}  // namespace zrt

template class PMBusPowerAC<tele_c_zrt4600_ac, tele_c_zrt4600_ac_channel, kAcRecordType>;

ZRT4600AC::ZRT4600AC() { device_type = "zrt4600-ac"; }
ZRT4600AC::ZRT4600AC(const std::string& model) : PMBusPowerAC(model) { device_type = "zrt4600-ac"; }
ZRT4600AC::~ZRT4600AC() = default;

// The channels' user-defined alarm bytes are kept and published but raise no alarm.
void ZRT4600AC::DoImpCheckAlert() {}

zrt4600aAC::zrt4600aAC() { device_type = "zrt4600a-ac"; }
zrt4600aAC::zrt4600aAC(const std::string& model) : ZRT4600AC(model) { device_type = "zrt4600a-ac"; }
zrt4600aAC::~zrt4600aAC() = default;

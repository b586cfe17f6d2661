#pragma once
// The AC distribution child: one device per AC distribution screen. It decodes the screen's
// share of the 40_41, 40_43 and 40_44 replies into its records, publishes them once per
// polling cycle with the screen's alarm rules, answers value queries and reloads its last
// saved image.
//
// Threads: the parse hooks and RoundDone run on the poller's reply thread, Get_Value on any
// host thread (zrt::RecordGuard says how the records are shared).
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <json/value.h>

#include "ac/ac_records.h"
#include "host/TXQSPDevice.h"
#include "common/cycle_end.h"
#include "common/history_image.h"
#include "common/record_guard.h"
#include "common/reply_walk.h"
#include "common/threshold.h"

namespace zrt {
namespace ac {

// Log texts of the parse hooks.
inline constexpr char kOverflow40_41[] = "PMBusPowerAC:ProcotolError {} read 40_41 read overflow {} - {}";
inline constexpr char kUserCount40_41[] = "PMBusPowerAC:ProcotolError {} read 40_41 p is {} not {}";
inline constexpr char kOverflow40_43[] = "PMBusPowerAC:ProcotolError {} read 40_43 read overflow {} - {}";
inline constexpr char kBreakerCount40_43[] = "ProcotolError %u read 40_43 m is %d max %d";
inline constexpr char kUserCount40_43[] = "PMBusPowerAC:ProcotolError P{} read 40_43 p is {} not {}";
inline constexpr char kOverflow40_44[] = "PMBusPowerAC:ProcotolError {} read 40_44 read overflow {} - {}";
inline constexpr char kStateCount40_44[] = "PMBusPowerAC:ProcotolError {} read 40_44 m is {}";
inline constexpr char kUserCount40_44[] = "PMBusPowerAC:ProcotolError {} read 40_44 p is {} not {}";

// Stored in place of an absent value: channel voltages and frequency read 0.0, currents
// (and user-defined analogue values) -0.1.
inline constexpr float kAbsentVoltage = 0.0f;
inline constexpr float kAbsentCurrent = -0.1f;

// Alarm tables: eleven rules per input channel, then nine for the screen's phase currents.
enum ChannelField { kAlertA, kAlertB, kAlertC, kAlertF };
enum ScreenField { kAlertIA, kAlertIB, kAlertIC };

struct ChannelAlarm {
    AlarmRow row;
    const char* quantity;  // appended to "交流屏<n>" in the instance text
    ChannelField field;
    uint8_t state;  // the alarm state byte that raises it
};
struct ScreenAlarm {
    AlarmRow row;
    ScreenField field;
    uint8_t state;
};

inline constexpr ChannelAlarm kChannelAlarms[] = {
    {{3, "AC_0", "06015", "交流输入电压过低告警"}, "输入线/相电压AB/A", kAlertA, 1},
    {{3, "AC_1", "06015", "交流输入电压过低告警"}, "输入线/相电压BC/B", kAlertB, 1},
    {{3, "AC_2", "06015", "交流输入电压过低告警"}, "输入线/相电压CA/C", kAlertC, 1},
    {{3, "AC_3", "06019", "交流输入频率过低告警"}, "频率", kAlertF, 1},
    {{2, "AC_4", "06014", "交流输入电压过高告警"}, "输入线/相电压AB/A", kAlertA, 2},
    {{2, "AC_5", "06014", "交流输入电压过高告警"}, "输入线/相电压BC/B", kAlertB, 2},
    {{2, "AC_6", "06014", "交流输入电压过高告警"}, "输入线/相电压CA/C", kAlertC, 2},
    {{2, "AC_7", "06018", "交流输入频率过高告警"}, "频率", kAlertF, 2},
    {{2, "AC_8", "06017", "交流输入缺相告警"}, "输入线/相电压AB/A", kAlertA, 3},
    {{2, "AC_9", "06017", "交流输入缺相告警"}, "输入线/相电压BC/B", kAlertB, 3},
    {{2, "AC_10", "06017", "交流输入缺相告警"}, "输入线/相电压CA/C", kAlertC, 3},
};

inline constexpr const char* kScreenInstance = "其他告警";
inline constexpr ScreenAlarm kScreenAlarms[] = {
    {{3, "AC_12", "06029", "A相输入电流低于下限"}, kAlertIA, 1},
    {{3, "AC_13", "06029", "B相输入电流低于下限"}, kAlertIB, 1},
    {{3, "AC_14", "06029", "C相输入电流低于下限"}, kAlertIC, 1},
    {{3, "AC_15", "06029", "A相输入电流高于上限"}, kAlertIA, 2},
    {{3, "AC_16", "06029", "B相输入电流高于上限"}, kAlertIB, 2},
    {{3, "AC_17", "06029", "C相输入电流高于上限"}, kAlertIC, 2},
    {{3, "AC_18", "06029", "A相输入电流缺项"}, kAlertIA, 3},
    {{3, "AC_19", "06029", "B相输入电流缺项"}, kAlertIB, 3},
    {{3, "AC_20", "06029", "C相输入电流缺项"}, kAlertIC, 3},
};

// A channel key as the search "channel_(\d+)_(.+?)" finds it: the first match anywhere in
// the key, its digit group and the one character the lazy group takes.
struct ChannelKey {
    std::string_view digits;
    char quantity;
};
std::optional<ChannelKey> find_channel_key(std::string_view key);
// The channel number as atoi reads the digit group; empty when it does not fit a signed
// 32-bit number.
std::optional<int32_t> channel_number(std::string_view digits);

// The trace line of one channel of a 40_41 reply: "a:" a " b:" b " c:" c " f:" f and a line
// break, each number in the stream's default float format (six significant digits, as
// printf's %g), built by zrt::TraceLine. Returns the length written to `out`.
inline constexpr size_t kChannelTraceMax = 96;
size_t format_channel_trace(char (&out)[kChannelTraceMax], float a, float b, float c, float f);
// Writes that line to standard output.
void trace_channel(float a, float b, float c, float f);

}  // namespace ac
}  // namespace zrt

template <class TeleAC, class TeleACChannel, int RT_AC>
class PMBusPowerAC : public TXQSPDevice {
public:
    // The history image: the screen record, then one channel record per channel.
    using Image = zrt::HistoryImage<TeleAC, TeleACChannel>;
    static constexpr int kRecordSize = Image::kRecordSize;
    static constexpr int kChannelSize = Image::kItemSize;

    PMBusPowerAC() = default;
    // The poller passes its model text; the screen does not use it.
    explicit PMBusPowerAC(const std::string& /*model*/) {}

    float Get_Value(unsigned int index, const std::string& key) const override;
    using TXQSPDevice::LoadFromCache;
    bool LoadFromCache(const unsigned char* data, int len) override;
    void RoundDone() override;
    ~PMBusPowerAC() override = default;
    bool InitV(TXQVDevice* parent, unsigned int id, const Json::Value& setting) override;

    // Parse hooks: p is the screen's part of the reply, len the info bytes left from p.
    // They return the bytes used, or -1 when the reply is unusable.
    virtual int parse40_41(const unsigned char* p, int len);
    virtual int parse40_43(const unsigned char* p, int len);
    virtual int parse40_44(const unsigned char* p, int len);
    // Model hook: runs after the screen's rules, before the history job is queued.
    virtual void DoImpCheckAlert() = 0;

    TeleAC record{};
    std::vector<TeleACChannel> channels;  // always record.channel_count entries
    float diff_v = 20.0f;                 // voltage change threshold ("diff_v")
    float diff_i = 20.0f;                 // current change threshold ("diff_i")
    std::unique_ptr<unsigned char[]> image;  // the history image of the last cycle
    int32_t image_size = 0;
    // Whether the last cycle's values moved by diff_v / diff_i or more since the cycle
    // before (the first cycle counts as moved). Informational: every cycle publishes.
    bool values_moved = false;

private:
    // What Get_Value answers from, as the last writer left it.
    struct View {
        float ia = 0, ib = 0, ic = 0;
        uint8_t ia_alert = 0, ib_alert = 0, ic_alert = 0;
        struct Channel {
            float a, b, c, f;
        };
        std::vector<Channel> channels;
    };
    zrt::RecordGuard<View> guard_;
    // Instance texts of the channel rules ("交流屏<n>" and the quantity), made once per
    // channel count; used by RoundDone only.
    std::vector<std::string> channel_instances_;
    // The cycle's records as read back from its image, for its rules; used by RoundDone only,
    // kept so that a steady cycle allocates nothing.
    TeleAC cycle_record_{};
    std::vector<TeleACChannel> cycle_channels_;

    int walk40_41(const unsigned char* p, int len);
    int walk40_43(const unsigned char* p, int len);
    int walk40_44(const unsigned char* p, int len);
    // The values (40_41) and the current alarm states (40_44) of the view.
    void view_values(View& view) const {
        view.ia = record.ia;
        view.ib = record.ib;
        view.ic = record.ic;
        view.channels.resize(channels.size());
        for (size_t k = 0; k < channels.size(); ++k)
            view.channels[k] = {channels[k].a, channels[k].b, channels[k].c, channels[k].f};
    }
    void view_alerts(View& view) const {
        view.ia_alert = record.ia_alert;
        view.ib_alert = record.ib_alert;
        view.ic_alert = record.ic_alert;
    }
    bool moved_since(const unsigned char* previous) const;
    void register_rules(const TeleAC& cycle, const std::vector<TeleACChannel>& cycle_channels);

    static unsigned char* bytes(void* rec) { return static_cast<unsigned char*>(rec); }
};

template <class TeleAC, class TeleACChannel, int RT_AC>
float PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::Get_Value(unsigned int /*index*/, const std::string& key) const {
    return guard_.query(*this, [&key](const View& view) -> float {
        if (key == "ia") return view.ia;
        if (key == "ib") return view.ib;
        if (key == "ic") return view.ic;
        if (key == "ia_alert") return view.ia_alert;
        if (key == "ib_alert") return view.ib_alert;
        if (key == "ic_alert") return view.ic_alert;

        const auto found = zrt::ac::find_channel_key(key);
        if (!found) throw std::out_of_range(zrt::kNotProvided);
        const auto k = zrt::ac::channel_number(found->digits);
        if (!k || static_cast<size_t>(*k) >= view.channels.size()) throw std::out_of_range(zrt::kNoChannel);
        const typename View::Channel& ch = view.channels[static_cast<size_t>(*k)];
        switch (found->quantity) {
        case 'a': return ch.a;
        case 'b': return ch.b;
        case 'c': return ch.c;
        case 'f': return ch.f;
        default: throw std::out_of_range(zrt::kNotProvided);
        }
    });
}

template <class TeleAC, class TeleACChannel, int RT_AC>
bool PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::LoadFromCache(const unsigned char* data, int len) {
    if (data == nullptr || len <= kRecordSize) return false;
    const uint8_t count = data[offsetof(TeleAC, channel_count)];
    // All or nothing: an image whose length disagrees with its own channel count changes
    // nothing.
    if (!Image::whole(len, count)) return false;

    std::lock_guard<std::mutex> lock(guard_.writer());
    Image::read(data, count, record, channels);
    guard_.mark_fresh(*this, [this](View& view) {
        view_values(view);
        view_alerts(view);
    });
    return true;
}

template <class TeleAC, class TeleACChannel, int RT_AC>
void PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::RoundDone() {
    {
        std::lock_guard<std::mutex> lock(guard_.writer());
        zrt::stamp(record.update_time);

        // The image follows the channel count, which may change after the first cycle; the
        // movement test compares with the previous image while it still holds it.
        const bool same_shape = image && image_size == Image::size(channels.size());
        values_moved = !data_ready || !same_shape || moved_since(image.get());
        Image::fit(image, image_size, channels.size());
        Image::write(image.get(), record, channels);
        guard_.mark_fresh(*this);
    }
    // Only RoundDone writes the image, so it is the cycle's snapshot too and the host reads it
    // without the lock.
    zrt::publish_cycle(*this, RT_AC, image.get(), image.get(), image_size, [this](const unsigned char* cycle, int size) {
        Image::read(cycle, static_cast<size_t>((size - kRecordSize) / kChannelSize), cycle_record_, cycle_channels_);
        register_rules(cycle_record_, cycle_channels_);
        DoImpCheckAlert();
    });
}

template <class TeleAC, class TeleACChannel, int RT_AC>
bool PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::InitV(TXQVDevice* parent, unsigned int id,
                                                        const Json::Value& setting) {
    {
        std::lock_guard<std::mutex> lock(guard_.writer());
        record.device_id = id;
        if (setting.isObject()) {
            const Json::Value& app = setting["appSetting"];
            zrt::read_threshold(app, "diff_v", diff_v);
            zrt::read_threshold(app, "diff_i", diff_i);
        }
    }
    return TXQSPDevice::InitV(parent, id, setting);
}

// The hooks walk under the writer lock and refresh the view when they changed what
// Get_Value reads.
template <class TeleAC, class TeleACChannel, int RT_AC>
int PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::parse40_41(const unsigned char* p, int len) {
    return guard_.parse([&] { return walk40_41(p, len); }, [this](View& view) { view_values(view); });
}

template <class TeleAC, class TeleACChannel, int RT_AC>
int PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::parse40_43(const unsigned char* p, int len) {
    return guard_.parse([&] { return walk40_43(p, len); });  // switch states: nothing Get_Value reads
}

template <class TeleAC, class TeleACChannel, int RT_AC>
int PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::parse40_44(const unsigned char* p, int len) {
    return guard_.parse([&] { return walk40_44(p, len); }, [this](View& view) { view_alerts(view); });
}

// 40_41: channel count, per channel a b c f, P and P user values, then ia ib ic. A field
// that does not fit ends the walk.
template <class TeleAC, class TeleACChannel, int RT_AC>
int PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::walk40_41(const unsigned char* p, int len) {
    using namespace zrt::ac;
    zrt::ReplyWalk<> w(*this, p, len, kOverflow40_41);
    uint8_t n = 0;
    if (!w.take_u8(n)) return -1;
    if (channels.empty()) {
        record.channel_count = n;
        channels.assign(n, TeleACChannel{});
    } else if (n != record.channel_count) {
        return -1;  // a screen keeps the channel count it first reported
    }
    for (TeleACChannel& ch : channels) {
        // a, b, c and f lie back to back in the channel record.
        for (size_t k = 0; k < 4; ++k)  // each checked alone: the overflow names its own end
            if (!w.take_value(bytes(&ch) + offsetof(TeleACChannel, a) + zrt::kValueSize * k, kAbsentVoltage))
                return -1;
        trace_channel(ch.a, ch.b, ch.c, ch.f);

        uint8_t count = 0;
        if (!w.take_u8(count)) return -1;
        ch.analog_count = count;
        if (count != TeleACChannel::P40_41_SIZE()) {
            w.log(kUserCount40_41, count, TeleACChannel::P40_41_SIZE());
            if (!w.pass_values(count)) return -1;
        } else {
            for (int j = 0; j < count; ++j)
                if (!w.take_value(bytes(&ch) + offsetof(TeleACChannel, analog_user) + zrt::kValueSize * j,
                                  kAbsentCurrent))
                    return -1;
        }
    }
    for (size_t k = 0; k < 3; ++k)  // ia, ib, ic
        if (!w.take_value(bytes(&record) + offsetof(TeleAC, ia) + zrt::kValueSize * k, kAbsentCurrent)) return -1;
    return w.pos();
}

// 40_43: breaker-state count m and m states, then the user-defined count P and P states.
template <class TeleAC, class TeleACChannel, int RT_AC>
int PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::walk40_43(const unsigned char* p, int len) {
    using namespace zrt::ac;
    zrt::ReplyWalk<> w(*this, p, len, kOverflow40_43);
    uint8_t m = 0;
    if (!w.take_u8(m)) return -1;
    record.airlock_count = m;
    if (m > TeleAC::AIRLOCK_MAX()) {
        w.log(kBreakerCount40_43, m, TeleAC::AIRLOCK_MAX());
        return -1;
    }
    if (!w.take(bytes(&record) + offsetof(TeleAC, airlock_state), m)) return -1;

    uint8_t count = 0;
    if (!w.take_u8(count)) return -1;
    record.state_count = count;
    if (count != TeleAC::P40_43_SIZE()) {
        w.log(kUserCount40_43, count, TeleAC::P40_43_SIZE());
        return w.pass(count) ? w.pos() : -1;
    }
    if (!w.take(bytes(&record) + offsetof(TeleAC, state_user), count)) return -1;
    return w.pos();
}

// 40_44: the reported channel count (the known count rules), per known channel four alarm
// states, m and m states, P and P user alarm bytes, then the three current alarm states.
template <class TeleAC, class TeleACChannel, int RT_AC>
int PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::walk40_44(const unsigned char* p, int len) {
    using namespace zrt::ac;
    zrt::ReplyWalk<> w(*this, p, len, kOverflow40_44);
    if (!w.pass(1)) return -1;
    for (TeleACChannel& ch : channels) {
        for (size_t k = 0; k < 4; ++k)  // a_alert, b_alert, c_alert, f_alert
            if (!w.take(bytes(&ch) + offsetof(TeleACChannel, a_alert) + k, 1)) return -1;
        uint8_t m = 0;
        if (!w.take_u8(m)) return -1;
        if (m != 0) {
            w.log(kStateCount40_44, static_cast<int32_t>(m));
            if (!w.pass(m)) return -1;
        }
        uint8_t count = 0;
        if (!w.take_u8(count)) return -1;
        ch.alarm_count = count;
        if (count != TeleACChannel::p40_44_SIZE()) {
            w.log(kUserCount40_44, count, TeleACChannel::p40_44_SIZE());
            if (!w.pass(count)) return -1;
        } else if (!w.take(bytes(&ch) + offsetof(TeleACChannel, alarm_user), count)) {
            return -1;
        }
    }
    for (size_t k = 0; k < 3; ++k)  // ia_alert, ib_alert, ic_alert
        if (!w.take(bytes(&record) + offsetof(TeleAC, ia_alert) + k, 1)) return -1;
    return w.pos();
}

// Compares the records with the previous cycle's image of the same size.
template <class TeleAC, class TeleACChannel, int RT_AC>
bool PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::moved_since(const unsigned char* previous) const {
    auto before = [previous](size_t offset) {
        float v;
        std::memcpy(&v, previous + offset, sizeof v);
        return v;
    };
    auto far = [](float now, float then, float limit) { return std::fabs(now - then) >= limit; };
    if (far(record.ia, before(offsetof(TeleAC, ia)), diff_i) || far(record.ib, before(offsetof(TeleAC, ib)), diff_i) ||
        far(record.ic, before(offsetof(TeleAC, ic)), diff_i))
        return true;
    for (size_t i = 0; i < channels.size(); ++i) {
        const size_t at = kRecordSize + kChannelSize * i;
        const TeleACChannel& ch = channels[i];
        if (far(ch.a, before(at + offsetof(TeleACChannel, a)), diff_v) ||
            far(ch.b, before(at + offsetof(TeleACChannel, b)), diff_v) ||
            far(ch.c, before(at + offsetof(TeleACChannel, c)), diff_v))
            return true;
    }
    return false;
}

// The rules of the cycle whose records are `cycle` and `cycle_channels`.
template <class TeleAC, class TeleACChannel, int RT_AC>
void PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::register_rules(const TeleAC& cycle,
                                                                const std::vector<TeleACChannel>& cycle_channels) {
    using namespace zrt::ac;
    // The texts never change: made once, not per cycle.
    static const std::vector<zrt::RuleTexts> channel_rows = zrt::rule_texts(kChannelAlarms);
    static const std::vector<zrt::RuleTexts> screen_rows = zrt::rule_texts(kScreenAlarms);
    static const std::string screen_instance = kScreenInstance;
    constexpr size_t kRows = std::size(kChannelAlarms);
    const size_t count = cycle_channels.size();
    if (channel_instances_.size() != count * kRows) {
        channel_instances_.clear();
        for (size_t i = 0; i < count; ++i) {
            const std::string prefix = "交流屏" + std::to_string(i + 1);
            for (const ChannelAlarm& a : kChannelAlarms) channel_instances_.push_back(prefix + a.quantity);
        }
    }
    // Room for the whole cycle at once: a large screen registers thousands of rules.
    pending_rules.reserve(pending_rules.size() + count * kRows + std::size(kScreenAlarms));
    for (size_t i = 0; i < count; ++i) {
        const TeleACChannel& ch = cycle_channels[i];
        const uint8_t state[4] = {ch.a_alert, ch.b_alert, ch.c_alert, ch.f_alert};
        for (size_t r = 0; r < kRows; ++r) {
            const ChannelAlarm& a = kChannelAlarms[r];
            zrt::add_rule(*this, channel_rows[r], channel_instances_[i * kRows + r], state[a.field] == a.state);
        }
    }
    const uint8_t state[3] = {cycle.ia_alert, cycle.ib_alert, cycle.ic_alert};
    for (size_t r = 0; r < std::size(kScreenAlarms); ++r) {
        const ScreenAlarm& a = kScreenAlarms[r];
        zrt::add_rule(*this, screen_rows[r], screen_instance, state[a.field] == a.state);
    }
}

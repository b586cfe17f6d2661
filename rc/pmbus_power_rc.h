#pragma once
// The rectifier child: one device for the rectifier group. It decodes the rectifier replies
// and the two parameter replies into its records, publishes them once per polling cycle
// with one fault rule per module, and reloads its last saved image. It answers no value
// query.
//
// Threads: the parse hooks and RoundDone run on the poller's reply thread, Get_Value on any
// host thread (zrt::RecordGuard says how the records are shared).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <json/value.h>

#include "host/TXQSPDevice.h"
#include "common/cycle_end.h"
#include "common/history_image.h"
#include "common/record_guard.h"
#include "common/reply_walk.h"
#include "rc/rc_records.h"

namespace zrt {
namespace rc {

// Log texts of the parse hooks.
inline constexpr char kUserCount41_41[] =
    "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} read 41_41 p is {} not {}";
inline constexpr char kInChannelOverflow41_41[] = "PMBusPowerAC:ProcotolError {} read 41_41 in channel overflow {} - {}";
inline constexpr char kOverflow41_41[] = "PMBusPowerAC:ProcotolError {} read 41_41 read overflow {} - {}";
inline constexpr char kUserCount41_43[] =
    "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} read 41_43 p is {}, not {}";
inline constexpr char kOverflow41_43[] = "PMBusPowerAC:ProcotolError {} read 41_43 read overflow {} - {}";
inline constexpr char kModuleCount41_44[] =
    "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} parse p41_44 channel_count not equal {} != {} ";
inline constexpr char kUserCount41_44[] =
    "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} read 41_44 p is {}, not {}";
inline constexpr char kOverflow41_44[] = "PMBusPowerAC:ProcotolError {} read 41_44 read overflow {} - {}";
inline constexpr char kOverflow40_46[] = "PMBusPowerAC:ProcotolError {} read 40_46 read overflow {} - {}";
inline constexpr char kUserCount42_46[] = "QPA07D:ProcotolError parse42_46 {} p:{} != {}";
inline constexpr char kOverflow42_46[] = "PMBusPowerAC:ProcotolError {} read 42_46 read overflow {} - {}";

// The module fault rule, instance text "模块<n>整流模块故障告警", active while the module's
// fault byte is 1.
inline constexpr AlarmRow kModuleFaultAlarm{2, "RC_0", "06024", "整流模块故障告警"};
inline constexpr uint8_t kModuleFault = 1;

// The trace lines of a cache load: "rc data_len:<len> vs <record size>", then, for an image
// that holds the group record, "rc channelLen <module size> and <module count> left:<bytes
// after the group record>".
void trace_cache_length(int len, int record_size);
void trace_cache_modules(int module_size, int count, int left);

}  // namespace rc
}  // namespace zrt

template <class TeleRC, class TeleRCChannel, int RT_RC>
class PMBusPowerRC : public TXQSPDevice {
public:
    // The history image: the group record, then one module record per module.
    using Image = zrt::HistoryImage<TeleRC, TeleRCChannel>;
    static constexpr int kRecordSize = Image::kRecordSize;
    static constexpr int kModuleSize = Image::kItemSize;

    PMBusPowerRC() = default;
    // The poller passes its model text; the group does not use it.
    explicit PMBusPowerRC(const std::string& /*model*/) {}

    float Get_Value(unsigned int index, const std::string& key) const override;
    using TXQSPDevice::LoadFromCache;
    bool LoadFromCache(const unsigned char* data, int len) override;
    void RoundDone() override;
    ~PMBusPowerRC() override = default;
    bool InitV(TXQVDevice* parent, unsigned int id, const Json::Value& setting) override;

    // Parse hooks: info is the reply's info area, len its byte count. They return the bytes
    // accounted for, or -1 for a reply they cannot use.
    virtual int parse41_41(const unsigned char* info, int len);
    virtual int parse41_43(const unsigned char* info, int len);
    virtual int parse41_44(const unsigned char* info, int len);
    virtual int parse40_46(const unsigned char* info, int len);
    virtual int parse42_46(const unsigned char* info, int len);
    // Model hook: runs after the module fault rules, before the history job is queued. The
    // group's own hook adds nothing, so the template is a complete device by itself.
    virtual void DoImpCheckAlert() {}

    TeleRC record{};
    std::vector<TeleRCChannel> modules;      // record.module_count entries once it is set
    int32_t image_size = 0;
    std::unique_ptr<unsigned char[]> image;  // the history image of the last cycle

private:
    // Get_Value answers no key: the view holds nothing, only the freshness rule applies.
    struct View {};
    zrt::RecordGuard<View> guard_;
    // Instance texts of the module fault rules, by module; used by RoundDone only.
    std::vector<std::string> module_instances_;

    int walk41_41(const unsigned char* info, int len);
    int walk41_43(const unsigned char* info, int len);
    int walk41_44(const unsigned char* info, int len);
    int walk40_46(const unsigned char* info, int len);
    int walk42_46(const unsigned char* info, int len);
    void register_rules(const TeleRC& cycle, const std::vector<TeleRCChannel>& cycle_modules);

    // The cycle's records as read back from its image, for its rules; used by RoundDone only,
    // kept so that a steady cycle allocates nothing.
    TeleRC cycle_record_{};
    std::vector<TeleRCChannel> cycle_modules_;
};

template <class TeleRC, class TeleRCChannel, int RT_RC>
float PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::Get_Value(unsigned int, const std::string&) const {
    return guard_.query(*this, [](const View&) -> float {
        // Fresh data are there, but the rectifier group answers no key.
        throw std::out_of_range(zrt::kNotReady);
    });
}

// All or nothing: the whole length is checked against the module count in the image
// before anything is copied, so a refused image leaves the device as it was.
template <class TeleRC, class TeleRCChannel, int RT_RC>
bool PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::LoadFromCache(const unsigned char* data, int len) {
    zrt::rc::trace_cache_length(len, kRecordSize);
    if (len < kRecordSize || data == nullptr) return false;

    const int count = data[offsetof(TeleRC, module_count)];
    zrt::rc::trace_cache_modules(kModuleSize, count, len - kRecordSize);
    if (!Image::whole(len, static_cast<size_t>(count))) return false;

    std::lock_guard<std::mutex> lock(guard_.writer());
    Image::read(data, static_cast<size_t>(count), record, modules);
    guard_.mark_fresh(*this);
    return true;
}

template <class TeleRC, class TeleRCChannel, int RT_RC>
void PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::RoundDone() {
    {
        std::lock_guard<std::mutex> lock(guard_.writer());
        zrt::stamp(record.update_time);

        // The module count can change after the first cycle (a first reply without
        // modules, a cache load), so the buffer follows it.
        Image::fit(image, image_size, modules.size());
        Image::write(image.get(), record, modules);
        guard_.mark_fresh(*this);
    }
    // Only RoundDone writes the image, so it is the cycle's snapshot too and the host reads it
    // without the lock.
    zrt::publish_cycle(*this, RT_RC, image.get(), image.get(), image_size, [this](const unsigned char* cycle, int size) {
        Image::read(cycle, static_cast<size_t>((size - kRecordSize) / kModuleSize), cycle_record_, cycle_modules_);
        register_rules(cycle_record_, cycle_modules_);
        DoImpCheckAlert();
    });
}

template <class TeleRC, class TeleRCChannel, int RT_RC>
bool PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::InitV(TXQVDevice* parent, unsigned int id,
                                                     const Json::Value& setting) {
    {
        std::lock_guard<std::mutex> lock(guard_.writer());
        for (int i = 0; i < 4; ++i) record.device_id[i] = static_cast<uint8_t>(id >> (8 * i));
    }
    return TXQSPDevice::InitV(parent, id, setting);
}

// The hooks walk under the writer lock; none of them changes what Get_Value reads.
template <class TeleRC, class TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::parse41_41(const unsigned char* info, int len) {
    return guard_.parse([&] { return walk41_41(info, len); });
}

template <class TeleRC, class TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::parse41_43(const unsigned char* info, int len) {
    return guard_.parse([&] { return walk41_43(info, len); });
}

template <class TeleRC, class TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::parse41_44(const unsigned char* info, int len) {
    return guard_.parse([&] { return walk41_44(info, len); });
}

template <class TeleRC, class TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::parse40_46(const unsigned char* info, int len) {
    return guard_.parse([&] { return walk40_46(info, len); });
}

template <class TeleRC, class TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::parse42_46(const unsigned char* info, int len) {
    return guard_.parse([&] { return walk42_46(info, len); });
}

// 41_41: data flag, group value, module count M, then per module a value, a count P and P
// user-defined values. A module whose P is not the expected count has its values stepped
// over; a block of user values that does not fit is reported as an overflow in the channel.
template <class TeleRC, class TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::walk41_41(const unsigned char* info, int len) {
    using namespace zrt::rc;
    zrt::ReplyWalk<> w(*this, info, len, kOverflow41_41);
    uint8_t m = 0;
    if (!w.pass(1) || !w.take(record.group_value, 4) || !w.take_u8(m)) return -1;
    // The first reply that reports modules fixes the count; later replies must agree.
    if (modules.empty()) {
        record.module_count = m;
        modules.resize(m);
    } else if (record.module_count != m) {
        return -1;
    }

    constexpr uint8_t kUser = TeleRCChannel::P41_41_SIZE();
    for (auto& mod : modules) {
        if (!w.take(mod.module_value, 4) || !w.take_u8(mod.analog_count)) return -1;
        const uint8_t p = mod.analog_count;
        if (p != kUser) {
            w.log(kUserCount41_41, p, kUser);
            if (!w.pass_values(p)) return -1;
            continue;
        }
        // Four equal bytes mark a user value the module does not supply: stored as zeros.
        if (!w.take_values(mod.analog_user, kUser, 0.0f, kInChannelOverflow41_41)) return -1;
    }
    return w.pos();
}

// 41_43: data flag, M, then per module three state bytes, a count P and P user-defined
// bytes. Modules after the M-th keep their values.
template <class TeleRC, class TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::walk41_43(const unsigned char* info, int len) {
    using namespace zrt::rc;
    zrt::ReplyWalk<> w(*this, info, len, kOverflow41_43);
    uint8_t m = 0;
    if (!w.pass(1) || !w.take_u8(m)) return -1;
    if (m > record.module_count) return -1;

    constexpr uint8_t kUser = TeleRCChannel::P41_43_SIZE();
    for (int i = 0; i < m; ++i) {
        auto& mod = modules[static_cast<size_t>(i)];
        if (!w.take(mod.state, 3) || !w.take_u8(mod.state_count)) return -1;
        const uint8_t p = mod.state_count;
        if (p != kUser) {
            w.log(kUserCount41_43, p, kUser);
            if (!w.pass(p)) return -1;
        } else if (!w.take(mod.state_user, p)) {
            return -1;
        }
    }
    return w.pos();
}

// 41_44: data flag, M, then per module a fault byte, a count P and P user-defined alarm
// bytes.
template <class TeleRC, class TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::walk41_44(const unsigned char* info, int len) {
    using namespace zrt::rc;
    zrt::ReplyWalk<> w(*this, info, len, kOverflow41_44);
    uint8_t m = 0;
    if (!w.pass(1) || !w.take_u8(m)) return -1;
    if (record.module_count < m) {
        w.log(kModuleCount41_44, static_cast<int>(m), record.module_count);
        return 0;
    }

    constexpr uint8_t kUser = TeleRCChannel::P41_44_SIZE();
    for (int i = 0; i < m; ++i) {
        auto& mod = modules[static_cast<size_t>(i)];
        if (!w.take_u8(mod.fault) || !w.take_u8(mod.alarm_count)) return -1;
        const uint8_t p = mod.alarm_count;
        if (p != kUser) {
            w.log(kUserCount41_44, p, kUser);
            if (!w.pass(p)) return -1;
        } else if (!w.take(mod.alarm_user, p)) {
            return -1;
        }
    }
    return w.pos();
}

// 40_46: five AC-distribution parameters, then a count P of user-defined values that are
// not kept. With P above 0 the size the reply announces is returned as it is, and the poller
// compares it with the length.
template <class TeleRC, class TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::walk40_46(const unsigned char* info, int len) {
    using namespace zrt::rc;
    zrt::ReplyWalk<> w(*this, info, len, kOverflow40_46);
    uint8_t p = 0;
    if (!w.take(record.ac_param, sizeof(record.ac_param)) || !w.take_u8(p)) return -1;
    // The parameters, the count and the values the count announces.
    constexpr int kHead = sizeof(TeleRC::ac_param) + 1;
    if (p != 0) return kHead + zrt::kValueSize * p;
    return w.pos();
}

// 42_46: two DC-distribution parameters, a count P, then P user-defined values of which
// P42_46_SIZE bytes are kept.
template <class TeleRC, class TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::walk42_46(const unsigned char* info, int len) {
    using namespace zrt::rc;
    zrt::ReplyWalk<> w(*this, info, len, kOverflow42_46);
    // A reply that does not even hold the two values and the count is refused whole.
    constexpr int kHead = sizeof(TeleRC::dc_param) + 1;
    if (!w.need(kHead)) return -1;
    w.copy(record.dc_param, sizeof(record.dc_param));
    const uint8_t p = w.u8();
    record.dc_user_count = p;
    if (p != TeleRC::P42_46_NUMBER()) {
        w.log(kUserCount42_46, p, TeleRC::P42_46_NUMBER());
        return kHead + zrt::kValueSize * p;
    }
    // The user values the reply holds, P42_46_SIZE bytes at most.
    const int n = len - kHead > TeleRC::P42_46_SIZE() ? TeleRC::P42_46_SIZE() : len - kHead;
    if (!w.take(record.dc_user_param, n)) return -1;
    return w.pos();
}

// The rules of the cycle whose records are `cycle` and `cycle_modules`: one fault rule per
// module; the group record raises none.
template <class TeleRC, class TeleRCChannel, int RT_RC>
void PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::register_rules(const TeleRC& /*cycle*/,
                                                                const std::vector<TeleRCChannel>& cycle_modules) {
    using namespace zrt::rc;
    static const zrt::RuleTexts fault_row(kModuleFaultAlarm);
    const size_t count = cycle_modules.size();
    // Instance texts "模块<n>整流模块故障告警", made once per module number.
    while (module_instances_.size() < count)
        module_instances_.push_back("模块" + std::to_string(module_instances_.size() + 1) + "整流模块故障告警");
    pending_rules.reserve(pending_rules.size() + count);
    for (size_t i = 0; i < count; ++i)
        zrt::add_rule(*this, fault_row, module_instances_[i], cycle_modules[i].fault == kModuleFault);
}

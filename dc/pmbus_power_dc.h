#pragma once
// The DC distribution child: one device per DC distribution screen. It decodes the screen's
// 42_41 and 42_44 blocks into its packed record, publishes the record once per polling
// cycle with the screen's alarm rules, answers value queries and reloads its last saved
// image.
//
// Threads: the parse hooks and RoundDone run on the poller's reply thread, Get_Value on any
// host thread (zrt::RecordGuard says how the record is shared).
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <json/value.h>

#include "dc/dc_records.h"
#include "host/TXQSPDevice.h"
#include "common/cycle_end.h"
#include "common/history_image.h"
#include "common/record_guard.h"
#include "common/reply_walk.h"
#include "common/threshold.h"

namespace zrt {
namespace dc {

// Log texts of the parse hooks. Their counts are logged as signed 64-bit values.
inline constexpr char kOverflow42_41[] = "PMBusPowerAC:ProcotolError {} read 42_41 read overflow {} - {}";
inline constexpr char kOverflow42_44[] = "PMBusPowerAC:ProcotolError {} read 42_44 read overflow {} - {}";
inline constexpr char kTooManyM[] = "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read dc_m is {}, MAX_M is {}";
inline constexpr char kTooManyN[] = "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read dc_n is {}, MAX_N is {}";
inline constexpr char kTooManyP[] =
    "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read p_count is {}, support user_p max is {}";
inline constexpr char kTooManyAlertP[] =
    "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read 42_44 p is {},  alert_p is {}";

// Stored in place of a user value the screen marks as absent (its bit pattern is
// 0xBDCCCCCD).
inline constexpr float kAbsentValue = -0.1f;

// Output voltage rules: the instance text is the alarm name itself.
struct VoltAlarm {
    AlarmRow row;
    uint8_t volt_state;  // active while the record's volt_state equals this
};
inline constexpr VoltAlarm kVoltAlarms[] = {
    {{3, "DC_0", "06008", "输出电压过低告警"}, 1},
    {{3, "DC_1", "06009", "输出电压过高告警"}, 2},
};
// One rule per fuse, instance text "直流<k>电池熔丝故障告警", active while its state is 3.
inline constexpr AlarmRow kFuseAlarm{1, "DC_3", "06001", "电池熔丝故障告警"};
inline constexpr uint8_t kFuseFault = 3;

// The trace line of a 42_41 block: "parse 42 41:" and its first four bytes in lower-case
// hexadecimal. A block shorter than four bytes prints only the bytes it has ("parse 42 41: 7
// 1" for two bytes, "parse 42 41:" for none), so the trace never reads past the block.
void trace_42_41(const unsigned char* p, int len);

}  // namespace dc
}  // namespace zrt

template <class TeleDC, int RT_DC>
class PMBusPowerDC : public TXQSPDevice {
public:
    // The history image: the record alone, published and saved in place.
    using Image = zrt::HistoryImage<TeleDC>;
    static constexpr int kRecordSize = Image::kRecordSize;

    PMBusPowerDC() = default;
    // The poller passes its model text; the screen does not use it.
    explicit PMBusPowerDC(const std::string& /*model*/) {}

    float Get_Value(unsigned int index, const std::string& key) const override;
    using TXQSPDevice::LoadFromCache;
    bool LoadFromCache(const unsigned char* data, int len) override;
    void RoundDone() override;
    ~PMBusPowerDC() override = default;
    bool InitV(TXQVDevice* parent, unsigned int id, const Json::Value& setting) override;

    // Parse hooks: p is the screen's block of the reply, len the info bytes left from p.
    // They return the bytes used, or -1 when the block runs past len.
    virtual int parse42_41(const unsigned char* p, int len);
    virtual int parse42_44(const unsigned char* p, int len);
    // Model hook: runs after the screen's rules, before the history job is queued.
    virtual void DoImpCheckAlert() = 0;

    TeleDC record{};       // also the history image: published and saved in place
    float prev_v = 0;      // v at the end of the previous cycle
    float prev_i = 0;      // i at the end of the previous cycle
    float diff_v = 0.1f;   // voltage change threshold ("diff_v")
    float diff_i = 20.0f;  // current change threshold ("diff_i")
    // Whether the last cycle was the first or moved v by diff_v or i by diff_i. Publication
    // does not depend on it: every cycle is published and saved.
    bool values_moved = false;

private:
    // What Get_Value answers from.
    struct View {
        float v = 0;
        float i = 0;
    };
    zrt::RecordGuard<View> guard_;

    int walk42_41(const unsigned char* p, int len);
    int walk42_44(const unsigned char* p, int len);
    void view_values(View& view) const {
        view.v = record.v;
        view.i = record.i;
    }
    void register_rules(const TeleDC& cycle);

    static bool take_counted(zrt::ReplyWalk<int64_t>& w, uint8_t& count, void* values, uint8_t capacity,
                             const char* too_many);
};

template <class TeleDC, int RT_DC>
float PMBusPowerDC<TeleDC, RT_DC>::Get_Value(unsigned int /*index*/, const std::string& key) const {
    return guard_.query(*this, [&key](const View& view) -> float {
        if (key == "v") return view.v;
        if (key == "i") return view.i;
        throw std::out_of_range(zrt::kNotReady);
    });
}

// Accepts exactly one saved DC image; any other length changes nothing.
template <class TeleDC, int RT_DC>
bool PMBusPowerDC<TeleDC, RT_DC>::LoadFromCache(const unsigned char* data, int len) {
    if (data == nullptr || !Image::whole(len, 0)) return false;
    std::lock_guard<std::mutex> lock(guard_.writer());
    Image::read(data, record);
    guard_.mark_fresh(*this, [this](View& view) { view_values(view); });
    return true;
}

// Stamps the record, publishes it under RT_DC, registers the voltage rules and, when the
// screen reported exactly ALERT_M_SIZE fuses, one rule per fuse, then queues the history
// job with this cycle's image.
template <class TeleDC, int RT_DC>
void PMBusPowerDC<TeleDC, RT_DC>::RoundDone() {
    TeleDC cycle;  // the cycle's snapshot: the record is published in place
    {
        std::lock_guard<std::mutex> lock(guard_.writer());
        zrt::stamp(record.update_time);
        values_moved =
            !data_ready || std::fabs(record.v - prev_v) >= diff_v || std::fabs(record.i - prev_i) >= diff_i;
        prev_v = record.v;
        prev_i = record.i;
        Image::write(reinterpret_cast<unsigned char*>(&cycle), record);
        guard_.mark_fresh(*this);
    }
    // A reply decoded while the host handles the publication changes the record, not the
    // snapshot the rules and the history job are made from.
    zrt::publish_cycle(*this, RT_DC, reinterpret_cast<const unsigned char*>(&record),
                       reinterpret_cast<const unsigned char*>(&cycle), Image::size(0),
                       [this, &cycle](const unsigned char*, int) {
                           register_rules(cycle);
                           DoImpCheckAlert();
                       });
}

template <class TeleDC, int RT_DC>
bool PMBusPowerDC<TeleDC, RT_DC>::InitV(TXQVDevice* parent, unsigned int id, const Json::Value& setting) {
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
template <class TeleDC, int RT_DC>
int PMBusPowerDC<TeleDC, RT_DC>::parse42_41(const unsigned char* p, int len) {
    return guard_.parse([&] { return walk42_41(p, len); }, [this](View& view) { view_values(view); });
}

template <class TeleDC, int RT_DC>
int PMBusPowerDC<TeleDC, RT_DC>::parse42_44(const unsigned char* p, int len) {
    return guard_.parse([&] { return walk42_44(p, len); });  // alarm states: nothing Get_Value reads
}

// Reads a count byte and that many 4-byte values into `values`; a count over capacity is
// logged and its values stepped over. False when a field does not fit.
template <class TeleDC, int RT_DC>
bool PMBusPowerDC<TeleDC, RT_DC>::take_counted(zrt::ReplyWalk<int64_t>& w, uint8_t& count, void* values,
                                              uint8_t capacity, const char* too_many) {
    if (!w.take_u8(count)) return false;
    const int bytes = count * zrt::kValueSize;
    if (count > capacity) {
        w.log(too_many, static_cast<int64_t>(count), static_cast<int64_t>(capacity));
        return w.pass(bytes);
    }
    return w.take(values, bytes);
}

// 42_41: v, i, dc_m and its values, dc_n and its values, p_count and the user values.
// Returns the bytes taken, len when p_count is over capacity, or -1 when the block runs past
// len (fields before the one that did not fit keep their new values).
template <class TeleDC, int RT_DC>
int PMBusPowerDC<TeleDC, RT_DC>::walk42_41(const unsigned char* p, int len) {
    using namespace zrt::dc;
    trace_42_41(p, len);
    zrt::ReplyWalk<int64_t> w(*this, p, len, kOverflow42_41);
    if (!w.take(&record.v, zrt::kValueSize) || !w.take(&record.i, zrt::kValueSize)) return -1;
    if (!take_counted(w, record.dc_m, record.dc_m_value, TeleDC::M_SIZE(), kTooManyM)) return -1;
    if (!take_counted(w, record.dc_n, record.dc_n_value, TeleDC::N_SIZE(), kTooManyN)) return -1;

    if (!w.take_u8(record.p_count)) return -1;
    if (record.p_count > TeleDC::P_SIZE()) {
        w.log(kTooManyP, static_cast<int64_t>(record.p_count), static_cast<int64_t>(TeleDC::P_SIZE()));
        return len;
    }
    if (!w.take_values(record.user_p, record.p_count, kAbsentValue)) return -1;
    return w.pos();
}

// 42_44: volt_state, the fuse states (ALERT_M_SIZE kept) and the user alarm bytes
// (ALERT_P_SIZE kept). Returns the bytes taken, or -1 when the block runs past len.
template <class TeleDC, int RT_DC>
int PMBusPowerDC<TeleDC, RT_DC>::walk42_44(const unsigned char* p, int len) {
    using namespace zrt::dc;
    zrt::ReplyWalk<int64_t> w(*this, p, len, kOverflow42_44);
    if (!w.take_u8(record.volt_state) || !w.take_u8(record.alert_m_count)) return -1;
    const int m = record.alert_m_count;
    if (!w.need(m)) return -1;
    const int m_kept = m < TeleDC::ALERT_M_SIZE() ? m : TeleDC::ALERT_M_SIZE();
    w.copy(record.alert_m_state, m_kept);
    w.skip(m - m_kept);

    if (!w.take_u8(record.alert_p_count)) return -1;
    const int n = record.alert_p_count;
    if (n > TeleDC::ALERT_P_SIZE())
        w.log(kTooManyAlertP, static_cast<int64_t>(n), static_cast<int64_t>(TeleDC::ALERT_P_SIZE()));
    if (!w.need(n)) return -1;
    const int n_kept = n < TeleDC::ALERT_P_SIZE() ? n : TeleDC::ALERT_P_SIZE();
    w.copy(record.alert_p_state, n_kept);
    w.skip(n - n_kept);
    return w.pos();
}

// The rules of the cycle whose record is `cycle`.
template <class TeleDC, int RT_DC>
void PMBusPowerDC<TeleDC, RT_DC>::register_rules(const TeleDC& cycle) {
    using namespace zrt::dc;
    // The texts never change: made once, not per cycle.
    static const std::vector<zrt::RuleTexts> volt_rows = zrt::rule_texts(kVoltAlarms);
    static const zrt::RuleTexts fuse_row(kFuseAlarm);
    static const std::vector<std::string> fuse_instances = [] {
        std::vector<std::string> texts;
        for (int k = 1; k <= TeleDC::ALERT_M_SIZE(); ++k) texts.push_back("直流" + std::to_string(k) + "电池熔丝故障告警");
        return texts;
    }();
    pending_rules.reserve(pending_rules.size() + volt_rows.size() + TeleDC::ALERT_M_SIZE());
    for (size_t r = 0; r < volt_rows.size(); ++r)
        zrt::add_rule(*this, volt_rows[r], volt_rows[r].name, cycle.volt_state == kVoltAlarms[r].volt_state);
    if (cycle.alert_m_count != TeleDC::ALERT_M_SIZE()) return;
    for (int k = 1; k <= TeleDC::ALERT_M_SIZE(); ++k)
        zrt::add_rule(*this, fuse_row, fuse_instances[k - 1], cycle.alert_m_state[k - 1] == kFuseFault);
}

#pragma once
// The DC distribution screen device: decodes the 42_41 and 42_44 blocks of its screen into
// the packed record, publishes the record at the end of every polling cycle with its alarm
// rules and history job, reloads a saved image, and answers value queries.
//
// The hooks and RoundDone run on the poller's reply thread while Get_Value runs on any host
// thread, so one mutex per device guards the record. Host calls that may block (log lines,
// publication, rule registration, the history job) are made after the lock is released:
// log lines of a walk are collected and written once the walk is done, and RoundDone hands
// the host a snapshot of the record taken under the lock.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <json/value.h>

#include "dc/dc_records.h"
#include "host/TXQSPDevice.h"
#include "host/get_ttime.h"
#include "power/byte_reader.h"
#include "power/cycle_end.h"

namespace zrt::dc {

inline constexpr char kOverflow42_41[] = "PMBusPowerAC:ProcotolError {} read 42_41 read overflow {} - {}";
inline constexpr char kOverflow42_44[] = "PMBusPowerAC:ProcotolError {} read 42_44 read overflow {} - {}";
inline constexpr char kTooManyM[] = "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read dc_m is {}, MAX_M is {}";
inline constexpr char kTooManyN[] = "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read dc_n is {}, MAX_N is {}";
inline constexpr char kTooManyP[] =
    "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read p_count is {}, support user_p max is {}";
inline constexpr char kTooManyAlertP[] =
    "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read 42_44 p is {},  alert_p is {}";

// Bit pattern of -0.1f, stored for a user value the screen marks as absent.
inline constexpr uint32_t kAbsentValue = 0xBDCCCCCDu;

// Output voltage rules: the instance text is the alarm name itself.
struct VoltRow {
    AlarmRow row;
    uint8_t volt_state;  // active while the record's volt_state equals this
};
inline constexpr VoltRow kVoltRules[] = {
    {{3, "DC_0", "06008", "输出电压过低告警"}, 1},
    {{3, "DC_1", "06009", "输出电压过高告警"}, 2},
};
// One rule per fuse, instance text "直流<k>电池熔丝故障告警", active while its state is 3.
inline constexpr AlarmRow kFuseRule{1, "DC_3", "06001", "电池熔丝故障告警"};
inline constexpr uint8_t kFuseFault = 3;

// Log lines found during a walk, written after the device's lock is released.
class PendingLogs {
public:
    void add(const char* format, int64_t a, int64_t b) {
        if (count_ < kMax) items_[count_++] = {format, a, b};
    }
    void write(TXQVDevice& dev) const {
        for (int k = 0; k < count_; ++k) dev.InfoLog(items_[k].format, dev.DataId(), items_[k].a, items_[k].b);
    }

private:
    struct Item {
        const char* format;
        int64_t a;
        int64_t b;
    };
    static constexpr int kMax = 4;  // a walk reports at most three lines
    Item items_[kMax]{};
    int count_ = 0;
};

// The trace line of a 42_41 block. A block shorter than four bytes prints only the bytes it
// has ("parse 42 41: 7 1" for two bytes, "parse 42 41:" for none), so the trace never reads
// past the block.
inline void trace_42_41(const unsigned char* p, int len) {
    char line[48];
    if (len >= 4) {
        std::snprintf(line, sizeof line, "parse 42 41: %x %x %x %x\n", unsigned(p[0]), unsigned(p[1]),
                      unsigned(p[2]), unsigned(p[3]));
    } else {
        int n = std::snprintf(line, sizeof line, "parse 42 41:");
        for (int k = 0; k < len; ++k) n += std::snprintf(line + n, sizeof line - n, " %x", unsigned(p[k]));
        std::snprintf(line + n, sizeof line - n, "\n");
    }
    std::fputs(line, stdout);
}

}  // namespace zrt::dc

template <class TeleDC, int RT_DC>
class PMBusPowerDC : public TXQSPDevice {
public:
    using TXQSPDevice::LoadFromCache;

    PMBusPowerDC() = default;
    explicit PMBusPowerDC(const std::string& /*model*/) {}

    float Get_Value(unsigned int /*index*/, const std::string& key) const override {
        std::lock_guard<std::mutex> lock(mutex_);
        zrt::check_fresh(*this);
        if (key == "v") return record.v;
        if (key == "i") return record.i;
        throw std::out_of_range(zrt::kNotReady);
    }

    // Accepts exactly one saved DC image; any other length changes nothing.
    bool LoadFromCache(const unsigned char* data, int len) override {
        if (data == nullptr || len != static_cast<int>(sizeof(TeleDC))) return false;
        const auto now = zrt::local_now();
        std::lock_guard<std::mutex> lock(mutex_);
        std::memcpy(&record, data, sizeof(TeleDC));
        data_ready = true;
        last_update = now;
        return true;
    }

    // Stamps the record, publishes it under RT_DC, registers the voltage rules and, when the
    // screen reported exactly ALERT_M_SIZE fuses, one rule per fuse, then queues the history
    // job with this cycle's image.
    void RoundDone() override {
        const auto now = zrt::local_now();
        const auto stamp = get_ttime(zrt::local_now());
        static_assert(sizeof stamp == sizeof record.update_time, "the host time stamp is 7 bytes");
        TeleDC image;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            last_update = now;
            std::memcpy(record.update_time, &stamp, sizeof record.update_time);
            values_changed = !data_ready || std::fabs(record.v - prev_v) >= diff_v ||
                             std::fabs(record.i - prev_i) >= diff_i;
            data_ready = true;
            prev_v = record.v;
            prev_i = record.i;
            image = record;
        }
        zrt::publish_cycle(*this, RT_DC, reinterpret_cast<const unsigned char*>(&image),
                           static_cast<int>(sizeof(TeleDC)), [this, &image] {
                               register_rules(image);
                               DoImpCheckAlert();
                           });
    }

    bool InitV(TXQVDevice* parent, unsigned int id, const Json::Value& setting) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            record.device_id = id;
        }
        if (setting.isObject() && setting.isMember("appSetting")) {
            const Json::Value& app = setting["appSetting"];
            if (app.isObject()) {
                read_threshold(app, "diff_v", diff_v);
                read_threshold(app, "diff_i", diff_i);
            }
        }
        return TXQSPDevice::InitV(parent, id, setting);
    }

    // The screen's 42_41 block: v, i, dc_m and its values, dc_n and its values, p_count and
    // the user values. Returns the bytes taken, len when p_count is over capacity, or -1 when
    // the block runs past len (fields before the one that did not fit keep their new values).
    virtual int parse42_41(const unsigned char* p, int len) {
        zrt::dc::trace_42_41(p, len);
        zrt::dc::PendingLogs logs;
        int taken;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            taken = walk_42_41(p, len, logs);
        }
        logs.write(*this);
        return taken;
    }

    // The screen's 42_44 block: volt_state, the fuse states and the user alarm bytes.
    // Returns the bytes taken, or -1 when the block runs past len.
    virtual int parse42_44(const unsigned char* p, int len) {
        zrt::dc::PendingLogs logs;
        int taken;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            taken = walk_42_44(p, len, logs);
        }
        logs.write(*this);
        return taken;
    }

    // Model hook, called after the cycle's rules and before the history job is built.
    virtual void DoImpCheckAlert() = 0;

    TeleDC record{};
    float prev_v = 0;      // v at the end of the previous cycle
    float prev_i = 0;      // i at the end of the previous cycle
    float diff_v = 0.1f;   // voltage change threshold ("diff_v")
    float diff_i = 20.0f;  // current change threshold ("diff_i")
    // Whether the last cycle was the first or moved v by diff_v or i by diff_i. Publication
    // does not depend on it: every cycle is published and saved.
    bool values_changed = false;

protected:
    mutable std::mutex mutex_;

private:
    // A JSON string or number is read as text through atof (text that is no number gives
    // 0); null, a missing key, or a value with no text (object, array, bool) keeps `out`.
    static void read_threshold(const Json::Value& app, const char* key, float& out) {
        if (!app.isMember(key)) return;
        const Json::Value& v = app[key];
        if (v.isString() || v.isNumeric()) out = static_cast<float>(std::atof(v.asString().c_str()));
    }

    // Reads a count byte and that many 4-byte values into `values`; a count over capacity is
    // logged and its values stepped over. Returns 0, or the bytes the walk needed when the
    // next field does not fit.
    static int take_values(zrt::ByteReader& r, uint8_t& count, void* values, uint8_t capacity,
                           const char* too_many, zrt::dc::PendingLogs& logs) {
        if (!r.fits(1)) return r.end_of(1);
        count = r.u8();
        const int bytes = count * 4;
        if (count > capacity) logs.add(too_many, count, capacity);
        if (!r.fits(bytes)) return r.end_of(bytes);
        if (count > capacity)
            r.skip(bytes);
        else
            r.copy(values, bytes);
        return 0;
    }

    int walk_42_41(const unsigned char* p, int len, zrt::dc::PendingLogs& logs) {
        zrt::ByteReader r(p, len);
        auto overflow = [&](int needed) {
            logs.add(zrt::dc::kOverflow42_41, needed, len);
            return -1;
        };
        if (!r.fits(4)) return overflow(r.end_of(4));
        r.copy(&record.v, 4);
        if (!r.fits(4)) return overflow(r.end_of(4));
        r.copy(&record.i, 4);
        if (int needed = take_values(r, record.dc_m, record.dc_m_value, TeleDC::M_SIZE(), zrt::dc::kTooManyM, logs))
            return overflow(needed);
        if (int needed = take_values(r, record.dc_n, record.dc_n_value, TeleDC::N_SIZE(), zrt::dc::kTooManyN, logs))
            return overflow(needed);

        if (!r.fits(1)) return overflow(r.end_of(1));
        record.p_count = r.u8();
        if (record.p_count > TeleDC::P_SIZE()) {
            logs.add(zrt::dc::kTooManyP, record.p_count, TeleDC::P_SIZE());
            return len;
        }
        if (!r.fits(record.p_count * 4)) return overflow(r.end_of(record.p_count * 4));
        for (int k = 0; k < record.p_count; ++k) {
            unsigned char value[4];
            if (r.value4(value))
                std::memcpy(&record.user_p[k], &zrt::dc::kAbsentValue, 4);
            else
                std::memcpy(&record.user_p[k], value, 4);
        }
        return r.pos();
    }

    int walk_42_44(const unsigned char* p, int len, zrt::dc::PendingLogs& logs) {
        zrt::ByteReader r(p, len);
        auto overflow = [&](int needed) {
            logs.add(zrt::dc::kOverflow42_44, needed, len);
            return -1;
        };
        if (!r.fits(1)) return overflow(r.end_of(1));
        record.volt_state = r.u8();
        if (!r.fits(1)) return overflow(r.end_of(1));
        record.alert_m_count = r.u8();
        const int m = record.alert_m_count;
        if (!r.fits(m)) return overflow(r.end_of(m));
        const int m_kept = m < TeleDC::ALERT_M_SIZE() ? m : TeleDC::ALERT_M_SIZE();
        r.copy(record.alert_m_state, m_kept);
        r.skip(m - m_kept);

        if (!r.fits(1)) return overflow(r.end_of(1));
        record.alert_p_count = r.u8();
        const int n = record.alert_p_count;
        if (n > TeleDC::ALERT_P_SIZE()) logs.add(zrt::dc::kTooManyAlertP, n, TeleDC::ALERT_P_SIZE());
        if (!r.fits(n)) return overflow(r.end_of(n));
        const int n_kept = n < TeleDC::ALERT_P_SIZE() ? n : TeleDC::ALERT_P_SIZE();
        r.copy(record.alert_p_state, n_kept);
        r.skip(n - n_kept);
        return r.pos();
    }

    // Registers the cycle's rules from the image being published, so that the rules and the
    // saved image describe the same cycle.
    void register_rules(const TeleDC& image) {
        // The texts never change: made once, not per cycle.
        static const std::vector<zrt::RuleTexts> volt_rows = zrt::rule_texts(zrt::dc::kVoltRules);
        static const zrt::RuleTexts fuse_row(zrt::dc::kFuseRule);
        static const std::vector<std::string> fuse_instances = [] {
            std::vector<std::string> texts;
            for (int k = 1; k <= TeleDC::ALERT_M_SIZE(); ++k)
                texts.push_back("直流" + std::to_string(k) + "电池熔丝故障告警");
            return texts;
        }();
        for (size_t r = 0; r < volt_rows.size(); ++r)
            zrt::add_rule(*this, volt_rows[r], volt_rows[r].name,
                          image.volt_state == zrt::dc::kVoltRules[r].volt_state);
        if (image.alert_m_count != TeleDC::ALERT_M_SIZE()) return;
        for (int k = 1; k <= TeleDC::ALERT_M_SIZE(); ++k)
            zrt::add_rule(*this, fuse_row, fuse_instances[k - 1], image.alert_m_state[k - 1] == zrt::dc::kFuseFault);
    }
};

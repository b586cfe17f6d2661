#pragma once
// The top device of one power system on one serial line: it creates the AC distribution,
// DC distribution and rectifier children from its settings, walks the command cycle, hands
// every reply's info bytes to the children's parse hooks and ends each cycle by asking the
// children to publish.
//
// The cycle is written once. The two models differ in a handful of choices (a pause before
// each reply, whether the AC switch states are read, whether the cycle may end before the
// DC distribution, where the DC walk starts, which consumption mismatches are logged);
// CycleVariant names them and each model hands its own set to run_cycle.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <json/value.h>

#include "host/PMBusProtocol.h"
#include "common/cycle_end.h"

namespace zrt {

struct CycleVariant {
    bool pause_before_reply;          // sleep 20 ms before handling each reply
    bool read_ac_switch_states;       // the AC analogue reply may lead to 40_43
    bool end_after_rectifiers;        // without DC children the cycle ends after 41_4x
    bool dc_walk_from_m_when_many;    // with four or more DC screens the 42_41 walk starts at M
    bool log_any_consumption_change;  // 42_41, 42_44, 40_46, 42_46: log shortfalls as well as excess
};

// The template's own cycle (also the model-neutral top device).
inline constexpr CycleVariant kFullCycle{true, true, true, true, false};
// The registered model: no pause, no AC switch states, always through the DC distribution.
inline constexpr CycleVariant kFixedPathCycle{false, false, false, false, true};

// The model text of a 40_51 reply: the first 20 info bytes at most, and only those the
// reply carries, cut at the first NUL, without surrounding blanks.
std::string model_text(const unsigned char* info, int len);
// True when `model` equals one of `supported`, ASCII case ignored.
bool model_supported(const std::string& model, const std::vector<std::string>& supported);

}  // namespace zrt

template <class AC, class DC, class RC>
class PMBusPower : public PMBusProtocol {
public:
    // The one info byte sent with the commands that carry one.
    static constexpr uint8_t commandGroup_ = 0xFF;

    explicit PMBusPower(std::vector<std::string> models) : supported_models(std::move(models)) {}
    ~PMBusPower() override = default;

    using PMBusProtocol::LoadFromCache;
    // The top device keeps no record of its own.
    bool LoadFromCache(const unsigned char*, int) override { return true; }
    bool InitSetting(const Json::Value& setting) override;
    std::shared_ptr<TXQVDevice> GetChildVDevice(unsigned int id) override;
    std::vector<std::shared_ptr<TXQVDevice>> GetAllChildVDevices() override;
    bool RefreshStatus() override;
    bool process_payload() override { return run_cycle(zrt::kFullCycle); }

    std::vector<std::shared_ptr<AC>> ac_children;
    std::vector<std::shared_ptr<DC>> dc_children;
    std::shared_ptr<RC> rc_child;
    uint8_t ac_dataflag = 0;
    uint8_t rc_dataflag = 0;
    bool model_check_pending = true;
    std::string reported_model;
    std::vector<std::string> supported_models;

protected:
    // Handles the reply in `reply` for the awaited command. Returns false exactly when it
    // has called Reset().
    bool run_cycle(const zrt::CycleVariant& v);

private:
    enum : int { kModel = 14 };
    // Writes the command of `state`; false for a state that has none.
    bool send_command(int state);
    bool go(int state) {
        poll_state = state;
        send_command(state);
        return true;
    }
    // After the rectifier commands: on to the DC distribution, or the end of the cycle.
    bool after_rectifiers(const zrt::CycleVariant& v) {
        if (!dc_children.empty() || !v.end_after_rectifiers) return go(7);
        return end_cycle();
    }
    bool end_cycle();
    bool model_check(const unsigned char* info, int len);

    // Screen walk: each child of the group once, in order, from `start` with the bytes left
    // after the children before it. Returns the distance of the final position from the
    // info start, or -1 when a child refuses. A child never gets a negative count or a
    // pointer past the info.
    template <class Kids, class Hook>
    static int walk(const Kids& kids, Hook hook, const unsigned char* info, int len, int start) {
        int pos = start;
        for (const auto& kid : kids) {
            const int at = std::min(pos, len);
            const int n = ((*kid).*hook)(info + at, len - at);
            if (n < 0) return -1;
            pos += n;
        }
        return pos;
    }
    // Whole-info call of a rectifier hook; without a rectifier child the reply is refused.
    template <class Hook>
    int whole(Hook hook, const unsigned char* info, int len) {
        if (!rc_child) return -1;
        const int n = ((*rc_child).*hook)(info, len);
        return n < 0 ? -1 : n;
    }
    static bool mismatch(const zrt::CycleVariant& v, int used, int len) {
        return v.log_any_consumption_change ? used != len : used > len;
    }
};

namespace zrt {

// True when every element of a child list (when it is an array) is an object, or null,
// whose "data_id" reads as an unsigned integer. jsoncpp throws on anything else, and an
// exception must not leave the plug-in through the host's configuration call.
inline bool child_entries_usable(const Json::Value& list) {
    if (!list.isArray()) return true;
    for (const Json::Value& entry : list) {
        if (!entry.isObject() && !entry.isNull()) return false;
        if (!entry["data_id"].isConvertibleTo(Json::uintValue)) return false;
    }
    return true;
}

}  // namespace zrt

template <class AC, class DC, class RC>
bool PMBusPower<AC, DC, RC>::InitSetting(const Json::Value& setting) {
    if (!PMBusProtocol::InitSetting(setting)) return false;
    // Settings that cannot be read create nothing and keep the children there are.
    if (!setting.isObject() && !setting.isNull()) return false;
    for (const char* key : {"acSetting", "dcSetting"}) {
        if (!zrt::child_entries_usable(setting[key])) {
            InfoLog("PMBusPower:setting {} every \"{}\" entry must be an object with an unsigned \"data_id\"",
                    DataId(), key);
            return false;
        }
    }

    // A second configuration replaces the children instead of adding a second set.
    ac_children.clear();
    dc_children.clear();
    rc_child.reset();

    const Json::Value& ac = setting["acSetting"];
    if (ac.isArray()) {
        for (Json::ArrayIndex i = 0; i < ac.size(); ++i) {
            auto child = std::make_shared<AC>();
            child->InitV(this, ac[i]["data_id"].asUInt(), ac[i]);
            ac_children.push_back(std::move(child));
        }
    }
    const Json::Value& dc = setting["dcSetting"];
    if (dc.isArray()) {
        for (Json::ArrayIndex i = 0; i < dc.size(); ++i) {
            auto child = std::make_shared<DC>();
            child->InitV(this, dc[i]["data_id"].asUInt(), dc[i]);
            dc_children.push_back(std::move(child));
        }
    }
    const Json::Value& rc = setting["rcSetting"];
    if (rc == Json::Value()) return false;
    rc_child = std::make_shared<RC>();
    rc_child->InitV(this, DataId(), rc);
    return true;
}

template <class AC, class DC, class RC>
std::shared_ptr<TXQVDevice> PMBusPower<AC, DC, RC>::GetChildVDevice(unsigned int id) {
    for (const auto& c : ac_children)
        if (c->DataId() == id) return c;
    for (const auto& c : dc_children)
        if (c->DataId() == id) return c;
    return {};
}

template <class AC, class DC, class RC>
std::vector<std::shared_ptr<TXQVDevice>> PMBusPower<AC, DC, RC>::GetAllChildVDevices() {
    std::vector<std::shared_ptr<TXQVDevice>> all;
    all.reserve(ac_children.size() + dc_children.size() + 1);
    all.insert(all.end(), ac_children.begin(), ac_children.end());
    all.insert(all.end(), dc_children.begin(), dc_children.end());
    all.push_back(rc_child);
    return all;
}

template <class AC, class DC, class RC>
bool PMBusPower<AC, DC, RC>::send_command(int state) {
    enum Info { kNone, kGroup, kGroupWithV21 };
    struct Command {
        int state;
        uint8_t cid1, cid2;
        Info info;
    };
    static constexpr Command kCommands[] = {
        {kModel, 0x40, 0x51, kNone}, {0, 0x40, 0x41, kGroup},        {1, 0x40, 0x43, kGroup},
        {2, 0x40, 0x44, kGroup},     {4, 0x41, 0x41, kNone},         {5, 0x41, 0x43, kNone},
        {6, 0x41, 0x44, kNone},      {7, 0x42, 0x41, kGroupWithV21}, {8, 0x42, 0x44, kGroupWithV21},
        {3, 0x40, 0x46, kNone},      {9, 0x42, 0x46, kNone},
    };
    for (const Command& c : kCommands) {
        if (c.state != state) continue;
        if (c.info == kGroup || (c.info == kGroupWithV21 && version == 0x21))
            write_pmbus_cmd(c.cid1, c.cid2, &commandGroup_, 1);
        else
            write_pmbus_cmd(c.cid1, c.cid2);
        return true;
    }
    return false;
}

template <class AC, class DC, class RC>
bool PMBusPower<AC, DC, RC>::RefreshStatus() {
    if (!PMBusProtocol::RefreshStatus()) return false;
    if (zrt::seconds_since(last_update) < 2 && !model_check_pending) {
        stall_count = 0;
        return false;
    }
    if (model_check_pending) return go(kModel);
    // Between cycles, or in a state without a command: start the next cycle.
    if (poll_state == 0 || poll_state == kModel || !send_command(poll_state))
        return go(ac_children.empty() ? 4 : 0);
    return true;
}

template <class AC, class DC, class RC>
bool PMBusPower<AC, DC, RC>::end_cycle() {
    for (const auto& c : ac_children) c->RoundDone();
    for (const auto& c : dc_children) c->RoundDone();
    if (rc_child) rc_child->RoundDone();
    poll_state = 0;
    Reset();
    return false;
}

template <class AC, class DC, class RC>
bool PMBusPower<AC, DC, RC>::model_check(const unsigned char* info, int len) {
    reported_model = zrt::model_text(info, len);
    if (!zrt::model_supported(reported_model, supported_models)) {
        CheckThresholdBool(3, "device_model", "70319", "设备配置检测",
                           "本驱动类型:" + DeviceType() + " 检测型号:" + reported_model, true, 0);
    }
    model_check_pending = false;
    return go(ac_children.empty() ? 4 : 0);
}

// Every "reject" below returns true without sending and without touching poll_state, so
// that the next RefreshStatus sends the awaited command again. A reply too short for the
// DATAFLAG byte or the screen count it must carry is rejected before either is read.
template <class AC, class DC, class RC>
bool PMBusPower<AC, DC, RC>::run_cycle(const zrt::CycleVariant& v) {
    if (v.pause_before_reply) usleep(20000);
    if (reply == nullptr) return true;

    const uint8_t cid1 = reply[2];
    const int len = (reply[4] | reply[5] << 8) / 2;
    const unsigned char* info = reply + 6;
    const int ac_count = static_cast<int>(ac_children.size());
    const int dc_count = static_cast<int>(dc_children.size());

    switch (poll_state) {
    case kModel:
        if (cid1 != 0x40) return true;
        return model_check(info, len);

    case 0: {  // AC analogue values
        if (cid1 != 0x40) {
            Reset();
            return false;
        }
        if (len < 2) {
            InfoLog("PMBusPower:ProcotolError {} parse 40_41 overflow memory boundary", DataId());
            return true;
        }
        ac_dataflag = info[0];
        if (info[1] != ac_count) {
            InfoLog("PMBusPower:ProcotolError {} read ac_number is {}, configured ac_number is {}", DataId(),
                    info[1], ac_count);
            Reset();
            return false;
        }
        const int used = walk(ac_children, &AC::parse40_41, info, len, 2);
        if (used < 0) return true;
        if (used != len) {
            InfoLog("PMBusPower:ProcotolError {} parse 40_41 overflow memory boundary", DataId());
            return true;
        }
        if (v.read_ac_switch_states && (!data_ready || (ac_dataflag & 0x10))) return go(1);
        if (!data_ready || (ac_dataflag & 0x01)) return go(2);
        return go(4);
    }

    case 1: {  // AC switch states
        if (cid1 != 0x40) return true;
        if (len - 2 > 0) {
            const int used = walk(ac_children, &AC::parse40_43, info, len, 2);
            if (used < 0) return true;
            if (used != len) {
                InfoLog("PMBusPower:ProcotolError {} parse 40_43 overflow memory boundary", DataId());
                return true;
            }
        }
        if (!data_ready || (ac_dataflag & 0x01)) return go(2);
        return go(4);
    }

    case 2: {  // AC alarm states
        if (cid1 != 0x40 || len < 2) return true;
        const int used = walk(ac_children, &AC::parse40_44, info, len, 2);
        if (used != len) return true;  // -1 included; no log line here
        return go(4);
    }

    case 4: {  // rectifier analogue values
        if (cid1 != 0x41) return true;
        if (len < 1) {
            InfoLog("PMBusPower:ProcotolError {} parse p41_41 overflow memory boundary", DataId());
            return true;
        }
        rc_dataflag = info[0];
        if (whole(&RC::parse41_41, info, len) != len) {
            InfoLog("PMBusPower:ProcotolError {} parse p41_41 overflow memory boundary", DataId());
            return true;
        }
        if (!data_ready || (rc_dataflag & 0x10)) return go(5);
        if (!data_ready || (rc_dataflag & 0x01)) return go(6);
        return after_rectifiers(v);
    }

    case 5:  // rectifier switch states
        if (cid1 != 0x41) return true;
        if (whole(&RC::parse41_43, info, len) != len) {
            InfoLog("PMBusPower:ProcotolError {} parse p41_43 overflow memory boundary", DataId());
            return true;
        }
        if (!data_ready || (rc_dataflag & 0x01)) return go(6);
        return after_rectifiers(v);

    case 6:  // rectifier alarm states
        if (cid1 != 0x41) return true;
        if (whole(&RC::parse41_44, info, len) != len) {
            InfoLog("PMBusPower:ProcotolError {} parse p41_44 overflow memory boundary", DataId());
            return true;
        }
        return after_rectifiers(v);

    case 7: {  // DC analogue values
        if (cid1 != 0x42) return true;
        if (len < 2) {
            InfoLog("PMBusPower:ProcotolError {} parse 42_41 overflow memory boundary", DataId());
            return true;
        }
        const uint8_t dc_dataflag = info[0];
        const int m = info[1];
        if (m != dc_count) {
            InfoLog("PMBusPower:ProcotolError {} read dc_number is {}, configured dc_number is {}", DataId(), m,
                    dc_count);
            return true;
        }
        const int start = (v.dc_walk_from_m_when_many && m >= 4) ? 1 : 2;
        const int used = walk(dc_children, &DC::parse42_41, info, len, start);
        if (used < 0) return true;
        if (mismatch(v, used, len))
            InfoLog("PMBusPower:ProcotolError {} parse 42_41 overflow memory boundary", DataId());
        if (!data_ready || (dc_dataflag & 0x11)) return go(8);
        return go(ac_children.empty() ? 9 : 3);
    }

    case 8: {  // DC alarm states
        if (cid1 != 0x42) return true;
        if (len < 2) {
            InfoLog("PMBusPower:ProcotolError {} parse 42_44 overflow memory boundary", DataId());
            return true;
        }
        if (info[1] != dc_count) {
            InfoLog("PMBusPower:ProcotolError {} read dc_number is {}, configured dc_number is {}", DataId(),
                    info[1], dc_count);
            return true;
        }
        const int used = walk(dc_children, &DC::parse42_44, info, len, 2);
        if (used < 0) return true;
        if (mismatch(v, used, len))
            InfoLog("PMBusPower:ProcotolError {} parse 42_44 overflow memory boundary", DataId());
        return go(ac_children.empty() ? 9 : 3);
    }

    case 3: {  // AC parameters, kept by the rectifier child
        if (cid1 != 0x40) return true;
        const int used = whole(&RC::parse40_46, info, len);
        if (used < 0) return true;
        if (mismatch(v, used, len))
            InfoLog("PMBusPower:ProcotolError {} parse 40_46 overflow memory boundary", DataId());
        return go(9);
    }

    case 9: {  // DC parameters, kept by the rectifier child; the last reply of the cycle
        if (cid1 != 0x42) return true;
        const int used = whole(&RC::parse42_46, info, len);
        if (used < 0) return true;
        // There is no separate 42_46 text; the 40_46 one is used.
        if (mismatch(v, used, len))
            InfoLog("PMBusPower:ProcotolError {} parse 40_46 overflow memory boundary", DataId());
        return end_cycle();
    }

    default:  // no command awaited in this state
        return true;
    }
}

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
#include <iterator>
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
    // The steps of the cycle. Each names the command whose reply is awaited; its value is
    // what poll_state holds meanwhile.
    enum Step : int {
        kAcAnalogue = 0,     // 40_41, to every AC child
        kAcSwitches = 1,     // 40_43, to every AC child
        kAcAlarms = 2,       // 40_44, to every AC child
        kAcParameters = 3,   // 40_46, kept by the rectifier child
        kRcAnalogue = 4,     // 41_41
        kRcSwitches = 5,     // 41_43
        kRcAlarms = 6,       // 41_44
        kDcAnalogue = 7,     // 42_41, to every DC child
        kDcAlarms = 8,       // 42_44, to every DC child
        kDcParameters = 9,   // 42_46, kept by the rectifier child; the last reply of a cycle
        kModel = 14,         // 40_51, until its reply is accepted
        kEndOfCycle = -1,    // not a state: the cycle ends instead
    };
    // The info a command carries: none, the group byte, or the group byte only with version 0x21.
    enum Info : uint8_t { kNoInfo, kGroup, kGroupWithV21 };
    // How the bytes a reply's hooks used are held against its length L.
    enum Consumed : uint8_t {
        kMustMatch,          // another count is logged and the reply rejected
        kMustMatchSilently,  // another count rejects the reply without a log line
        kLoggedOnly,         // a mismatch (CycleVariant says which) is logged; the cycle goes on
    };
    // Where the reply's first info byte, its DATAFLAG, is kept.
    enum Flag : uint8_t { kNoFlag, kAcFlag, kRcFlag, kDcFlag };
    // Which children a step needs: without them it is passed over.
    enum Needs : uint8_t { kAlways, kAcChildren, kDcChildren };

    // One step of the cycle: its command, the children its reply goes to, the checks the
    // reply must pass, and the step that follows when DATAFLAG has no say.
    struct StepRow {
        Step step;
        uint8_t cid1, cid2;
        Info info;
        // The hook the reply goes to: a screen walk over the AC or DC children from `start`,
        // or one call of the rectifier child with the whole info (at most one is set).
        int (AC::*ac)(const unsigned char*, int);
        int (DC::*dc)(const unsigned char*, int);
        int (RC::*rc)(const unsigned char*, int);
        int start;
        int min_len;              // a shorter reply is rejected (logged unless kMustMatchSilently)
        bool empty_ok;            // a reply with no bytes after DATAFLAG and M skips the walk
        Flag flag;
        bool checks_screens;      // M must equal the number of children of the walked group
        bool resets;              // a wrong CID1 or screen count resets the line and returns false
        bool refusal_logged;      // a hook's -1 counts as a mismatch (else it rejects silently)
        Consumed consumed;
        const char* overflow;     // the log text of a short reply or a mismatch
        Needs needs;
        Step instead;             // taken in its place when the step is passed over
        Step next;
    };
    static const StepRow* row_of(int state);

    // Writes the command of `row`.
    void send(const StepRow& row) {
        if (row.info == kGroup || (row.info == kGroupWithV21 && version == 0x21))
            write_pmbus_cmd(row.cid1, row.cid2, &commandGroup_, 1);
        else
            write_pmbus_cmd(row.cid1, row.cid2);
    }
    // Sets poll_state to `step` (or what is taken in its place) and sends its command, or ends
    // the cycle.
    bool go(int step, const zrt::CycleVariant& v);
    // The step after an accepted reply of `row`: the transitions that depend on DATAFLAG (and
    // on whether the device holds data yet) are decided here, the others are the table's.
    Step next_step(const StepRow& row, const zrt::CycleVariant& v, uint8_t dc_dataflag) const;
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
    // Hands the reply to the hook of `row`; the bytes used, or -1 when a hook refused (or
    // there is no rectifier child for a rectifier reply).
    int hand(const StepRow& row, const unsigned char* info, int len, int start) {
        if (row.ac) return walk(ac_children, row.ac, info, len, start);
        if (row.dc) return walk(dc_children, row.dc, info, len, start);
        if (!rc_child) return -1;
        const int n = ((*rc_child).*row.rc)(info, len);
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
const typename PMBusPower<AC, DC, RC>::StepRow* PMBusPower<AC, DC, RC>::row_of(int state) {
    static constexpr const char* k40_41 = "PMBusPower:ProcotolError {} parse 40_41 overflow memory boundary";
    static constexpr const char* k40_43 = "PMBusPower:ProcotolError {} parse 40_43 overflow memory boundary";
    static constexpr const char* k40_46 = "PMBusPower:ProcotolError {} parse 40_46 overflow memory boundary";
    static constexpr const char* k41_41 = "PMBusPower:ProcotolError {} parse p41_41 overflow memory boundary";
    static constexpr const char* k41_43 = "PMBusPower:ProcotolError {} parse p41_43 overflow memory boundary";
    static constexpr const char* k41_44 = "PMBusPower:ProcotolError {} parse p41_44 overflow memory boundary";
    static constexpr const char* k42_41 = "PMBusPower:ProcotolError {} parse 42_41 overflow memory boundary";
    static constexpr const char* k42_44 = "PMBusPower:ProcotolError {} parse 42_44 overflow memory boundary";
    // Indexed by state; the model query comes last. The DC parameters have no text of
    // their own and log the AC parameters' one.
    static constexpr StepRow kSteps[] = {
        // step          cid1  cid2  info           hook: AC             DC               RC
        //               start min   empty  flag     screens resets refusal consumed       overflow
        //               needs        instead        next
        {kAcAnalogue,   0x40, 0x41, kGroup,        &AC::parse40_41, nullptr,         nullptr,
                        2,    2,    false, kAcFlag, true,   true,  false,  kMustMatch,         k40_41,
                        kAcChildren, kRcAnalogue,  kAcSwitches},
        {kAcSwitches,   0x40, 0x43, kGroup,        &AC::parse40_43, nullptr,         nullptr,
                        2,    0,    true,  kNoFlag, false,  false, false,  kMustMatch,         k40_43,
                        kAlways,     kAcSwitches,  kAcAlarms},
        {kAcAlarms,     0x40, 0x44, kGroup,        &AC::parse40_44, nullptr,         nullptr,
                        2,    2,    false, kNoFlag, false,  false, false,  kMustMatchSilently, nullptr,
                        kAlways,     kAcAlarms,    kRcAnalogue},
        {kAcParameters, 0x40, 0x46, kNoInfo,       nullptr,         nullptr,         &RC::parse40_46,
                        0,    0,    false, kNoFlag, false,  false, false,  kLoggedOnly,        k40_46,
                        kAcChildren, kDcParameters, kDcParameters},
        {kRcAnalogue,   0x41, 0x41, kNoInfo,       nullptr,         nullptr,         &RC::parse41_41,
                        0,    1,    false, kRcFlag, false,  false, true,   kMustMatch,         k41_41,
                        kAlways,     kRcAnalogue,  kRcSwitches},
        {kRcSwitches,   0x41, 0x43, kNoInfo,       nullptr,         nullptr,         &RC::parse41_43,
                        0,    0,    false, kNoFlag, false,  false, true,   kMustMatch,         k41_43,
                        kAlways,     kRcSwitches,  kRcAlarms},
        {kRcAlarms,     0x41, 0x44, kNoInfo,       nullptr,         nullptr,         &RC::parse41_44,
                        0,    0,    false, kNoFlag, false,  false, true,   kMustMatch,         k41_44,
                        kAlways,     kRcAlarms,    kDcAnalogue},
        {kDcAnalogue,   0x42, 0x41, kGroupWithV21, nullptr,         &DC::parse42_41, nullptr,
                        2,    2,    false, kDcFlag, true,   false, false,  kLoggedOnly,        k42_41,
                        kDcChildren, kEndOfCycle,  kDcAlarms},
        {kDcAlarms,     0x42, 0x44, kGroupWithV21, nullptr,         &DC::parse42_44, nullptr,
                        2,    2,    false, kNoFlag, true,   false, false,  kLoggedOnly,        k42_44,
                        kAlways,     kDcAlarms,    kAcParameters},
        {kDcParameters, 0x42, 0x46, kNoInfo,       nullptr,         nullptr,         &RC::parse42_46,
                        0,    0,    false, kNoFlag, false,  false, false,  kLoggedOnly,        k40_46,
                        kAlways,     kDcParameters, kEndOfCycle},
        {kModel,        0x40, 0x51, kNoInfo,       nullptr,         nullptr,         nullptr,
                        0,    0,    false, kNoFlag, false,  false, false,  kMustMatch,         nullptr,
                        kAlways,     kModel,       kAcAnalogue},
    };
    static_assert(std::size(kSteps) == 11, "ten cycle steps and the model query");
    if (state >= kAcAnalogue && state <= kDcParameters) return &kSteps[state];
    if (state == kModel) return &kSteps[10];
    return nullptr;
}

template <class AC, class DC, class RC>
bool PMBusPower<AC, DC, RC>::go(int step, const zrt::CycleVariant& v) {
    if (step == kEndOfCycle) return end_cycle();
    const StepRow* row = row_of(step);
    // A step whose children are missing is passed over. Without DC children the DC steps
    // are sent all the same when the variant goes through the DC distribution in any case.
    if (row->needs == kAcChildren && ac_children.empty()) return go(row->instead, v);
    if (row->needs == kDcChildren && dc_children.empty() && v.end_after_rectifiers) return go(row->instead, v);
    poll_state = row->step;
    send(*row);
    return true;
}

template <class AC, class DC, class RC>
typename PMBusPower<AC, DC, RC>::Step PMBusPower<AC, DC, RC>::next_step(const StepRow& row,
                                                                        const zrt::CycleVariant& v,
                                                                        uint8_t dc_dataflag) const {
    // Until the device holds data, every group is read in full. DATAFLAG bit 0x10 announces
    // changed switch states, bit 0x01 changed alarm states.
    const bool full = !data_ready;
    switch (row.step) {
    case kAcAnalogue:
        if (v.read_ac_switch_states && (full || (ac_dataflag & 0x10))) return kAcSwitches;
        return (full || (ac_dataflag & 0x01)) ? kAcAlarms : kRcAnalogue;
    case kAcSwitches:
        return (full || (ac_dataflag & 0x01)) ? kAcAlarms : kRcAnalogue;
    case kRcAnalogue:
        if (full || (rc_dataflag & 0x10)) return kRcSwitches;
        return (full || (rc_dataflag & 0x01)) ? kRcAlarms : kDcAnalogue;
    case kRcSwitches:
        return (full || (rc_dataflag & 0x01)) ? kRcAlarms : kDcAnalogue;
    case kDcAnalogue:
        return (full || (dc_dataflag & 0x11)) ? kDcAlarms : kAcParameters;
    default:
        return row.next;
    }
}

template <class AC, class DC, class RC>
bool PMBusPower<AC, DC, RC>::RefreshStatus() {
    if (!PMBusProtocol::RefreshStatus()) return false;
    if (zrt::seconds_since(last_update) < 2 && !model_check_pending) {
        stall_count = 0;
        return false;
    }
    if (model_check_pending) return go(kModel, zrt::kFullCycle);
    // Between cycles, or in a state without a command: start the next cycle. The first step
    // does not depend on the variant.
    const StepRow* row = row_of(poll_state);
    if (poll_state == kAcAnalogue || row == nullptr || row->step == kModel) return go(kAcAnalogue, zrt::kFullCycle);
    send(*row);  // the awaited command once more
    return true;
}

template <class AC, class DC, class RC>
bool PMBusPower<AC, DC, RC>::end_cycle() {
    for (const auto& c : ac_children) c->RoundDone();
    for (const auto& c : dc_children) c->RoundDone();
    if (rc_child) rc_child->RoundDone();
    poll_state = kAcAnalogue;
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
    return go(kAcAnalogue, zrt::kFullCycle);
}

// Every "reject" below returns true without sending and without touching poll_state, so
// that the next RefreshStatus sends the awaited command again. A reply too short for the
// DATAFLAG byte or the screen count it must carry is rejected before either is read.
template <class AC, class DC, class RC>
bool PMBusPower<AC, DC, RC>::run_cycle(const zrt::CycleVariant& v) {
    if (v.pause_before_reply) usleep(20000);
    if (reply == nullptr) return true;
    const StepRow* row = row_of(poll_state);
    if (row == nullptr) return true;  // no command awaited in this state

    const uint8_t cid1 = reply[2];
    const int len = (reply[4] | reply[5] << 8) / 2;
    const unsigned char* info = reply + 6;

    if (cid1 != row->cid1) {
        if (!row->resets) return true;
        Reset();
        return false;
    }
    if (row->step == kModel) return model_check(info, len);
    if (len < row->min_len) {
        if (row->consumed != kMustMatchSilently) InfoLog(row->overflow, DataId());
        return true;
    }

    uint8_t dc_dataflag = 0;  // the DC DATAFLAG decides only the step after its own reply
    if (row->flag == kAcFlag) ac_dataflag = info[0];
    if (row->flag == kRcFlag) rc_dataflag = info[0];
    if (row->flag == kDcFlag) dc_dataflag = info[0];

    int start = row->start;
    if (row->checks_screens) {
        const uint8_t m = info[1];
        const int configured = static_cast<int>(row->ac ? ac_children.size() : dc_children.size());
        if (m != configured) {
            InfoLog(row->ac ? "PMBusPower:ProcotolError {} read ac_number is {}, configured ac_number is {}"
                            : "PMBusPower:ProcotolError {} read dc_number is {}, configured dc_number is {}",
                    DataId(), m, configured);
            if (!row->resets) return true;
            Reset();
            return false;
        }
        // With four or more DC screens the template's DC analogue walk starts at M itself.
        if (row->step == kDcAnalogue && v.dc_walk_from_m_when_many && m >= 4) start = 1;
    }

    if (!(row->empty_ok && len - start <= 0)) {
        const int used = hand(*row, info, len, start);
        if (used < 0 && !row->refusal_logged) return true;
        switch (row->consumed) {
        case kMustMatch:
            if (used != len) {
                InfoLog(row->overflow, DataId());
                return true;
            }
            break;
        case kMustMatchSilently:
            if (used != len) return true;
            break;
        case kLoggedOnly:
            if (mismatch(v, used, len)) InfoLog(row->overflow, DataId());
            break;
        }
    }
    return go(next_step(*row, v, dc_dataflag), v);
}

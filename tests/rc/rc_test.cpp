// The rectifier child: reply parsing, the cycle-end image and rules, the cache load and
// the value query, observed through the development host.
#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include "devhost/devhost.h"
#include "host/get_ttime.h"
#include "common/cycle_end.h"
#include "rc/zrt4600_rc.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Hook = int (zrt4600aRC::*)(const unsigned char*, int);

constexpr uint32_t kId = 7;
const std::string kNotReady = "数据未就绪";

// Four distinct bytes starting at `seed`, so never the no-value pattern.
Bytes val(uint8_t seed) { return {seed, uint8_t(seed + 1), uint8_t(seed + 2), uint8_t(seed + 3)}; }
Bytes same4(uint8_t b) { return {b, b, b, b}; }
Bytes field(const uint8_t* p, size_t n) { return Bytes(p, p + n); }

struct Reply {
    Bytes b;
    Reply& u8(uint8_t v) {
        b.push_back(v);
        return *this;
    }
    Reply& add(const Bytes& v) {
        b.insert(b.end(), v.begin(), v.end());
        return *this;
    }
};

// Module i's value seeds: module value at base, user value j at base + 4 * (j + 1).
uint8_t base_of(int i, uint8_t seed) { return uint8_t(seed + 0x20 * i); }

// A rectifier analogue reply with `m` modules, each with four user values except module
// `bad_module` (counted from 0), which carries `bad_p`.
Bytes analogue(int m, uint8_t seed = 0x10, int bad_module = -1, int bad_p = 0) {
    Reply r;
    r.u8(0x11).add(val(0xA0)).u8(uint8_t(m));
    for (int i = 0; i < m; ++i) {
        const int p = i == bad_module ? bad_p : 4;
        r.add(val(base_of(i, seed))).u8(uint8_t(p));
        for (int j = 0; j < p; ++j) r.add(val(uint8_t(base_of(i, seed) + 4 * (j + 1))));
    }
    return r.b;
}

// A switch-state reply: per module three state bytes (s, s+1, s+2), count p, p user bytes.
Bytes switches(int m, uint8_t seed, int bad_module = -1, int bad_p = 0) {
    Reply r;
    r.u8(0x00).u8(uint8_t(m));
    for (int i = 0; i < m; ++i) {
        const uint8_t s = uint8_t(seed + 8 * i);
        const int p = i == bad_module ? bad_p : 1;
        r.u8(s).u8(uint8_t(s + 1)).u8(uint8_t(s + 2)).u8(uint8_t(p));
        for (int j = 0; j < p; ++j) r.u8(uint8_t(s + 3 + j));
    }
    return r.b;
}

// An alarm-state reply: per module the fault byte, count p and p alarm bytes.
Bytes alarms(const std::vector<uint8_t>& faults, uint8_t seed, int bad_module = -1, int bad_p = 0) {
    Reply r;
    r.u8(0x00).u8(uint8_t(faults.size()));
    for (size_t i = 0; i < faults.size(); ++i) {
        const int p = int(i) == bad_module ? bad_p : 4;
        r.u8(faults[i]).u8(uint8_t(p));
        for (int j = 0; j < p; ++j) r.u8(uint8_t(seed + 8 * i + j));
    }
    return r.b;
}

Bytes ac_params(uint8_t p, uint8_t seed) {
    Reply r;
    for (int i = 0; i < 5; ++i) r.add(val(uint8_t(seed + 4 * i)));
    r.u8(p);
    for (int i = 0; i < p; ++i) r.add(val(0x90));
    return r.b;
}

Bytes dc_params(uint8_t p, uint8_t seed) {
    Reply r;
    r.add(val(seed)).add(val(uint8_t(seed + 4))).u8(p);
    for (int i = 0; i < p; ++i) r.add(val(uint8_t(seed + 8 + 4 * i)));
    return r.b;
}

struct Decoded {
    tele_c_zrt4600_rc group{};
    std::vector<tele_c_zrt4600_rc_channel> modules;
};

Decoded decode(const Bytes& image) {
    Decoded d;
    EXPECT_GE(image.size(), sizeof d.group);
    if (image.size() < sizeof d.group) return d;
    std::memcpy(&d.group, image.data(), sizeof d.group);
    EXPECT_EQ(image.size(), 65u + 32u * d.group.module_count);
    d.modules.resize((image.size() - 65) / 32);
    if (!d.modules.empty()) std::memcpy(d.modules.data(), image.data() + 65, d.modules.size() * 32);
    return d;
}

class Rectifier : public ::testing::Test {
protected:
    std::shared_ptr<devhost::Controller> ctrl =
        std::make_shared<devhost::Controller>(devhost::Controller::JobMode::Inline);
    std::shared_ptr<zrt4600aRC> dev = make(kId);

    std::shared_ptr<zrt4600aRC> make(uint32_t id) {
        auto d = std::make_shared<zrt4600aRC>();
        d->controller = ctrl;
        d->InitV(nullptr, id, Json::Value(Json::objectValue));
        return d;
    }

    // Hands the hook exactly `len` bytes of the reply (all of it by default) in a buffer
    // of that size, so a sanitizer build catches any read past the end.
    int feed(Hook hook, const Bytes& reply, int len = -1, zrt4600aRC* d = nullptr) {
        if (len < 0) len = int(reply.size());
        Bytes exact(reply.begin(), reply.begin() + std::min<size_t>(size_t(len), reply.size()));
        return ((d ? *d : *dev).*hook)(exact.data(), len);
    }

    // Ends a cycle and decodes the image it published.
    Decoded cycle(zrt4600aRC* d = nullptr) {
        (d ? *d : *dev).RoundDone();
        return decode(ctrl->published.back().image);
    }

    std::vector<std::string> logs() {
        std::vector<std::string> out;
        for (const auto& l : ctrl->logs) out.push_back(l.text);
        ctrl->logs.clear();
        return out;
    }

    std::string query_error(zrt4600aRC* d = nullptr) {
        try {
            (d ? *d : *dev).Get_Value(0, "v");
        } catch (const std::out_of_range& e) {
            return e.what();
        }
        return "no exception";
    }
};

TEST_F(Rectifier, AnalogueReplyFillsGroupAndModuleRecords) {
    EXPECT_EQ(feed(&zrt4600aRC::parse41_41, analogue(3)), 69);
    EXPECT_TRUE(logs().empty());

    Decoded d = cycle();
    EXPECT_EQ(field(d.group.group_value, 4), val(0xA0));
    EXPECT_EQ(d.group.module_count, 3);
    ASSERT_EQ(d.modules.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        const auto& m = d.modules[size_t(i)];
        EXPECT_EQ(field(m.module_value, 4), val(base_of(i, 0x10)));
        EXPECT_EQ(m.analog_count, 4);
        for (int j = 0; j < 4; ++j)
            EXPECT_EQ(field(m.analog_user + 4 * j, 4), val(uint8_t(base_of(i, 0x10) + 4 * (j + 1))));
    }
}

TEST_F(Rectifier, AnalogueReplyShortOfItsLastValueOverflowsInTheChannel) {
    EXPECT_EQ(feed(&zrt4600aRC::parse41_41, analogue(3), 68), -1);
    EXPECT_EQ(logs(), std::vector<std::string>{"PMBusPowerAC:ProcotolError 7 read 41_41 in channel overflow 69 - 68"});

    // The reply ends inside module 1's user values: the walk stops there.
    EXPECT_EQ(feed(&zrt4600aRC::parse41_41, analogue(3), 20), -1);
    EXPECT_EQ(logs(), std::vector<std::string>{"PMBusPowerAC:ProcotolError 7 read 41_41 in channel overflow 27 - 20"});

    // A last block whose count is not 4 skips its bytes without a check of its own, so the
    // end-of-reply check reports it.
    Bytes r = analogue(3, 0x10, 2, 2);
    EXPECT_EQ(feed(&zrt4600aRC::parse41_41, r, int(r.size()) - 1), -1);
    auto l = logs();
    ASSERT_EQ(l.size(), 2u);
    EXPECT_EQ(l[1], "PMBusPowerAC:ProcotolError 7 read 41_41 read overflow 61 - 60");
}

TEST_F(Rectifier, FourEqualBytesZeroOnlyUserDefinedAnalogueValues) {
    Reply r;
    r.u8(0).add(same4(0x20)).u8(1);
    r.add(same4(0x20)).u8(4).add(same4(0x20)).add(same4(0xFF)).add(Bytes{0x20, 0x20, 0x20, 0x21}).add(val(0x40));
    ASSERT_EQ(feed(&zrt4600aRC::parse41_41, r.b), 27);

    Decoded d = cycle();
    EXPECT_EQ(field(d.group.group_value, 4), same4(0x20));
    EXPECT_EQ(field(d.modules[0].module_value, 4), same4(0x20));
    EXPECT_EQ(field(d.modules[0].analog_user, 4), same4(0));
    EXPECT_EQ(field(d.modules[0].analog_user + 4, 4), same4(0));
    EXPECT_EQ(field(d.modules[0].analog_user + 8, 4), (Bytes{0x20, 0x20, 0x20, 0x21}));
    EXPECT_EQ(field(d.modules[0].analog_user + 12, 4), val(0x40));
}

TEST_F(Rectifier, AnalogueBlockWithUnexpectedCountIsSkippedAndLogged) {
    ASSERT_EQ(feed(&zrt4600aRC::parse41_41, analogue(3, 0x10)), 69);
    // Module 2 now reports two user values: 8 bytes skipped, module 3 still read in place.
    EXPECT_EQ(feed(&zrt4600aRC::parse41_41, analogue(3, 0x50, 1, 2)), 6 + 21 + 13 + 21);
    EXPECT_EQ(logs(), std::vector<std::string>{"PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError 7 read 41_41 p is 2 not 4"});

    Decoded d = cycle();
    EXPECT_EQ(field(d.modules[1].module_value, 4), val(base_of(1, 0x50)));
    EXPECT_EQ(d.modules[1].analog_count, 2);
    EXPECT_EQ(field(d.modules[1].analog_user, 4), val(uint8_t(base_of(1, 0x10) + 4)));  // as before
    EXPECT_EQ(field(d.modules[2].module_value, 4), val(base_of(2, 0x50)));
    EXPECT_EQ(field(d.modules[2].analog_user + 12, 4), val(uint8_t(base_of(2, 0x50) + 16)));
}

TEST_F(Rectifier, FirstAnalogueReplyWithModulesFixesTheModuleCount) {
    ASSERT_EQ(feed(&zrt4600aRC::parse41_41, analogue(4)), 6 + 4 * 21);
    Bytes five = analogue(5);
    five[1] = 0x77;  // a new group value
    EXPECT_EQ(feed(&zrt4600aRC::parse41_41, five), -1);
    EXPECT_TRUE(logs().empty());
    Decoded d = cycle();
    EXPECT_EQ(d.group.module_count, 4);
    EXPECT_EQ(d.modules.size(), 4u);
    EXPECT_EQ(d.group.group_value[0], 0x77);  // stored although the reply was refused

    // A reply without modules leaves the count open for the next one.
    auto other = make(8);
    EXPECT_EQ(feed(&zrt4600aRC::parse41_41, analogue(0), -1, other.get()), 6);
    EXPECT_EQ(feed(&zrt4600aRC::parse41_41, analogue(2), -1, other.get()), 48);
    EXPECT_EQ(feed(&zrt4600aRC::parse41_41, analogue(3), -1, other.get()), -1);
    EXPECT_EQ(cycle(other.get()).modules.size(), 2u);
}

TEST_F(Rectifier, SwitchStateReplyUpdatesTheModulesItReports) {
    ASSERT_EQ(feed(&zrt4600aRC::parse41_41, analogue(4)), 90);
    EXPECT_EQ(feed(&zrt4600aRC::parse41_43, switches(2, 0x30)), 2 + 2 * 5);
    Decoded d = cycle();
    EXPECT_EQ(field(d.modules[1].state, 3), (Bytes{0x38, 0x39, 0x3A}));
    EXPECT_EQ(d.modules[1].state_count, 1);
    EXPECT_EQ(d.modules[1].state_user[0], 0x3B);
    EXPECT_EQ(field(d.modules[2].state, 3), (Bytes{0, 0, 0}));

    // More modules than known: refused silently, nothing changed.
    EXPECT_EQ(feed(&zrt4600aRC::parse41_43, switches(5, 0x60)), -1);
    EXPECT_TRUE(logs().empty());
    EXPECT_EQ(cycle().modules[0].state[0], 0x30);

    // Module 1 with two user bytes: logged, skipped, its user byte kept.
    EXPECT_EQ(feed(&zrt4600aRC::parse41_43, switches(2, 0x60, 0, 2)), 2 + 6 + 5);
    EXPECT_EQ(logs(), std::vector<std::string>{"PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError 7 read 41_43 p is 2, not 1"});
    d = cycle();
    EXPECT_EQ(d.modules[0].state[0], 0x60);
    EXPECT_EQ(d.modules[0].state_count, 2);
    EXPECT_EQ(d.modules[0].state_user[0], 0x33);
    EXPECT_EQ(d.modules[1].state_user[0], 0x6B);

    EXPECT_EQ(feed(&zrt4600aRC::parse41_43, switches(2, 0x30), 11), -1);
    EXPECT_EQ(logs(), std::vector<std::string>{"PMBusPowerAC:ProcotolError 7 read 41_43 read overflow 12 - 11"});
}

TEST_F(Rectifier, AlarmStateReplyUpdatesFaultsAndAlarmBytes) {
    ASSERT_EQ(feed(&zrt4600aRC::parse41_41, analogue(4)), 90);
    EXPECT_EQ(feed(&zrt4600aRC::parse41_44, alarms({0, 1, 0, 1}, 0x40)), 2 + 4 * 6);
    Decoded d = cycle();
    EXPECT_EQ(d.modules[1].fault, 1);
    EXPECT_EQ(d.modules[3].alarm_count, 4);
    EXPECT_EQ(field(d.modules[3].alarm_user, 4), (Bytes{0x58, 0x59, 0x5A, 0x5B}));

    // More modules than known: 0 with the count mismatch logged, nothing changed.
    EXPECT_EQ(feed(&zrt4600aRC::parse41_44, alarms({2, 2, 2, 2, 2}, 0x70)), 0);
    EXPECT_EQ(logs(), std::vector<std::string>{
                          "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError 7 parse p41_44 channel_count not equal 5 != 4 "});
    EXPECT_EQ(cycle().modules[0].fault, 0);

    EXPECT_EQ(feed(&zrt4600aRC::parse41_44, alarms({1, 0}, 0x70, 1, 1)), 2 + 6 + 3);
    EXPECT_EQ(logs(), std::vector<std::string>{"PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError 7 read 41_44 p is 1, not 4"});
    d = cycle();
    EXPECT_EQ(d.modules[0].fault, 1);
    EXPECT_EQ(d.modules[1].fault, 0);
    EXPECT_EQ(d.modules[1].alarm_count, 1);
    EXPECT_EQ(field(d.modules[1].alarm_user, 4), (Bytes{0x48, 0x49, 0x4A, 0x4B}));

    EXPECT_EQ(feed(&zrt4600aRC::parse41_44, alarms({0, 0}, 0x70), 13), -1);
    EXPECT_EQ(logs(), std::vector<std::string>{"PMBusPowerAC:ProcotolError 7 read 41_44 read overflow 14 - 13"});
}

// However short a reply is cut, a hook reads nothing past len: it refuses it with one
// overflow line that names len, and logs no count that it would have read from beyond it.
TEST_F(Rectifier, ACutReplyIsRefusedWithOneOverflowLineAndNoCountFromBeyondIt) {
    struct Case {
        Hook hook;
        Bytes reply;
        const char* command;
        size_t cut_below;  // every length below this is refused
    };
    const Bytes dc = dc_params(5, 0x10);
    const std::vector<Case> cases = {
        {&zrt4600aRC::parse41_41, analogue(3, 0x10, 1, 2), "41_41", 61},
        {&zrt4600aRC::parse41_43, switches(3, 0x30, 1, 2), "41_43", 18},
        {&zrt4600aRC::parse41_44, alarms({1, 0, 1}, 0x40, 1, 2), "41_44", 18},
        {&zrt4600aRC::parse40_46, ac_params(0, 0x10), "40_46", 21},
        // From 9 bytes on the user values the reply holds are copied (below).
        {&zrt4600aRC::parse42_46, dc, "42_46", 9},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(c.cut_below, c.hook == &zrt4600aRC::parse42_46 ? 9u : c.reply.size()) << c.command;
        for (size_t len = 0; len < c.cut_below; ++len) {
            SCOPED_TRACE(std::string(c.command) + " cut to " + std::to_string(len));
            auto d = make(kId);
            if (c.hook != &zrt4600aRC::parse41_41) {
                ASSERT_EQ(feed(&zrt4600aRC::parse41_41, analogue(3), -1, d.get()), 69);
            }
            logs();
            EXPECT_EQ(feed(c.hook, c.reply, int(len), d.get()), -1);
            const auto l = logs();
            ASSERT_FALSE(l.empty());
            const std::string tail = " - " + std::to_string(len);
            EXPECT_NE(l.back().find(std::string("read ") + c.command), std::string::npos) << l.back();
            EXPECT_NE(l.back().find("overflow "), std::string::npos) << l.back();
            EXPECT_EQ(l.back().substr(l.back().size() - tail.size()), tail) << l.back();
            // Only the second module's real count (2) may be reported before the overflow.
            for (size_t k = 0; k + 1 < l.size(); ++k) EXPECT_NE(l[k].find(" p is 2"), std::string::npos) << l[k];
        }
    }
}

TEST_F(Rectifier, AcParameterReplyKeepsFiveValues) {
    // With user values announced the size is reported as the reply says, whatever len is.
    EXPECT_EQ(feed(&zrt4600aRC::parse40_46, ac_params(3, 0x10), 21), 33);
    EXPECT_EQ(field(cycle().group.ac_param, 20), field(ac_params(0, 0x10).data(), 20));

    EXPECT_EQ(feed(&zrt4600aRC::parse40_46, ac_params(0, 0x30)), 21);
    EXPECT_EQ(cycle().group.ac_param[19], 0x30 + 19);
    EXPECT_TRUE(logs().empty());

    EXPECT_EQ(feed(&zrt4600aRC::parse40_46, ac_params(0, 0x30), 20), -1);
    EXPECT_EQ(logs(), std::vector<std::string>{"PMBusPowerAC:ProcotolError 7 read 40_46 read overflow 21 - 20"});
    // The five values lie within the 20 bytes and are kept; only the count is missing.
    EXPECT_EQ(feed(&zrt4600aRC::parse40_46, ac_params(0, 0x50), 20), -1);
    EXPECT_EQ(cycle().group.ac_param[19], 0x50 + 19);
}

TEST_F(Rectifier, DcParameterReplyKeepsTwoValuesAndFiveUserValues) {
    Bytes full = dc_params(5, 0x10);
    EXPECT_EQ(feed(&zrt4600aRC::parse42_46, full), 29);
    Decoded d = cycle();
    EXPECT_EQ(field(d.group.dc_param, 8), field(full.data(), 8));
    EXPECT_EQ(d.group.dc_user_count, 5);
    EXPECT_EQ(field(d.group.dc_user_param, 20), field(full.data() + 9, 20));

    Bytes longer = dc_params(5, 0x40);
    longer.resize(40, 0xEE);
    EXPECT_EQ(feed(&zrt4600aRC::parse42_46, longer), 29);
    EXPECT_TRUE(logs().empty());

    // Another count: logged, user values kept from before.
    EXPECT_EQ(feed(&zrt4600aRC::parse42_46, dc_params(4, 0x70)), 25);
    EXPECT_EQ(logs(), std::vector<std::string>{"QPA07D:ProcotolError parse42_46 7 p:4 != 5"});
    d = cycle();
    EXPECT_EQ(d.group.dc_user_count, 4);
    EXPECT_EQ(d.group.dc_param[0], 0x70);
    EXPECT_EQ(field(d.group.dc_user_param, 20), field(longer.data() + 9, 20));

    // A reply cut inside the user values copies what it holds.
    EXPECT_EQ(feed(&zrt4600aRC::parse42_46, dc_params(5, 0x10), 17), 17);
    d = cycle();
    EXPECT_EQ(field(d.group.dc_user_param, 8), field(full.data() + 9, 8));
    EXPECT_EQ(field(d.group.dc_user_param + 8, 12), field(longer.data() + 17, 12));

    // Too short for the two values and the count: refused, nothing copied.
    EXPECT_EQ(feed(&zrt4600aRC::parse42_46, dc_params(5, 0xA0), 8), -1);
    EXPECT_EQ(logs(), std::vector<std::string>{"PMBusPowerAC:ProcotolError 7 read 42_46 read overflow 9 - 8"});
    EXPECT_EQ(field(cycle().group.dc_param, 8), field(full.data(), 8));
}

// A model whose hook adds one rule, to show the hook runs after the module rules.
class RcWithExtraRule : public zrt4600aRC {
public:
    void DoImpCheckAlert() override { CheckThresholdBool(3, "RC_X", "99999", "extra", "extra", false, rule_seq++); }
};

TEST_F(Rectifier, EachCycleRegistersOneFaultRulePerModule) {
    ASSERT_EQ(feed(&zrt4600aRC::parse41_41, analogue(3)), 69);
    ASSERT_EQ(feed(&zrt4600aRC::parse41_44, alarms({0, 1, 2}, 0x40)), 20);
    for (int round = 0; round < 2; ++round) {
        ctrl->rules.clear();
        dev->RoundDone();
        ASSERT_EQ(ctrl->rules.size(), 3u);
        for (int i = 0; i < 3; ++i) {
            const rule_value& r = ctrl->rules[size_t(i)];
            EXPECT_EQ(r.key, "RC_0");
            EXPECT_EQ(r.level, 2u);
            EXPECT_EQ(r.signal_id, "06024");
            EXPECT_EQ(r.name, "整流模块故障告警");
            EXPECT_EQ(r.instance, "模块" + std::to_string(i + 1) + "整流模块故障告警");
            EXPECT_EQ(r.sequence, uint32_t(i + 1));
            EXPECT_EQ(r.active, i == 1 ? 1 : 0);
        }
        EXPECT_TRUE(dev->pending_rules.empty());
    }
    EXPECT_TRUE(dev->alarm_flag);

    auto extra = std::make_shared<RcWithExtraRule>();
    extra->controller = ctrl;
    extra->InitV(nullptr, 9, Json::Value());
    ASSERT_EQ(feed(&zrt4600aRC::parse41_41, analogue(2), -1, extra.get()), 48);
    ctrl->rules.clear();
    extra->RoundDone();
    ASSERT_EQ(ctrl->rules.size(), 3u);
    EXPECT_EQ(ctrl->rules[2].key, "RC_X");
    EXPECT_EQ(ctrl->rules[2].sequence, 3u);
}

// The rectifier template's own model hook does nothing, so the template is a complete
// device by itself (the AC and DC templates leave theirs to the model classes).
using RcTemplate = PMBusPowerRC<tele_c_zrt4600_rc, tele_c_zrt4600_rc_channel, kRcRecordType>;
static_assert(!std::is_abstract_v<RcTemplate>, "the rectifier template is a complete device");

TEST_F(Rectifier, TheTemplateIsADeviceWhoseModelHookAddsNothing) {
    auto t = std::make_shared<RcTemplate>();
    t->controller = ctrl;
    t->InitV(nullptr, 9, Json::Value(Json::objectValue));
    const Bytes a = analogue(2), al = alarms({1, 0}, 0x40);
    ASSERT_EQ(t->parse41_41(a.data(), int(a.size())), 48);
    ASSERT_EQ(t->parse41_44(al.data(), int(al.size())), 14);
    t->RoundDone();

    // The module fault rules and nothing else.
    ASSERT_EQ(ctrl->rules.size(), 2u);
    EXPECT_EQ(ctrl->rules[0].key, "RC_0");
    EXPECT_EQ(ctrl->rules[0].active, 1);
    EXPECT_EQ(ctrl->rules[1].active, 0);
    ASSERT_EQ(ctrl->published.size(), 1u);
    EXPECT_EQ(ctrl->published[0].record_type, 5107);
    EXPECT_EQ(ctrl->published[0].image.size(), 65u + 2u * 32u);
    EXPECT_EQ(ctrl->saved.size(), 1u);

    // Through its virtual slot the template's hook registers nothing and moves no sequence.
    const uint16_t seq = t->rule_seq;
    static_cast<RcTemplate&>(*t).DoImpCheckAlert();
    EXPECT_TRUE(t->pending_rules.empty());
    EXPECT_EQ(t->rule_seq, seq);
}

TEST_F(Rectifier, CyclePublishesAndSavesTheImageUnderTheRecordType) {
    auto d = make(0x01020304);
    EXPECT_EQ(d->DeviceType(), "zrt4600a-rc");
    EXPECT_EQ(ZRT4600RC().DeviceType(), "zrt4600-rc");

    // No modules: a bare group record, no rules.
    d->RoundDone();
    ASSERT_EQ(ctrl->published.size(), 1u);
    EXPECT_EQ(ctrl->published[0].record_type, 5107);
    EXPECT_EQ(ctrl->published[0].image.size(), 65u);
    EXPECT_EQ(field(ctrl->published[0].image.data(), 4), (Bytes{0x04, 0x03, 0x02, 0x01}));
    EXPECT_TRUE(ctrl->rules.empty());
    EXPECT_TRUE(d->data_ready);

    ASSERT_EQ(feed(&zrt4600aRC::parse41_41, analogue(3), -1, d.get()), 69);
    d->RoundDone();
    const Bytes& img = ctrl->published.back().image;
    ASSERT_EQ(img.size(), 161u);
    ASSERT_EQ(ctrl->saved.size(), 2u);
    EXPECT_EQ(ctrl->saved.back().image, img);
    EXPECT_EQ(field(img.data(), 4), (Bytes{0x04, 0x03, 0x02, 0x01}));
    EXPECT_EQ(field(img.data() + 65, 4), val(base_of(0, 0x10)));
    EXPECT_EQ(img[65 + 4], 4);
    EXPECT_EQ(field(img.data() + 97, 4), val(base_of(1, 0x10)));

    ttime t;
    std::memcpy(&t, img.data() + 58, sizeof t);
    const ttime now = get_ttime(zrt::local_now());
    EXPECT_EQ(t.year, now.year);
    EXPECT_EQ(t.month, now.month);
}

TEST_F(Rectifier, ImageFollowsTheModuleCount) {
    EXPECT_EQ(cycle().modules.size(), 0u);
    ASSERT_EQ(feed(&zrt4600aRC::parse41_41, analogue(2)), 48);
    EXPECT_EQ(cycle().modules.size(), 2u);
    EXPECT_EQ(ctrl->saved.back().image.size(), 129u);

    Bytes one(65 + 32, 0);
    one[57] = 1;
    one[65] = 0x5A;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(dev->LoadFromCache(one.data(), int(one.size())));
    testing::internal::GetCapturedStdout();
    Decoded d = cycle();
    ASSERT_EQ(d.modules.size(), 1u);
    EXPECT_EQ(d.modules[0].module_value[0], 0x5A);
    EXPECT_EQ(ctrl->saved.back().image.size(), 97u);
}

TEST_F(Rectifier, CacheLoadRestoresTheSavedImage) {
    ASSERT_EQ(feed(&zrt4600aRC::parse41_41, analogue(3)), 69);
    ASSERT_EQ(feed(&zrt4600aRC::parse41_44, alarms({0, 1, 0}, 0x40)), 20);
    ASSERT_EQ(feed(&zrt4600aRC::parse42_46, dc_params(5, 0x10)), 29);
    dev->RoundDone();
    const Bytes saved = ctrl->saved.back().image;

    auto fresh = make(kId);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(fresh->LoadFromCache(std::string(saved.begin(), saved.end())));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "rc data_len:161 vs 65\nrc channelLen 32 and 3 left:96\n");
    EXPECT_TRUE(fresh->data_ready);
    EXPECT_EQ(query_error(fresh.get()), kNotReady);

    fresh->RoundDone();
    Bytes again = ctrl->published.back().image;
    ASSERT_EQ(again.size(), saved.size());
    std::memcpy(again.data() + 58, saved.data() + 58, 7);  // the new cycle's time stamp
    EXPECT_EQ(again, saved);
    // The restored count holds: a reply with another count is refused.
    EXPECT_EQ(feed(&zrt4600aRC::parse41_41, analogue(2), -1, fresh.get()), -1);

    // An image without modules leaves the count open for the next analogue reply.
    auto empty = make(kId);
    Bytes bare(65, 0);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(empty->LoadFromCache(bare.data(), 65));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "rc data_len:65 vs 65\nrc channelLen 32 and 0 left:0\n");
    EXPECT_EQ(feed(&zrt4600aRC::parse41_41, analogue(2), -1, empty.get()), 48);
}

TEST_F(Rectifier, RejectedCacheImageChangesNothing) {
    ASSERT_EQ(feed(&zrt4600aRC::parse41_41, analogue(3)), 69);
    dev->RoundDone();
    Bytes image = ctrl->saved.back().image;

    auto d = make(kId);
    Bytes longer = image;
    longer.push_back(0);
    longer[1] = 0x99;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(d->LoadFromCache(longer.data(), int(longer.size())));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "rc data_len:162 vs 65\nrc channelLen 32 and 3 left:97\n");
    EXPECT_FALSE(d->data_ready);
    // The module count is still open and the group record untouched.
    EXPECT_EQ(feed(&zrt4600aRC::parse41_41, analogue(1), -1, d.get()), 27);
    EXPECT_EQ(cycle(d.get()).group.device_id[1], 0);

    // A loaded device keeps what it holds when a later image is refused.
    testing::internal::CaptureStdout();
    ASSERT_TRUE(d->LoadFromCache(image.data(), int(image.size())));
    EXPECT_FALSE(d->LoadFromCache(longer.data(), int(longer.size())));
    EXPECT_FALSE(d->LoadFromCache(image.data(), 64));
    Bytes wrong = image;
    wrong[57] = 5;
    EXPECT_FALSE(d->LoadFromCache(wrong.data(), int(wrong.size())));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("rc data_len:64 vs 65\nrc data_len:161"), std::string::npos) << out;
    Decoded kept = cycle(d.get());
    EXPECT_EQ(kept.group.module_count, 3);
    EXPECT_EQ(kept.group.device_id[1], 0);
    EXPECT_EQ(field(kept.modules[2].module_value, 4), val(base_of(2, 0x10)));
}

TEST_F(Rectifier, ValueQueryAlwaysRefusesWithTheFreshnessText) {
    EXPECT_EQ(query_error(), kNotReady);
    dev->RoundDone();
    EXPECT_EQ(query_error(), kNotReady);
    dev->last_update = zrt::local_now() - boost::posix_time::seconds(60);
    EXPECT_EQ(query_error(), kNotReady);
    dev->last_update = zrt::local_now() - boost::posix_time::seconds(61);
    EXPECT_EQ(query_error(), "数据已超时");
    dev->RoundDone();
    EXPECT_EQ(query_error(), kNotReady);
}

// Cache loads of differently sized images race with cycles and queries: every published
// image must still be one whole, consistent record set.
TEST_F(Rectifier, ConcurrentCacheLoadsAndCyclesPublishWholeImages) {
    Bytes one(65 + 32, 0x11), three(65 + 96, 0x33);
    one[57] = 1;
    three[57] = 3;
    testing::internal::CaptureStdout();
    std::thread loader([&] {
        for (int i = 0; i < 400; ++i) {
            const Bytes& img = i % 2 ? one : three;
            dev->LoadFromCache(img.data(), int(img.size()));
        }
    });
    std::thread reader([&] {
        for (int i = 0; i < 400; ++i) query_error();
    });
    for (int i = 0; i < 400; ++i) dev->RoundDone();
    loader.join();
    reader.join();
    testing::internal::GetCapturedStdout();

    ASSERT_EQ(ctrl->published.size(), 400u);
    for (const auto& e : ctrl->published) {
        ASSERT_GE(e.image.size(), 65u);
        ASSERT_EQ(e.image.size(), 65u + 32u * e.image[57]);
        if (e.image[57] == 0) continue;  // a cycle before the first load
        const uint8_t fill = e.image[57] == 1 ? 0x11 : 0x33;
        EXPECT_EQ(e.image[0], fill);
        EXPECT_EQ(e.image.back(), fill);
    }
}

}  // namespace

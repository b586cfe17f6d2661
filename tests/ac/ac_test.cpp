// The AC distribution child: reply parts, the cycle's image and rules, the cache load and
// the value query, observed through the development host.
#include <atomic>
#include <cstring>
#include <memory>
#include <random>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>
#include <json/reader.h>

#include "ac/zrt4600_ac.h"
#include "host/get_ttime.h"
#include "devhost/devhost.h"
#include "common/cycle_end.h"

namespace {

using Bytes = std::vector<uint8_t>;
using devhost::Controller;

// The AC template leaves its model hook to the model classes.
static_assert(std::is_abstract_v<PMBusPowerAC<tele_c_zrt4600_ac, tele_c_zrt4600_ac_channel, kAcRecordType>>);
static_assert(!std::is_abstract_v<ZRT4600AC>);

struct Part {
    Bytes b;
    Part& u8(uint8_t v) { return b.push_back(v), *this; }
    Part& f32(float v) {
        uint8_t raw[4];
        std::memcpy(raw, &v, 4);
        return raw4(raw[0], raw[1], raw[2], raw[3]);
    }
    Part& raw4(uint8_t a, uint8_t b1, uint8_t c, uint8_t d) { return u8(a).u8(b1).u8(c).u8(d); }
};

struct Channel {
    float a, b, c, f;
};

// One screen's 40_41 part: the channels (each with P = 0 unless `p` says otherwise), then the currents.
Bytes analogue(const std::vector<Channel>& chs, float ia, float ib, float ic, int p = 0) {
    Part part;
    part.u8(uint8_t(chs.size()));
    for (const Channel& ch : chs) {
        part.f32(ch.a).f32(ch.b).f32(ch.c).f32(ch.f).u8(uint8_t(p));
        for (int j = 0; j < p; ++j) part.f32(1.0f);
    }
    return part.f32(ia).f32(ib).f32(ic).b;
}

// One screen's 40_44 part: per channel a b c f alarm states, m = 0 and eight user bytes.
Bytes alarms(const std::vector<Bytes>& states, Bytes currents) {
    Part part;
    part.u8(uint8_t(states.size()));
    for (const Bytes& s : states) {
        for (uint8_t v : s) part.u8(v);
        part.u8(0).u8(8);
        for (uint8_t j = 0; j < 8; ++j) part.u8(uint8_t(0xA0 + j));
    }
    for (uint8_t v : currents) part.u8(v);
    return part.b;
}

struct AcDevice {
    std::shared_ptr<Controller> ctrl = std::make_shared<Controller>(Controller::JobMode::Inline);
    std::shared_ptr<zrt4600aAC> dev = std::make_shared<zrt4600aAC>();
    explicit AcDevice(const Json::Value& cfg = Json::Value()) {
        dev->controller = ctrl;
        dev->InitV(nullptr, 7, cfg);
    }
    int p41(const Bytes& b) { return dev->parse40_41(b.data(), int(b.size())); }
    int p43(const Bytes& b) { return dev->parse40_43(b.data(), int(b.size())); }
    int p44(const Bytes& b) { return dev->parse40_44(b.data(), int(b.size())); }
    std::string last_log() const { return ctrl->logs.empty() ? "" : ctrl->logs.back().text; }
    std::string query(const std::string& key) const {
        try {
            return std::to_string(dev->Get_Value(0, key));
        } catch (const std::out_of_range& e) {
            return e.what();
        }
    }
};

const std::vector<Channel> kTwo = {{230.5f, 231.0f, 229.5f, 50.0f}, {220.0f, 221.0f, 222.0f, 49.5f}};

TEST(AcParse, AnalogueSetsChannelsOnceAndStoresAbsentValues) {
    AcDevice d;
    testing::internal::CaptureStdout();
    EXPECT_EQ(d.p41(analogue(kTwo, 10.0f, 11.0f, 12.0f)), 47);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "a:230.5 b:231 c:229.5 f:50\na:220 b:221 c:222 f:49.5\n");
    ASSERT_EQ(d.dev->channels.size(), 2u);
    EXPECT_EQ(d.dev->record.channel_count, 2);
    EXPECT_FLOAT_EQ(d.dev->channels[1].f, 49.5f);
    EXPECT_FLOAT_EQ(d.dev->record.ic, 12.0f);

    // A different count is refused and stores nothing.
    EXPECT_EQ(d.p41(analogue({kTwo[0], kTwo[0], kTwo[0]}, 1, 1, 1)), -1);
    EXPECT_FLOAT_EQ(d.dev->record.ia, 10.0f);
    EXPECT_EQ(d.dev->channels.size(), 2u);

    // No-value pattern: 0.0 in a voltage, -0.1 in a current; zeros and FF FF FF FE are numbers.
    Part part;
    part.u8(2).raw4(0x20, 0x20, 0x20, 0x20).raw4(0, 0, 0, 0).raw4(0xFF, 0xFF, 0xFF, 0xFE).f32(50.0f).u8(0);
    part.f32(1).f32(2).f32(3).f32(4).u8(0).raw4(0x20, 0x20, 0x20, 0x20).raw4(0, 0, 0, 0).f32(5.0f);
    EXPECT_EQ(d.p41(part.b), 47);
    EXPECT_EQ(d.dev->channels[0].a, 0.0f);
    EXPECT_EQ(d.dev->channels[0].b, 0.0f);
    const float c = d.dev->channels[0].c;  // an ordinary number, stored as received
    EXPECT_EQ(Bytes(reinterpret_cast<const uint8_t*>(&c), reinterpret_cast<const uint8_t*>(&c) + 4),
              (Bytes{0xFF, 0xFF, 0xFF, 0xFE}));
    EXPECT_FLOAT_EQ(d.dev->record.ia, -0.1f);
    EXPECT_EQ(d.dev->record.ib, 0.0f);
    EXPECT_TRUE(d.ctrl->logs.empty());

    // A channel's P of 2: logged, its 8 bytes skipped and counted.
    EXPECT_EQ(d.p41(analogue(kTwo, 1, 2, 3, 2)), 47 + 16);
    EXPECT_EQ(d.last_log(), "PMBusPowerAC:ProcotolError 7 read 40_41 p is 2 not 0");

    // Cut one byte short: the overflow message names the bytes needed and the length.
    Bytes cut = analogue(kTwo, 1, 2, 3);
    cut.pop_back();
    EXPECT_EQ(d.p41(cut), -1);
    EXPECT_EQ(d.last_log(), "PMBusPowerAC:ProcotolError 7 read 40_41 read overflow 47 - 46");
    EXPECT_FLOAT_EQ(d.dev->record.ib, 2.0f);  // stored before the short field
}

TEST(AcParse, AnalogueWithoutChannelsLeavesTheCountOpen) {
    AcDevice d;
    EXPECT_EQ(d.p41(analogue({}, 1, 2, 3)), 13);
    EXPECT_TRUE(d.dev->channels.empty());
    EXPECT_EQ(d.p41(analogue(kTwo, 1, 2, 3)), 47);
    EXPECT_EQ(d.dev->channels.size(), 2u);
    EXPECT_EQ(d.p41({}), -1);
    EXPECT_EQ(d.last_log(), "PMBusPowerAC:ProcotolError 7 read 40_41 read overflow 1 - 0");
}

TEST(AcParse, SwitchStates) {
    AcDevice d;
    EXPECT_EQ(d.p43({0, 3, 0x11, 0x22, 0x33}), 5);
    EXPECT_EQ(Bytes(d.dev->record.state_user, d.dev->record.state_user + 3), (Bytes{0x11, 0x22, 0x33}));
    EXPECT_EQ(d.p43({1, 9, 3, 1, 2, 3}), -1);
    EXPECT_EQ(d.last_log(), "ProcotolError %u read 40_43 m is %d max %d");
    EXPECT_EQ(d.dev->record.airlock_count, 1);
    EXPECT_EQ(d.p43({0, 2, 0x44, 0x55}), 4);
    EXPECT_EQ(d.last_log(), "PMBusPowerAC:ProcotolError P7 read 40_43 p is 2 not 3");
    EXPECT_EQ(d.dev->record.state_count, 2);
    EXPECT_EQ(d.dev->record.state_user[0], 0x11);
    EXPECT_EQ(d.p43({0, 3, 0x11, 0x22}), -1);
    EXPECT_EQ(d.last_log(), "PMBusPowerAC:ProcotolError 7 read 40_43 read overflow 5 - 4");
    EXPECT_EQ(d.p43({0, 4, 1, 2, 3}), -1);  // skipping the wrong count runs past the part
}

TEST(AcParse, AlarmStatesWalkTheKnownChannels) {
    AcDevice d;
    EXPECT_EQ(d.p44({5, 1, 2, 3}), 4);  // no channels yet: the count byte, then the currents
    EXPECT_EQ(d.dev->record.ic_alert, 3);

    d.p41(analogue(kTwo, 1, 2, 3));
    Bytes part = alarms({{1, 0, 0, 0}, {0, 2, 3, 4}}, {0, 1, 2});
    EXPECT_EQ(d.p44(part), 1 + 2 * 14 + 3);
    EXPECT_EQ(d.dev->channels[1].c_alert, 3);
    EXPECT_EQ(d.dev->channels[1].alarm_user[7], 0xA7);
    EXPECT_TRUE(d.ctrl->logs.empty());

    // Channel 1 carries m = 2 and two extra bytes, channel 2 a P of 7 and seven bytes.
    Part odd;
    odd.u8(2).u8(1).u8(0).u8(0).u8(0).u8(2).u8(0xEE).u8(0xEE).u8(8);
    for (int j = 0; j < 8; ++j) odd.u8(0x10);
    odd.u8(0).u8(0).u8(0).u8(0).u8(0).u8(7);
    for (int j = 0; j < 7; ++j) odd.u8(0x20);
    part = odd.u8(0).u8(0).u8(0).b;
    EXPECT_EQ(d.p44(part), 1 + 16 + 13 + 3);
    EXPECT_EQ(d.dev->channels[0].alarm_user[0], 0x10);
    EXPECT_EQ(d.dev->channels[1].alarm_user[7], 0xA7);  // the skipped bytes are not stored
    ASSERT_EQ(d.ctrl->logs.size(), 2u);
    EXPECT_EQ(d.ctrl->logs[0].text, "PMBusPowerAC:ProcotolError 7 read 40_44 m is 2");
    EXPECT_EQ(d.ctrl->logs[1].text, "PMBusPowerAC:ProcotolError 7 read 40_44 p is 7 not 8");

    part.pop_back();
    EXPECT_EQ(d.p44(part), -1);
    EXPECT_EQ(d.last_log(), "PMBusPowerAC:ProcotolError 7 read 40_44 read overflow " +
                                std::to_string(part.size() + 1) + " - " + std::to_string(part.size()));
}

TEST(AcCycle, RegistersElevenRulesPerChannelAndNineForTheScreen) {
    AcDevice d;
    d.p41(analogue(kTwo, 1, 2, 3));
    d.p44(alarms({{0, 0, 0, 0}, {1, 3, 4, 2}}, {3, 4, 0}));
    d.dev->RoundDone();

    const auto& rules = d.ctrl->rules;
    ASSERT_EQ(rules.size(), 31u);
    std::vector<std::string> active;
    for (size_t i = 0; i < rules.size(); ++i) {
        EXPECT_EQ(rules[i].sequence, i + 1);
        if (rules[i].active) active.push_back(rules[i].key + " " + rules[i].instance);
    }
    EXPECT_EQ(active, (std::vector<std::string>{"AC_0 交流屏2输入线/相电压AB/A", "AC_7 交流屏2频率",
                                                "AC_9 交流屏2输入线/相电压BC/B", "AC_18 其他告警"}));
    EXPECT_EQ(rules[10].key, "AC_10");
    EXPECT_EQ(rules[10].instance, "交流屏1输入线/相电压CA/C");
    EXPECT_EQ(rules[22].key, "AC_12");
    EXPECT_EQ(rules[30].key, "AC_20");
    EXPECT_EQ(rules[30].name, "C相输入电流缺项");
    EXPECT_EQ(rules[14].signal_id, "06019");  // channel 2's AC_3
    EXPECT_EQ(rules[14].level, 3u);
    EXPECT_EQ(rules[18].name, "交流输入频率过高告警");
    EXPECT_EQ(rules[18].level, 2u);
    EXPECT_TRUE(d.dev->alarm_flag);

    // A screen without channels registers only its nine rules.
    AcDevice bare;
    bare.dev->RoundDone();
    ASSERT_EQ(bare.ctrl->rules.size(), 9u);
    EXPECT_EQ(bare.ctrl->rules[0].key, "AC_12");
    EXPECT_EQ(bare.ctrl->rules[8].sequence, 9u);
    EXPECT_FALSE(bare.dev->alarm_flag);
}

TEST(AcCycle, ImageFollowsTheChannelCount) {
    AcDevice d;
    d.dev->RoundDone();
    ASSERT_EQ(d.ctrl->published.size(), 1u);
    EXPECT_EQ(d.ctrl->published[0].record_type, 5106);
    EXPECT_EQ(d.ctrl->published[0].image.size(), 32u);
    EXPECT_EQ(Bytes(d.ctrl->published[0].image.begin(), d.ctrl->published[0].image.begin() + 4), (Bytes{7, 0, 0, 0}));

    // Channels reported after the first cycle grow the image.
    const std::vector<Channel> three = {kTwo[0], kTwo[1], {1, 2, 3, 4}};
    d.p41(analogue(three, 1, 2, 3));
    d.dev->RoundDone();
    ASSERT_EQ(d.ctrl->published.size(), 2u);
    const Bytes& image = d.ctrl->published[1].image;
    ASSERT_EQ(image.size(), 122u);
    EXPECT_EQ(d.ctrl->saved.back().image, image);
    EXPECT_EQ(0, std::memcmp(image.data() + 32, &d.dev->channels[0], 30));
    EXPECT_EQ(0, std::memcmp(image.data() + 25, &d.dev->record.update_time, 7));
    const ttime now = get_ttime(zrt::local_now());
    EXPECT_EQ(image[25] | image[26] << 8, now.year);

    // Movement test: the first cycle and changes of diff_v / diff_i or more count.
    EXPECT_TRUE(d.dev->values_moved);
    d.dev->RoundDone();
    EXPECT_FALSE(d.dev->values_moved);
    d.p41(analogue(three, 1, 2, 3 + 20.0f));
    d.dev->RoundDone();
    EXPECT_TRUE(d.dev->values_moved);
    EXPECT_EQ(d.ctrl->published.size(), 4u);  // published either way
}

TEST(AcCache, RoundTripAndRejectedImagesChangeNothing) {
    AcDevice src;
    src.p41(analogue(kTwo, 1, 2, 3));
    src.p44(alarms({{1, 0, 0, 0}, {0, 0, 0, 2}}, {0, 0, 1}));
    src.dev->RoundDone();
    const Bytes image = src.ctrl->saved.back().image;

    AcDevice dst;
    Bytes bad = image;
    bad.push_back(0);
    EXPECT_FALSE(dst.dev->LoadFromCache(bad.data(), int(bad.size())));
    EXPECT_FALSE(dst.dev->LoadFromCache(image.data(), 32));
    bad = image;
    bad[16] = 3;  // the count no longer matches the length
    EXPECT_FALSE(dst.dev->LoadFromCache(bad.data(), int(bad.size())));
    EXPECT_FALSE(dst.dev->data_ready);
    EXPECT_TRUE(dst.dev->channels.empty());
    EXPECT_EQ(dst.dev->record.channel_count, 0);
    EXPECT_EQ(dst.dev->record.device_id, 7u);

    EXPECT_TRUE(dst.dev->LoadFromCache(std::string(image.begin(), image.end())));
    EXPECT_EQ(dst.query("channel_1_f"), std::to_string(49.5f));
    EXPECT_EQ(dst.query("ic_alert"), std::to_string(1.0f));
    // After a load the channel count is fixed.
    EXPECT_EQ(dst.p41(analogue({kTwo[0], kTwo[0], kTwo[0]}, 1, 1, 1)), -1);
    dst.dev->RoundDone();
    EXPECT_EQ(Bytes(dst.ctrl->published[0].image.begin() + 32, dst.ctrl->published[0].image.end()),
              Bytes(image.begin() + 32, image.end()));
}

TEST(AcQuery, KeysAndFreshness) {
    AcDevice d;
    EXPECT_EQ(d.query("ia"), "数据未就绪");
    d.p41(analogue(kTwo, 10.5f, 11, 12));
    d.p44(alarms({{0, 0, 0, 0}, {0, 0, 0, 0}}, {2, 0, 0}));
    d.dev->RoundDone();
    const auto v = [](float f) { return std::to_string(f); };
    EXPECT_EQ(d.query("ia"), v(10.5f));
    EXPECT_EQ(d.query("ia_alert"), v(2.0f));
    EXPECT_EQ(d.query("channel_0_a"), v(230.5f));
    EXPECT_EQ(d.query("channel_0_abc"), v(230.5f));
    EXPECT_EQ(d.query("channel_1_freq"), v(49.5f));
    EXPECT_EQ(d.query("my_channel_1_b"), v(221.0f));
    EXPECT_EQ(d.query("channel_01_c"), v(222.0f));
    EXPECT_EQ(d.query("channel_2_a"), "通道参数越界");
    EXPECT_EQ(d.query("channel_99999999999_a"), "通道参数越界");
    EXPECT_EQ(d.query("channel_1_x"), "数据未提供");
    for (const char* key : {"channel__a", "channel_1_", "CHANNEL_0_a", "IA", ""}) EXPECT_EQ(d.query(key), "数据未提供") << key;

    d.dev->last_update = zrt::local_now() - boost::posix_time::seconds(30);
    EXPECT_EQ(d.query("ib"), v(11.0f));
    d.dev->last_update = zrt::local_now() - boost::posix_time::seconds(61);
    EXPECT_EQ(d.query("ib"), "数据已超时");
    EXPECT_EQ(d.query("nonsense"), "数据已超时");
}

TEST(AcQuery, ChannelKeyMatchesTheRegexSearch) {
    const std::regex re("channel_(\\d+)_(.+?)");
    std::vector<std::string> keys = {"channel_0_a", "xchannel_12_bc", "channel_1_\n", "channel_1_\r", "channel_a_1_b",
                                     "channel_channel_3_f", "channel_1__", "channel_007_", "channel_5"};
    std::mt19937 rng(4600);
    const std::string alphabet = "chanel_019x\n\r";
    for (int i = 0; i < 20000; ++i) {
        std::string key = (i % 3 == 0) ? "channel_" : "";
        const int len = int(rng() % 12);
        for (int j = 0; j < len; ++j) key += alphabet[rng() % alphabet.size()];
        if (i % 5 == 0) key.insert(rng() % (key.size() + 1), "channel_");
        keys.push_back(key);
    }
    for (const std::string& key : keys) {
        std::smatch m;
        const bool expected = std::regex_search(key, m, re);
        const auto found = zrt::ac::find_channel_key(key);
        ASSERT_EQ(found.has_value(), expected) << key;
        if (!expected) continue;
        EXPECT_EQ(std::string(found->digits), m[1].str()) << key;
        EXPECT_EQ(std::string(1, found->quantity), m[2].str()) << key;
    }
    EXPECT_EQ(zrt::ac::channel_number("0002147483647"), 2147483647);
    EXPECT_FALSE(zrt::ac::channel_number("2147483648").has_value());
}

TEST(AcSettings, ThresholdsAndDeviceId) {
    const auto with = [](const char* json) {
        Json::Value cfg;
        std::istringstream in(json);
        EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &cfg, nullptr)) << json;
        return AcDevice(cfg);
    };
    AcDevice a = with(R"({"appSetting": {"diff_v": "5"}})");
    EXPECT_EQ(a.dev->diff_v, 5.0f);
    EXPECT_EQ(a.dev->diff_i, 20.0f);
    EXPECT_EQ(a.dev->DataId(), 7u);
    EXPECT_EQ(with(R"({"appSetting": {"diff_v": 7, "diff_i": "abc"}})").dev->diff_i, 0.0f);
    EXPECT_EQ(with(R"({"appSetting": {"diff_v": 7.5}})").dev->diff_v, 7.5f);
    EXPECT_EQ(with(R"({"appSetting": [{"diff_v": 3}]})").dev->diff_v, 20.0f);
    EXPECT_EQ(with(R"({"appSetting": {"diff_v": {"x": 1}}})").dev->diff_v, 20.0f);
    EXPECT_EQ(with(R"([1, 2])").dev->record.device_id, 7u);
}

// Queries on another thread while the reply thread parses and publishes (meant for the
// ThreadSanitizer build): every answer is one of the values the parts carried.
TEST(AcConcurrency, QueriesDuringCycles) {
    AcDevice d;
    d.p41(analogue(kTwo, 1, 2, 3));
    d.dev->RoundDone();
    testing::internal::CaptureStdout();  // the trace lines of 2000 parts
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop) {
            const float f = d.dev->Get_Value(0, "channel_0_a");
            ASSERT_TRUE(f == 230.5f || f == 100.0f) << f;
        }
    });
    for (int i = 0; i < 2000; ++i) {
        d.p41(analogue({{i % 2 ? 100.0f : 230.5f, 0, 0, 0}, kTwo[1]}, 1, 2, 3));
        d.dev->RoundDone();
    }
    stop = true;
    reader.join();
    testing::internal::GetCapturedStdout();
}

}  // namespace

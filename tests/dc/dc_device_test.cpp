// The DC distribution screen device: block walks, cache images, cycle publication, alarm
// rules and value queries, driven through the development host.
#include <atomic>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>
#include <json/json.h>

#include "dc/zrt4600_dc.h"
#include "host/get_ttime.h"
#include "devhost/devhost.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The DC template leaves its model hook to the model classes.
static_assert(std::is_abstract_v<PMBusPowerDC<tele_c_zrt4600_dc, kDcRecordType>>);
static_assert(!std::is_abstract_v<ZRT4600DC>);
constexpr unsigned kDataId = 7;

// Builds a block field by field.
struct Block {
    Bytes b;
    Block& u8(uint8_t x) {
        b.push_back(x);
        return *this;
    }
    Block& f32(float f) {
        uint8_t t[4];
        std::memcpy(t, &f, 4);
        b.insert(b.end(), t, t + 4);
        return *this;
    }
    Block& raw4(uint8_t a, uint8_t c, uint8_t d, uint8_t e) { return u8(a).u8(c).u8(d).u8(e); }
    // `count` values start, start + 1, ...
    Block& values(int count, float start) {
        for (int k = 0; k < count; ++k) f32(start + k);
        return *this;
    }
    Block& fill(int count, uint8_t x) {
        b.insert(b.end(), count, x);
        return *this;
    }
};

// A 42_41 block: v, i, then the three counted groups, with value k of each group
// valued base + k.
Bytes block42_41(float v, float i, int m, int n, int p) {
    return Block().f32(v).f32(i).u8(m).values(m, 100).u8(n).values(n, 200).u8(p).values(p, 300).b;
}

uint32_t bits(float f) {
    uint32_t u;
    std::memcpy(&u, &f, 4);
    return u;
}

class DcDevice : public ::testing::Test {
protected:
    void SetUp() override {
        dev = std::make_shared<zrt4600aDC>();
        dev->controller = ctrl;
        dev->InitV(nullptr, kDataId, Json::Value());
    }

    // Hooks get a heap copy of exactly the block's size, so a read past len is a fault the
    // sanitizer build reports.
    int parse41(const Bytes& b) { return call(&zrt4600aDC::parse42_41, b); }
    int parse44(const Bytes& b) { return call(&zrt4600aDC::parse42_44, b); }
    int call(int (zrt4600aDC::*hook)(const unsigned char*, int), const Bytes& b) {
        std::unique_ptr<unsigned char[]> copy(new unsigned char[b.size()]);
        if (!b.empty()) std::memcpy(copy.get(), b.data(), b.size());
        return ((*dev).*hook)(copy.get(), static_cast<int>(b.size()));
    }

    std::vector<std::string> log_texts() const {
        std::vector<std::string> out;
        for (const auto& e : ctrl->logs) out.push_back(e.text);
        return out;
    }

    std::string refusal(const std::string& key) const {
        try {
            dev->Get_Value(0, key);
        } catch (const std::out_of_range& e) {
            return e.what();
        }
        return "(answered)";
    }

    std::shared_ptr<devhost::Controller> ctrl =
        std::make_shared<devhost::Controller>(devhost::Controller::JobMode::Inline);
    std::shared_ptr<zrt4600aDC> dev;
};

const std::string kDcLog = "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError 7 ";

TEST_F(DcDevice, AnalogueBlockFillsTheRecordAndReportsTheBytesItTook) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(parse41(block42_41(53.5f, 12.25f, 0, 0, 0)), 11);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "parse 42 41: 0 0 56 42\n");
    EXPECT_EQ(dev->record.v, 53.5f);
    EXPECT_EQ(dev->record.i, 12.25f);

    Bytes full = block42_41(48.0f, 3.0f, 4, 9, 3);
    full.push_back(0xEE);  // the next screen's block starts here
    EXPECT_EQ(parse41(full), 75);
    const auto& r = dev->record;
    EXPECT_EQ(r.dc_m, 4);
    EXPECT_EQ(r.dc_n, 9);
    EXPECT_EQ(r.p_count, 3);
    EXPECT_EQ(r.dc_m_value[3], 103.0f);
    EXPECT_EQ(r.dc_n_value[0], 200.0f);
    EXPECT_EQ(r.dc_n_value[8], 208.0f);
    EXPECT_EQ(r.user_p[2], 302.0f);

    // v and i are copied as received, even when they carry the no-value pattern.
    EXPECT_EQ(parse41(Block().raw4(0x20, 0x20, 0x20, 0x20).f32(1).u8(0).u8(0).u8(0).b), 11);
    EXPECT_EQ(bits(dev->record.v), 0x20202020u);
    EXPECT_TRUE(ctrl->logs.empty());
}

TEST_F(DcDevice, CountsOverCapacityAreLoggedAndSteppedOver) {
    ASSERT_EQ(parse41(block42_41(1, 2, 4, 9, 3)), 75);

    // dc_m 5: its 20 bytes are skipped, the stored values stay, the walk goes on with dc_n.
    Bytes b = Block().f32(10).f32(20).u8(5).values(5, 900).u8(2).values(2, 500).u8(0).b;
    EXPECT_EQ(parse41(b), 8 + 1 + 20 + 1 + 8 + 1);
    EXPECT_EQ(dev->record.dc_m, 5);
    EXPECT_EQ(dev->record.dc_m_value[0], 100.0f);
    EXPECT_EQ(dev->record.dc_n, 2);
    EXPECT_EQ(dev->record.dc_n_value[1], 501.0f);
    EXPECT_EQ(dev->record.dc_n_value[2], 202.0f);  // beyond the count: unchanged

    // dc_n 10 likewise.
    EXPECT_EQ(parse41(Block().f32(10).f32(20).u8(0).u8(10).values(10, 0).u8(0).b), 8 + 1 + 1 + 40 + 1);
    EXPECT_EQ(dev->record.dc_n_value[0], 500.0f);  // unchanged

    // p_count 4: the rest of the reply counts as taken, user_p stays.
    Bytes p4 = Block().f32(10).f32(20).u8(0).u8(0).u8(4).values(4, 700).fill(9, 0).b;
    EXPECT_EQ(parse41(p4), static_cast<int>(p4.size()));
    EXPECT_EQ(dev->record.p_count, 4);
    EXPECT_EQ(dev->record.user_p[0], 300.0f);

    EXPECT_EQ(log_texts(), (std::vector<std::string>{
                               kDcLog + "read dc_m is 5, MAX_M is 4",
                               kDcLog + "read dc_n is 10, MAX_N is 9",
                               kDcLog + "read p_count is 4, support user_p max is 3",
                           }));
}

TEST_F(DcDevice, AbsentUserValuesAreStoredAsTheMinusPointOneMarker) {
    Bytes b = Block()
                  .f32(0).f32(0).u8(0).u8(0).u8(3)
                  .raw4(0x20, 0x20, 0x20, 0x20)
                  .raw4(0x00, 0x00, 0x00, 0x00)
                  .raw4(0x00, 0x00, 0x20, 0x41)
                  .b;
    ASSERT_EQ(parse41(b), 23);
    EXPECT_EQ(bits(dev->record.user_p[0]), 0xBDCCCCCDu);
    EXPECT_EQ(dev->record.user_p[0], -0.1f);
    EXPECT_EQ(bits(dev->record.user_p[1]), 0u);
    EXPECT_EQ(dev->record.user_p[2], 10.0f);

    // All four equal but the first zero is a value; three equal bytes and a fourth are a value.
    b = Block().f32(0).f32(0).u8(0).u8(0).u8(2).raw4(0xFF, 0xFF, 0xFF, 0xFF).raw4(0x20, 0x20, 0x20, 0x21).b;
    ASSERT_EQ(parse41(b), 19);
    EXPECT_EQ(bits(dev->record.user_p[0]), 0xBDCCCCCDu);
    EXPECT_EQ(bits(dev->record.user_p[1]), 0x21202020u);
}

TEST_F(DcDevice, AnalogueWalkStopsBeforeTheFirstFieldPastLen) {
    const std::string overflow = "PMBusPowerAC:ProcotolError 7 read 42_41 read overflow ";

    // v fits, i does not.
    testing::internal::CaptureStdout();
    EXPECT_EQ(parse41(Block().f32(5).raw4(1, 2, 3, 4).u8(0).u8(0).u8(0).b), 11);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(parse41(Block().f32(9).u8(1).u8(2).b), -1);
    EXPECT_EQ(dev->record.v, 9.0f);
    EXPECT_EQ(bits(dev->record.i), 0x04030201u);

    // dc_m of 2 with one value present: the count is taken, the values are not.
    EXPECT_EQ(parse41(Block().f32(1).f32(2).u8(2).f32(77).b), -1);
    EXPECT_EQ(dev->record.dc_m, 2);
    EXPECT_EQ(dev->record.dc_m_value[0], 0.0f);

    // An over-capacity dc_m whose skipped bytes run past len: logged, then the overflow.
    EXPECT_EQ(parse41(Block().f32(1).f32(2).u8(6).values(3, 0).b), -1);

    // No p_count byte at all; then user values cut short.
    EXPECT_EQ(parse41(Block().f32(1).f32(2).u8(0).u8(0).b), -1);
    EXPECT_EQ(parse41(Block().f32(1).f32(2).u8(0).u8(0).u8(2).f32(5).u8(1).b), -1);
    EXPECT_EQ(dev->record.user_p[0], 0.0f);

    // Blocks shorter than the trace's four bytes print what they have.
    testing::internal::CaptureStdout();
    EXPECT_EQ(parse41(Bytes{0x7, 0x1a}), -1);
    EXPECT_EQ(parse41(Bytes{}), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "parse 42 41: 7 1a\nparse 42 41:\n");

    EXPECT_EQ(log_texts(), (std::vector<std::string>{
                               overflow + "8 - 6",
                               overflow + "17 - 13",
                               kDcLog + "read dc_m is 6, MAX_M is 4",
                               overflow + "33 - 21",
                               overflow + "11 - 10",
                               overflow + "19 - 16",
                               overflow + "4 - 2",
                               overflow + "4 - 0",
                           }));
}

TEST_F(DcDevice, AlarmBlockKeepsCountsAsReadAndStoresWhatFits) {
    // 70 fuses: 64 stored, 70 stepped over.
    Bytes b = Block().u8(2).u8(70).b;
    for (int k = 0; k < 70; ++k) b.push_back(static_cast<uint8_t>(k + 1));
    b.push_back(0);
    EXPECT_EQ(parse44(b), 73);
    EXPECT_EQ(dev->record.volt_state, 2);
    EXPECT_EQ(dev->record.alert_m_count, 70);
    EXPECT_EQ(dev->record.alert_m_state[63], 64);
    EXPECT_EQ(dev->record.alert_p_count, 0);
    EXPECT_TRUE(ctrl->logs.empty());

    // 14 user bytes: logged, 13 stored, 14 stepped over.
    b = Block().u8(1).u8(2).u8(7).u8(8).u8(14).b;
    for (int k = 0; k < 14; ++k) b.push_back(static_cast<uint8_t>(0x40 + k));
    b.push_back(0xEE);  // the next screen's block
    EXPECT_EQ(parse44(b), 2 + 2 + 1 + 14);
    EXPECT_EQ(dev->record.alert_m_state[1], 8);
    EXPECT_EQ(dev->record.alert_m_state[2], 3);  // beyond the count: unchanged
    EXPECT_EQ(dev->record.alert_p_state[12], 0x4C);

    // Fuse bytes cut short: volt_state and the count are taken, the states are not.
    EXPECT_EQ(parse44(Block().u8(0).u8(10).fill(4, 9).b), -1);
    EXPECT_EQ(dev->record.volt_state, 0);
    EXPECT_EQ(dev->record.alert_m_count, 10);
    EXPECT_EQ(dev->record.alert_m_state[0], 7);
    // User bytes cut short, and a block with nothing in it.
    EXPECT_EQ(parse44(Block().u8(0).u8(0).u8(3).u8(1).b), -1);
    EXPECT_EQ(parse44(Bytes{}), -1);

    const std::string overflow = "PMBusPowerAC:ProcotolError 7 read 42_44 read overflow ";
    EXPECT_EQ(log_texts(), (std::vector<std::string>{
                               kDcLog + "read 42_44 p is 14,  alert_p is 13",
                               overflow + "12 - 6",
                               overflow + "6 - 4",
                               overflow + "1 - 0",
                           }));
}

TEST_F(DcDevice, ACacheImageIsAcceptedOnlyWhole) {
    tele_c_zrt4600_dc saved{};
    saved.device_id = 99;
    saved.v = 52.0f;
    saved.i = 8.5f;
    saved.volt_state = 2;
    Bytes image(sizeof saved);
    std::memcpy(image.data(), &saved, sizeof saved);

    for (size_t len : {image.size() - 1, image.size() + 1}) {
        Bytes wrong(len, 0x55);
        EXPECT_FALSE(dev->LoadFromCache(wrong.data(), static_cast<int>(len)));
        EXPECT_FALSE(dev->data_ready);
        EXPECT_EQ(dev->record.device_id, kDataId);
        EXPECT_EQ(refusal("v"), "数据未就绪");
    }
    EXPECT_FALSE(dev->LoadFromCache(nullptr, 166));

    EXPECT_TRUE(dev->LoadFromCache(std::string(image.begin(), image.end())));
    EXPECT_TRUE(dev->data_ready);
    EXPECT_EQ(dev->Get_Value(0, "v"), 52.0f);
    EXPECT_EQ(dev->Get_Value(0, "i"), 8.5f);
    EXPECT_EQ(std::memcmp(&dev->record, image.data(), image.size()), 0);
    EXPECT_EQ(dev->diff_v, 0.1f);
}

TEST_F(DcDevice, EachCycleRegistersVoltageRulesAndFuseRulesOnlyForAFullFuseSet) {
    auto active = [this](const char* key) {
        for (const auto& r : ctrl->rules)
            if (r.key == key) return r.active == 1;
        ADD_FAILURE() << "no rule " << key;
        return false;
    };
    const std::pair<uint8_t, std::pair<bool, bool>> volt_cases[] = {{1, {true, false}}, {2, {false, true}}, {0, {false, false}}};
    for (const auto& [state, expected] : volt_cases) {
        ctrl->rules.clear();
        dev->record.volt_state = state;
        dev->RoundDone();
        ASSERT_EQ(ctrl->rules.size(), 2u);
        EXPECT_EQ(active("DC_0"), expected.first) << int(state);
        EXPECT_EQ(active("DC_1"), expected.second) << int(state);
    }
    const rule_value& low = ctrl->rules[0];
    EXPECT_EQ(low.level, 3u);
    EXPECT_EQ(low.signal_id, "06008");
    EXPECT_EQ(low.name, "输出电压过低告警");
    EXPECT_EQ(low.instance, "输出电压过低告警");
    EXPECT_EQ(ctrl->rules[1].signal_id, "06009");
    EXPECT_EQ(ctrl->rules[1].instance, "输出电压过高告警");

    ASSERT_EQ(parse44(Block().u8(0).u8(64).fill(5, 0).u8(3).fill(57, 0).u8(3).u8(0).b), 67);
    ctrl->rules.clear();
    dev->RoundDone();
    ASSERT_EQ(ctrl->rules.size(), 66u);
    for (size_t k = 0; k < 66; ++k) EXPECT_EQ(ctrl->rules[k].sequence, k + 1);
    std::vector<uint32_t> active_fuses;
    for (size_t k = 2; k < 66; ++k) {
        const rule_value& r = ctrl->rules[k];
        EXPECT_EQ(r.key, "DC_3");
        EXPECT_EQ(r.level, 1u);
        EXPECT_EQ(r.signal_id, "06001");
        EXPECT_EQ(r.name, "电池熔丝故障告警");
        if (r.active) active_fuses.push_back(r.sequence);
    }
    EXPECT_EQ(active_fuses, (std::vector<uint32_t>{8, 66}));
    EXPECT_EQ(ctrl->rules[7].instance, "直流6电池熔丝故障告警");
    EXPECT_EQ(ctrl->rules[65].instance, "直流64电池熔丝故障告警");

    for (uint8_t count : {63, 65}) {
        dev->record.alert_m_count = count;
        ctrl->rules.clear();
        dev->RoundDone();
        EXPECT_EQ(ctrl->rules.size(), 2u) << int(count);
    }
}

// Changes the record while the device publishes, as a reply decoded during the host's
// handling of the publication would.
struct ParseDuringPublish : devhost::Observer {
    std::function<void()> action;
    void on_publish(const devhost::ImageEvent&) override {
        if (action) action();
    }
};

TEST_F(DcDevice, TheHistoryJobSavesTheImageOfItsOwnCycle) {
    ParseDuringPublish observer;
    ctrl->add_observer(&observer);
    ASSERT_EQ(parse41(block42_41(48.0f, 5.0f, 0, 0, 0)), 11);
    dev->record.volt_state = 1;
    observer.action = [this] { parse41(block42_41(51.0f, 6.0f, 0, 0, 0)); };
    dev->RoundDone();

    ASSERT_EQ(ctrl->published.size(), 1u);
    ASSERT_EQ(ctrl->saved.size(), 1u);
    const Bytes& image = ctrl->published[0].image;
    EXPECT_EQ(ctrl->published[0].record_type, 5108);
    ASSERT_EQ(image.size(), 166u);
    EXPECT_EQ(ctrl->saved[0].image, image);
    tele_c_zrt4600_dc published;
    std::memcpy(&published, image.data(), sizeof published);
    EXPECT_EQ(published.device_id, kDataId);
    EXPECT_EQ(published.v, 48.0f);
    EXPECT_EQ(dev->record.v, 51.0f);
    const auto today = boost::posix_time::second_clock::local_time().date();
    ttime stamp;
    std::memcpy(&stamp, published.update_time, sizeof stamp);
    EXPECT_EQ(stamp.year, today.year());
    EXPECT_EQ(stamp.day, today.day());
    EXPECT_TRUE(dev->alarm_flag);

    // A later quiet cycle leaves the flag raised.
    observer.action = nullptr;
    dev->record.volt_state = 0;
    dev->RoundDone();
    EXPECT_TRUE(dev->alarm_flag);
    ASSERT_EQ(ctrl->saved.size(), 2u);
    EXPECT_EQ(ctrl->saved[1].image, ctrl->published[1].image);
}

TEST_F(DcDevice, ValueQueriesAnswerVAndIWhileTheDataAreFresh) {
    EXPECT_EQ(refusal("v"), "数据未就绪");
    ASSERT_EQ(parse41(block42_41(53.5f, -4.0f, 0, 0, 0)), 11);
    EXPECT_EQ(refusal("v"), "数据未就绪");
    dev->RoundDone();
    EXPECT_EQ(dev->Get_Value(0, "v"), 53.5f);
    EXPECT_EQ(dev->Get_Value(123, "i"), -4.0f);
    EXPECT_EQ(refusal("V"), "数据未就绪");
    EXPECT_EQ(refusal("volt"), "数据未就绪");

    const auto now = boost::posix_time::second_clock::local_time();
    dev->last_update = now - boost::posix_time::seconds(60);
    EXPECT_EQ(dev->Get_Value(0, "v"), 53.5f);
    dev->last_update = now + boost::posix_time::seconds(30);  // clock set back
    EXPECT_EQ(dev->Get_Value(0, "v"), 53.5f);
    dev->last_update = now - boost::posix_time::seconds(62);
    EXPECT_EQ(refusal("v"), "数据已超时");
    EXPECT_EQ(refusal("V"), "数据已超时");
}

TEST_F(DcDevice, SettingsGiveTheChangeThresholds) {
    auto init = [this](const std::string& json) {
        Json::Value s;
        std::string errors;
        Json::CharReaderBuilder builder;
        std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        EXPECT_TRUE(reader->parse(json.data(), json.data() + json.size(), &s, &errors)) << json;
        auto d = std::make_shared<ZRT4600DC>(std::string("zrt4600"));
        EXPECT_TRUE(d->InitV(dev.get(), 42, s));
        EXPECT_EQ(d->DataId(), 42u);
        EXPECT_EQ(d->record.device_id, 42u);
        EXPECT_EQ(d->DeviceType(), "zrt4600-dc");
        return std::make_pair(d->diff_v, d->diff_i);
    };
    using P = std::pair<float, float>;
    EXPECT_EQ(init(R"({"appSetting": {"diff_v": "0.5"}})"), P(0.5f, 20.0f));
    EXPECT_EQ(init(R"({"appSetting": {"diff_v": 2, "diff_i": 7.5}})"), P(2.0f, 7.5f));
    EXPECT_EQ(init(R"({"appSetting": {"diff_i": "amps"}})"), P(0.1f, 0.0f));
    EXPECT_EQ(init(R"({"appSetting": {"diff_v": null, "diff_i": [1]}})"), P(0.1f, 20.0f));
    EXPECT_EQ(init(R"({"appSetting": "diff_v"})"), P(0.1f, 20.0f));
    EXPECT_EQ(init(R"({"appSetting": [0.5]})"), P(0.1f, 20.0f));
    EXPECT_EQ(init(R"([1, 2])"), P(0.1f, 20.0f));
    EXPECT_EQ(zrt4600aDC("zrt4600a").DeviceType(), "zrt4600a-dc");
}

TEST_F(DcDevice, EachCycleTellsWhetherTheValuesMoved) {
    dev->diff_v = 0.5f;
    dev->diff_i = 2.0f;
    parse41(block42_41(48.0f, 10.0f, 0, 0, 0));
    dev->RoundDone();
    EXPECT_TRUE(dev->values_moved);  // the first cycle
    parse41(block42_41(48.25f, 11.0f, 0, 0, 0));
    dev->RoundDone();
    EXPECT_FALSE(dev->values_moved);
    parse41(block42_41(48.75f, 11.0f, 0, 0, 0));
    dev->RoundDone();
    EXPECT_TRUE(dev->values_moved);
    parse41(block42_41(48.75f, 9.0f, 0, 0, 0));
    dev->RoundDone();
    EXPECT_TRUE(dev->values_moved);
}

TEST_F(DcDevice, QueriesFromAnotherThreadSeeWholeValues) {
    testing::internal::CaptureStdout();
    parse41(block42_41(1.0f, 1.0f, 0, 0, 0));
    dev->RoundDone();
    std::atomic<bool> stop{false};
    std::atomic<int> odd{0};
    std::thread reader([&] {
        while (!stop) {
            float v = dev->Get_Value(0, "v");
            if (v != 1.0f && v != 2.0f) ++odd;
        }
    });
    for (int k = 0; k < 2000; ++k) {
        parse41(block42_41(k % 2 ? 2.0f : 1.0f, 0, 0, 0, 0));
        if (k % 100 == 0) dev->RoundDone();
    }
    stop = true;
    reader.join();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(odd, 0);
}

}  // namespace

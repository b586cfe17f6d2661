// What the three children share: a value query never waits for a writer that is calling the
// host, and a reply decoded while the host handles a publication changes neither the rules
// nor the saved image of that cycle.
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/value.h>

#include "common/trace_line.h"
#include "devhost/devhost.h"
#include "fuzz/replies.h"
#include "power/zrt4600a.h"

namespace {

using namespace zrt::fuzz;
using devhost::Controller;

template <class Dev>
std::shared_ptr<Dev> child(const std::shared_ptr<Controller>& ctrl, unsigned id) {
    auto dev = std::make_shared<Dev>();
    dev->controller = ctrl;
    dev->InitV(nullptr, id, Json::Value(Json::objectValue));
    return dev;
}

// Runs `action` whenever the host sees a log line or a publication.
struct During : devhost::Observer {
    std::function<void()> on_line, on_image;
    void on_log(const devhost::LogEvent&) override {
        if (on_line) on_line();
    }
    void on_publish(const devhost::ImageEvent&) override {
        if (on_image) on_image();
    }
};

// Asks `dev` for `key` on another thread; true when the answer (a value or a refusal) came
// within five seconds.
bool answered_from_another_thread(TXQVDevice& dev, const std::string& key) {
    auto answer = std::async(std::launch::async, [&dev, key] {
        try {
            return std::to_string(dev.Get_Value(0, key));
        } catch (const std::out_of_range& e) {
            return std::string(e.what());
        }
    });
    return answer.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
}

TEST(ChildrenShare, AQueryIsAnsweredWhileAHookWritesItsLogLine) {
    testing::internal::CaptureStdout();  // trace lines
    auto ctrl = std::make_shared<Controller>(Controller::JobMode::Inline);
    During during;
    ctrl->add_observer(&during);
    std::vector<bool> answered;

    auto ac = child<zrt4600aAC>(ctrl, 11);
    const Bytes ac_part = ac_analog_part(2);
    ASSERT_EQ(ac->parse40_41(ac_part.data(), int(ac_part.size())), int(ac_part.size()));
    ac->RoundDone();
    during.on_line = [&] { answered.push_back(answered_from_another_thread(*ac, "ia")); };
    const Bytes ac_switch{0, 2, 1, 1};  // two user-defined states where three are expected
    EXPECT_EQ(ac->parse40_43(ac_switch.data(), int(ac_switch.size())), 4);

    auto dc = child<zrt4600aDC>(ctrl, 21);
    dc->RoundDone();
    during.on_line = [&] { answered.push_back(answered_from_another_thread(*dc, "v")); };
    Bytes dc_block(8, 0);
    dc_block.insert(dc_block.end(), {0, 0, 4});  // four user values where three fit
    EXPECT_EQ(dc->parse42_41(dc_block.data(), int(dc_block.size())), int(dc_block.size()));

    auto rc = child<zrt4600aRC>(ctrl, 100);
    rc->RoundDone();
    during.on_line = [&] { answered.push_back(answered_from_another_thread(*rc, "any")); };
    Bytes dc_params(9, 0);
    dc_params[8] = 4;  // four user-defined parameters where five are expected
    EXPECT_EQ(rc->parse42_46(dc_params.data(), int(dc_params.size())), 9 + 16);

    during.on_line = nullptr;
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(ctrl->logs.size(), 3u);
    EXPECT_EQ(ctrl->logs[0].text, "PMBusPowerAC:ProcotolError P11 read 40_43 p is 2 not 3");
    EXPECT_EQ(ctrl->logs[1].text,
              "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError 21 read p_count is 4, support user_p max is 3");
    EXPECT_EQ(ctrl->logs[2].text, "QPA07D:ProcotolError parse42_46 100 p:4 != 5");
    EXPECT_EQ(answered, (std::vector<bool>{true, true, true}));
}

// The rules of the last cycle, keyed "<key>/<instance>" -> active.
std::vector<std::string> active_rules(const Controller& ctrl) {
    std::vector<std::string> out;
    for (const rule_value& r : ctrl.rules)
        if (r.active) out.push_back(r.key + "/" + r.instance);
    return out;
}

TEST(ChildrenShare, RepliesDecodedDuringThePublicationBelongToTheNextCycle) {
    testing::internal::CaptureStdout();
    auto ctrl = std::make_shared<Controller>(Controller::JobMode::Inline);
    During during;
    ctrl->add_observer(&during);

    // An AC screen whose first channels arrive while its first, channel-less image is being
    // published: the cycle registers the screen's nine rules only.
    auto ac = child<zrt4600aAC>(ctrl, 11);
    const Bytes ac_part = ac_analog_part(2);
    const Bytes ac_alarmed = ac_alarm_part(2, 1), ac_quiet = ac_alarm_part(2, 0);
    during.on_image = [&] { ac->parse40_41(ac_part.data(), int(ac_part.size())); };
    ac->RoundDone();
    ASSERT_EQ(ctrl->published.size(), 1u);
    EXPECT_EQ(ctrl->published[0].image.size(), 32u);
    EXPECT_EQ(ctrl->rules.size(), 9u);
    EXPECT_EQ(ctrl->saved.back().image, ctrl->published[0].image);

    // Alarm states cleared during the publication: the cycle's rules are those it published.
    ctrl->rules.clear();
    ASSERT_GT(ac->parse40_44(ac_alarmed.data(), int(ac_alarmed.size())), 0);
    during.on_image = [&] { ac->parse40_44(ac_quiet.data(), int(ac_quiet.size())); };
    ac->RoundDone();
    EXPECT_EQ(ctrl->rules.size(), 2u * 11 + 9);
    EXPECT_EQ(active_rules(*ctrl),
              (std::vector<std::string>{"AC_0/交流屏1输入线/相电压AB/A", "AC_0/交流屏2输入线/相电压AB/A",
                                        "AC_13/其他告警"}));
    EXPECT_EQ(ctrl->saved.back().image, ctrl->published.back().image);
    EXPECT_EQ(ac->channels[0].a_alert, 0);  // the reply itself was taken

    // The same for the rectifier group: modules that arrive during the publication, then
    // faults that clear during it.
    ctrl->rules.clear();
    auto rc = child<zrt4600aRC>(ctrl, 100);
    const Bytes rc_part = rc_analog(0, 2), rc_faulty = rc_alarm(0, 2, 1), rc_fine = rc_alarm(0, 2, 0);
    during.on_image = [&] { rc->parse41_41(rc_part.data(), int(rc_part.size())); };
    rc->RoundDone();
    EXPECT_EQ(ctrl->published.back().image.size(), 65u);
    EXPECT_TRUE(ctrl->rules.empty());
    ASSERT_EQ(rc->parse41_44(rc_faulty.data(), int(rc_faulty.size())), int(rc_faulty.size()));
    during.on_image = [&] { rc->parse41_44(rc_fine.data(), int(rc_fine.size())); };
    rc->RoundDone();
    EXPECT_EQ(active_rules(*ctrl), (std::vector<std::string>{"RC_0/模块1整流模块故障告警", "RC_0/模块2整流模块故障告警"}));
    EXPECT_EQ(ctrl->saved.back().image, ctrl->published.back().image);
    EXPECT_EQ(ctrl->published.back().image.size(), 65u + 2 * 32);

    during.on_image = nullptr;
    testing::internal::GetCapturedStdout();
}

// The AC and DC children read their change thresholds by one rule: a JSON string or number
// through atof, anything else keeps the value they had.
TEST(ChildrenShare, AcAndDcReadTheirThresholdsAlike) {
    struct Case {
        const char* app;  // the "appSetting" value
        float diff_v;     // -1: kept
    };
    const Case cases[] = {
        {R"({"diff_v": "5"})", 5.0f},   {R"({"diff_v": 7})", 7.0f},        {R"({"diff_v": 7.5})", 7.5f},
        {R"({"diff_v": "abc"})", 0.0f}, {R"({"diff_v": null})", -1},       {R"({"diff_v": true})", -1},
        {R"({"diff_v": [1]})", -1},     {R"({"diff_v": {"x": 1}})", -1},   {R"({"diff_i": 3})", -1},
        {R"([{"diff_v": 3}])", -1},     {R"("diff_v")", -1},
    };
    auto ctrl = std::make_shared<Controller>(Controller::JobMode::Inline);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.app);
        Json::Value setting(Json::objectValue);
        ASSERT_TRUE(Json::Reader().parse(c.app, setting["appSetting"]));
        auto ac = std::make_shared<zrt4600aAC>();
        auto dc = std::make_shared<zrt4600aDC>();
        ac->controller = ctrl;
        dc->controller = ctrl;
        ac->InitV(nullptr, 1, setting);
        dc->InitV(nullptr, 2, setting);
        EXPECT_EQ(ac->diff_v, c.diff_v < 0 ? 20.0f : c.diff_v);
        EXPECT_EQ(dc->diff_v, c.diff_v < 0 ? 0.1f : c.diff_v);
        EXPECT_EQ(ac->diff_i, c.app == std::string(R"({"diff_i": 3})") ? 3.0f : 20.0f);
        EXPECT_EQ(dc->diff_i, ac->diff_i);
    }
}

TEST(ChildrenShare, ATraceLineIsWrittenWholeAndCutWhenTooLong) {
    testing::internal::CaptureStdout();
    zrt::TraceLine().text("rc ").dec(-42).text(" x").hex(0xbeef).dec(0).end();
    zrt::TraceLine().text(std::string(zrt::TraceLine::kMax - 2, 'a')).dec(12345).hex(0xff).end();
    zrt::TraceLine().end();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "rc -42 xbeef0\n" + std::string(zrt::TraceLine::kMax - 2, 'a') + "12\n\n");
}

TEST(ChildrenShare, EveryChildTracesThroughTheOneWriter) {
    const unsigned char block[] = {0x07, 0x01, 0xab, 0xff, 0x33};
    testing::internal::CaptureStdout();
    zrt::ac::trace_channel(230.5f, -0.1f, -0.0f, 1e-5f);
    zrt::dc::trace_42_41(block, 5);
    zrt::dc::trace_42_41(block, 2);
    zrt::rc::trace_cache_length(3, 65);
    zrt::rc::trace_cache_modules(32, 2, 64);
    // A float is cut like text when the line is full.
    zrt::TraceLine().text(std::string(zrt::TraceLine::kMax - 3, 'a')).general(-1.17549435e-38f).end();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "a:230.5 b:-0.1 c:-0 f:1e-05\nparse 42 41: 7 1 ab ff\nparse 42 41: 7 1\nrc data_len:3 vs 65\n"
              "rc channelLen 32 and 2 left:64\n" +
                  std::string(zrt::TraceLine::kMax - 3, 'a') + "-1.\n");
}

}  // namespace

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
#include <json/value.h>

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

}  // namespace

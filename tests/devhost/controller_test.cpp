#include <atomic>
#include <stdexcept>
#include <thread>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include "devhost_test_util.h"
#include "host/get_ttime.h"

using namespace devhost_test;
using devhost::Controller;

namespace {

rule_value rule(const std::string& key, uint32_t seq, bool active) {
    rule_value r;
    r.key = key;
    r.sequence = seq;
    r.active = active ? 1 : 0;
    return r;
}

std::shared_ptr<Child> child_of(const std::shared_ptr<Controller>& c, unsigned id, const std::string& type) {
    auto d = std::make_shared<Child>();
    d->device_type = type;
    d->Init(c, id, Json::Value());
    return d;
}

}  // namespace

TEST(AlarmTable, ReportsRaiseAndClearTransitionsPerDeviceKeyAndSequence) {
    auto c = std::make_shared<Controller>();
    auto ac = child_of(c, 7, "zrt4600a-ac");
    auto rc = child_of(c, 7, "zrt4600a-rc");  // same data id, another device

    EXPECT_TRUE(ac->DoBatchCheckThreshold({rule("AC_0", 1, true), rule("AC_0", 2, false)}));
    EXPECT_TRUE(rc->DoBatchCheckThreshold({rule("AC_0", 1, true)}));
    ASSERT_EQ(c->alarms.size(), 2u);
    EXPECT_EQ(c->alarms[0].device_type, "zrt4600a-ac");
    EXPECT_EQ(c->alarms[1].device_type, "zrt4600a-rc");

    // Still raised: no new transition. Another sequence of the same key is its own alarm.
    EXPECT_TRUE(ac->DoBatchCheckThreshold({rule("AC_0", 1, true), rule("AC_0", 2, true)}));
    ASSERT_EQ(c->alarms.size(), 3u);
    EXPECT_EQ(c->alarms[2].rule.sequence, 2u);
    EXPECT_TRUE(c->alarms[2].raised);

    EXPECT_FALSE(ac->DoBatchCheckThreshold({rule("AC_0", 1, false), rule("AC_0", 2, false)}));
    ASSERT_EQ(c->alarms.size(), 5u);
    EXPECT_FALSE(c->alarms[3].raised);
    EXPECT_FALSE(c->alarms[4].raised);
    // Clearing one device's alarms leaves the other's raised.
    EXPECT_FALSE(rc->DoBatchCheckThreshold({rule("AC_0", 1, false)}));
    EXPECT_EQ(c->alarms.size(), 6u);
    EXPECT_FALSE(rc->DoBatchCheckThreshold({rule("AC_0", 1, false)}));
    EXPECT_EQ(c->alarms.size(), 6u);
}

TEST(Controller, RecordsRulesImagesAndSavedImagesWithTheirRecordType) {
    auto c = std::make_shared<Controller>();
    auto dev = child_of(c, 9, "zrt4600a-dc");
    dev->CheckThresholdBool(2, "DC_0", "06008", "直流电压异常", "1#直流屏", true, 4);
    ASSERT_EQ(dev->pending_rules.size(), 1u);
    const rule_value& r = dev->pending_rules[0];
    EXPECT_EQ(r.active, 1);
    EXPECT_EQ(r.key, "DC_0");
    EXPECT_EQ(r.signal_id, "06008");
    EXPECT_EQ(r.level, 2u);
    EXPECT_EQ(r.sequence, 4u);
    EXPECT_EQ(r.name, "直流电压异常");
    EXPECT_EQ(r.instance, "1#直流屏");
    EXPECT_EQ(r.data_id, 9u);
    ASSERT_EQ(c->rules.size(), 1u);

    dev->publish(5108);
    const unsigned char img[2] = {7, 8};
    dev->SaveDeviceHistory(img, 2);
    ASSERT_EQ(c->published.size(), 1u);
    EXPECT_EQ(c->published[0].record_type, 5108);
    EXPECT_EQ(c->published[0].image, (std::vector<uint8_t>{1, 2, 3}));
    ASSERT_EQ(c->saved.size(), 1u);
    EXPECT_EQ(c->saved[0].record_type, 5108);
    EXPECT_EQ(c->saved[0].data_id, 9u);
    EXPECT_EQ(c->saved[0].image, (std::vector<uint8_t>{7, 8}));
}

TEST(Controller, FormatsLogLinesAndKeepsTextsThatDoNotFormat) {
    auto c = std::make_shared<Controller>();
    auto dev = child_of(c, 31, "zrt4600a");
    dev->InfoLog("PMBusPower:ProcotolError {} read ac_number is {}, configured ac_number is {}", dev->DataId(),
                 uint8_t{2}, size_t{1});
    dev->InfoLog("ProcotolError %u read 40_43 m is %d max %d", dev->DataId(), 3, 2);
    dev->InfoLog("value {} of {} is {}", dev->DataId(), std::string("v"), 1.5f);
    dev->InfoLog("two {} {} but one", dev->DataId());
    ASSERT_EQ(c->logs.size(), 4u);
    EXPECT_EQ(c->logs[0].text, "PMBusPower:ProcotolError 31 read ac_number is 2, configured ac_number is 1");
    EXPECT_EQ(c->logs[0].data_id, 31u);
    EXPECT_EQ(c->logs[1].text, "ProcotolError %u read 40_43 m is %d max %d");
    EXPECT_EQ(c->logs[2].text, "value 31 of v is 1.5");
    EXPECT_EQ(c->logs[3].text, "two {} {} but one");
}

TEST(Controller, WorkerRunsJobsOnOneOtherThreadAndDrainWaitsForThem) {
    auto c = std::make_shared<Controller>(Controller::JobMode::Worker);
    auto dev = child_of(c, 1, "zrt4600a-rc");
    std::atomic<int> ran{0};
    std::thread::id worker;
    for (int i = 0; i < 50; ++i)
        dev->CheckThresholdWork([&, i] {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
            if (i == 0) worker = std::this_thread::get_id();
            EXPECT_EQ(worker, std::this_thread::get_id());
            ++ran;
        });
    dev->CheckThresholdWork([] { throw std::runtime_error("disk full"); });
    c->drain();
    EXPECT_EQ(ran.load(), 50);
    EXPECT_NE(worker, std::this_thread::get_id());
    std::lock_guard<std::mutex> lock(c->mutex());
    ASSERT_EQ(c->logs.size(), 1u);
    EXPECT_EQ(c->logs[0].text, "Controller:history job failed: disk full");
}

TEST(Controller, QueuedJobsStillRunWhenTheControllerGoes) {
    std::atomic<int> ran{0};
    {
        Controller c(Controller::JobMode::Worker);
        for (int i = 0; i < 20; ++i)
            c.run_job([&] {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                ++ran;
            });
    }
    EXPECT_EQ(ran.load(), 20);
}

TEST(DeviceFramework, DefaultsAndConfiguration) {
    auto c = std::make_shared<Controller>();
    auto parent = child_of(c, 5, "zrt4600a");
    Child child;
    try {
        child.Get_Value(0, "v");
        ADD_FAILURE() << "Get_Value without data must throw";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "数据未就绪");
    }
    EXPECT_EQ(child.DeviceIoControl(1, nullptr, 0, nullptr, 0), -2);
    Json::Value s;
    s["data_id"] = 12;
    EXPECT_TRUE(child.InitV(parent.get(), 12, s));
    EXPECT_EQ(child.DataId(), 12u);
    EXPECT_EQ(child.controller.lock(), c);
    EXPECT_EQ(devhost::setting(child)["data_id"].asUInt(), 12u);

    ttime t = get_ttime(boost::posix_time::time_from_string("2024-03-05 17:08:09"));
    const auto* b = reinterpret_cast<const uint8_t*>(&t);
    EXPECT_EQ((std::vector<uint8_t>(b, b + 7)), (std::vector<uint8_t>{0xE8, 0x07, 3, 5, 17, 8, 9}));
}

TEST(Controller, DropsLogLinesUnformattedWhenAskedAndObserversSeeOnlyWhatFollowsTheirAdding) {
    struct Seen : devhost::Observer {
        void on_log(const devhost::LogEvent& e) override { logs.push_back(e.text); }
        void on_rule(uint32_t, const rule_value& r) override { rules.push_back(r.key); }
        std::vector<std::string> logs, rules;
    } first, second;
    auto c = std::make_shared<Controller>();
    auto dev = child_of(c, 31, "zrt4600a");
    c->add_observer(&first);
    dev->InfoLog("kept {}", dev->DataId());
    c->log_lines = false;
    dev->InfoLog("dropped {} {}", dev->DataId(), std::string("text"));
    c->log_lines = true;
    c->add_observer(&second);
    dev->InfoLog("kept again {}", dev->DataId());
    dev->CheckThresholdBool(2, "AC_0", "06015", "name", "instance", true, 1);

    ASSERT_EQ(c->logs.size(), 2u);
    EXPECT_EQ(c->logs[0].text, "kept 31");
    EXPECT_EQ(c->logs[1].text, "kept again 31");
    EXPECT_EQ(first.logs, (std::vector<std::string>{"kept 31", "kept again 31"}));
    EXPECT_EQ(second.logs, (std::vector<std::string>{"kept again 31"}));
    EXPECT_EQ(first.rules, (std::vector<std::string>{"AC_0"}));
    EXPECT_EQ(second.rules, (std::vector<std::string>{"AC_0"}));
    ASSERT_EQ(dev->pending_rules.size(), 1u);
    EXPECT_EQ(dev->pending_rules[0].instance, "instance");
    EXPECT_EQ(dev->pending_rules[0].data_id, 31u);
}

// The plug-in, loaded as the host loads it, against the simulator on the in-memory line:
// many cycles in little time, with faults on the line.
#include <cstring>
#include <map>
#include <set>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>
#include <json/reader.h>

#include "devhost/devhost.h"
#include "sim/memory_link.h"
#include "sim/simulator.h"
#include "tests/sim/sim_test_util.h"
#include "tools/app/plugin_loader.h"

namespace {

Json::Value parse(const std::string& text) { return sim_test::json(text); }

// Two AC screens (2 and 1 channels), five modules, two DC screens; no alarm condition.
const char* kPlant = R"({
  "ac": [{"channels": [{"a": 230, "b": 231, "c": 232, "f": 50}, {"a": 229, "b": 228, "c": 227, "f": 50}],
          "ia": 11.5, "ib": 12.5, "ic": 13.5},
         {"channels": [{"a": 220, "b": 221, "c": 222, "f": 49.5}], "ia": 1, "ib": 2, "ic": 3}],
  "rc": {"group_value": 53.5, "module_count": 5, "modules": [{"value": 9.5}]},
  "dc": [{"v": 53.5, "i": 100}, {"v": 53.25, "i": 80.5}]
})";

const char* kSettings = R"({
  "data_id": 1, "acSetting": [{"data_id": 11}, {"data_id": 12}],
  "dcSetting": [{"data_id": 21}, {"data_id": 22}], "rcSetting": {}
})";

float f32(const std::vector<uint8_t>& img, size_t at) {
    float v = 0.0f;
    if (at + 4 <= img.size()) std::memcpy(&v, img.data() + at, 4);  // little-endian, as the wire
    return v;
}

// The plant's values at their places in each device's image: offset and value.
const std::map<uint32_t, std::vector<std::pair<size_t, float>>> kExpected = {
    {11, {{4, 11.5f}, {8, 12.5f}, {12, 13.5f}, {32, 230}, {36, 231}, {40, 232}, {44, 50}, {62, 229}, {66, 228},
          {70, 227}, {74, 50}}},
    {12, {{4, 1}, {8, 2}, {12, 3}, {32, 220}, {36, 221}, {40, 222}, {44, 49.5f}}},
    {21, {{4, 53.5f}, {8, 100}}},
    {22, {{4, 53.25f}, {8, 80.5f}}},
    {1, {{53, 53.5f}, {65, 9.5f}, {97, 9.5f}, {129, 9.5f}, {161, 9.5f}, {193, 9.5f}}},
};

// Counts cycles (the rectifier child publishes last), every image size per device, and
// every published value that is not the plant's.
struct Watch : devhost::Observer {
    void on_publish(const devhost::ImageEvent& e) override {
        sizes[e.data_id * 10 + static_cast<uint32_t>(e.record_type % 10)].insert(e.image.size());
        for (const auto& [at, want] : kExpected.at(e.data_id))
            if (f32(e.image, at) != want)
                wrong.push_back(std::to_string(e.data_id) + "@" + std::to_string(at) + " = " +
                                std::to_string(f32(e.image, at)));
        if (e.record_type == 5107) ++cycles;
    }
    void on_alarm(const devhost::AlarmEvent& e) override { alarms.push_back(e.rule.key + " " + e.rule.instance); }
    int cycles = 0;
    std::map<uint32_t, std::set<size_t>> sizes;
    std::vector<std::string> alarms;
    std::vector<std::string> wrong;
};

}  // namespace

TEST(InProcess, FaultsOnTheLineNeverBecomeWrongValuesOrFalseAlarms) {
    Json::Value plant = parse(kPlant);
    // From cycle 2 on, once the module count is known, a quarter of the replies go wrong.
    plant["random_faults"] = parse(R"({"rate": 0.25, "seed": 20240601, "from_cycle": 2})");
    zrt::sim::Simulator sim(std::make_unique<zrt::sim::PlantResponder>(zrt::sim::scenario_from_json(plant)));

    zrt::host::Plugin plugin(ZRT_PLUGIN);
    std::shared_ptr<TXQSPDevice> dev = plugin.create("zrt4600a");
    auto controller = std::make_shared<devhost::Controller>(devhost::Controller::JobMode::Inline);
    Watch watch;
    controller->add_observer(&watch);
    ASSERT_TRUE(dev->Init(controller, 1, parse(kSettings)));
    auto link = std::make_shared<zrt::sim::MemoryLink>(sim);
    link->attach(dev.get());
    ASSERT_TRUE(devhost::attach(*dev, link));

    // A clock of our own: each round lets every unanswered command time out, and the top
    // device's last update is put far back so that no round waits for the next cycle.
    devhost::SteadyClock::time_point now = devhost::SteadyClock::now();
    devhost::serial_state(*dev).now = [&now] { return now; };
    for (int round = 0; round < 5000 && watch.cycles < 60; ++round) {
        now += std::chrono::seconds(5);
        dev->last_update = boost::posix_time::second_clock::local_time() - boost::posix_time::hours(1);
        dev->RefreshStatus();
    }
    ASSERT_EQ(watch.cycles, 60);
    EXPECT_GT(sim.stats().faults, 60u);

    // Every image had its layout's size in every cycle.
    EXPECT_EQ(watch.sizes[11 * 10 + 6], (std::set<size_t>{32 + 2 * 30}));
    EXPECT_EQ(watch.sizes[12 * 10 + 6], (std::set<size_t>{32 + 30}));
    EXPECT_EQ(watch.sizes[21 * 10 + 8], (std::set<size_t>{166}));
    EXPECT_EQ(watch.sizes[1 * 10 + 7], (std::set<size_t>{65 + 5 * 32}));
    // Every cycle published the plant's values; nothing in the plant is in alarm, and no
    // fault made it look so.
    EXPECT_TRUE(watch.wrong.empty()) << watch.wrong.size() << " wrong values, first " << watch.wrong[0];
    EXPECT_TRUE(watch.alarms.empty()) << watch.alarms[0];

    auto value = [&dev](unsigned id, const char* key) { return dev->GetChildVDevice(id)->Get_Value(0, key); };
    EXPECT_FLOAT_EQ(value(11, "ic"), 13.5f);
    EXPECT_FLOAT_EQ(value(11, "channel_1_b"), 228.0f);
    EXPECT_FLOAT_EQ(value(12, "channel_0_f"), 49.5f);
    EXPECT_FLOAT_EQ(value(22, "v"), 53.25f);
    EXPECT_FLOAT_EQ(value(21, "i"), 100.0f);
}

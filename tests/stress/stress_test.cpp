// Four threads query every child while the registered top device runs whole polling cycles
// against a plant answered on the in-memory line, and the history jobs run on the host's
// worker thread.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>
#include <json/value.h>

#include "devhost/devhost.h"
#include "fuzz/replies.h"
#include "common/cycle_end.h"
#include "power/zrt4600a.h"

namespace {

using namespace zrt::fuzz;

constexpr unsigned kTopId = 100;
constexpr int kCycles = 120;
constexpr int kReaders = 4;
const std::vector<int> kChannels{2, 3};  // per AC screen
constexpr int kDcScreens = 2;
constexpr int kModules = 3;
// Both change bits in every DATAFLAG: every group is read in full in every cycle.
constexpr uint8_t kChanged = 0x11;

// The plant of cycle c: AC channel 0 reports 200 + c % 20 as its AB/A voltage, DC screen k
// reports 40 + c % 20 + k volts, and the AC over-voltage and DC under-voltage states are
// set in odd cycles only.
float ac_base(int c) { return 200.0f + static_cast<float>(c % 20); }
float dc_base(int c) { return 40.0f + static_cast<float>(c % 20); }
uint8_t odd(int c, uint8_t state) { return c % 2 ? state : 0; }

Bytes reply_info(uint8_t cid1, uint8_t cid2, int c) {
    switch (cid1 << 8 | cid2) {
    case 0x4051: return model_reply();
    case 0x4041: return ac_analog(kChanged, kChannels, ac_base(c));
    case 0x4044: return ac_alarm(kChanged, kChannels, odd(c, 2));
    case 0x4046: return ac_params();
    case 0x4141: return rc_analog(kChanged, kModules);
    case 0x4143: return rc_switch(kChanged, kModules);
    case 0x4144: return rc_alarm(kChanged, kModules, odd(c, 1));
    case 0x4241: return dc_analog(kChanged, kDcScreens, dc_base(c));
    case 0x4244: return dc_alarm(kChanged, kDcScreens, odd(c, 1));
    case 0x4246: return dc_params();
    default: ADD_FAILURE() << "unexpected command " << std::hex << (cid1 << 8 | cid2); return {};
    }
}

// Frames the device wrote since the last call.
std::vector<devhost::Frame> commands(devhost::MemoryTransport& line) {
    std::vector<devhost::Frame> out;
    devhost::FrameDecoder d([&out](const devhost::Frame& f) { out.push_back(f); });
    d.feed(reinterpret_cast<const uint8_t*>(line.written.data()), line.written.size());
    line.clear();
    return out;
}

struct Counts {
    std::atomic<long> values{0};
    std::atomic<long> refusals{0};
    std::atomic<long> implausible{0};
};

// Every value a query returned must be one the plant sent in some cycle.
bool plausible(const std::string& type, const std::string& key, float v) {
    auto whole_in = [v](float lo, float hi) { return v >= lo && v < hi && v == std::floor(v); };
    if (type == "zrt4600a-ac" && key == "channel_0_a") return whole_in(200.0f, 220.0f);
    if (type == "zrt4600a-ac" && key == "ia") return v == 10.5f;
    if (type == "zrt4600a-ac" && key == "ib_alert") return v == 0.0f || v == 2.0f;
    if (type == "zrt4600a-dc" && key == "v") return whole_in(40.0f, 61.0f);
    return true;
}

void query_all(const std::vector<std::shared_ptr<TXQVDevice>>& children, const std::atomic<bool>& stop,
               Counts& counts) {
    static const char* const kKeys[] = {"ia", "ib_alert", "channel_0_a", "channel_2_f", "channel_9_b",
                                        "v", "i", "module_1", "nothing"};
    while (!stop.load()) {
        for (const auto& child : children) {
            const std::string type = child->DeviceType();
            for (const char* key : kKeys) {
                try {
                    const float v = child->Get_Value(0, key);
                    ++counts.values;
                    if (!plausible(type, key, v)) ++counts.implausible;
                } catch (const std::out_of_range&) {
                    ++counts.refusals;
                }
            }
        }
    }
}

TEST(Stress, ValueQueriesOnFourThreadsWhileThePollerRunsWholeCycles) {
    auto host = std::make_shared<devhost::Controller>(devhost::Controller::JobMode::Worker);
    auto line = std::make_shared<devhost::MemoryTransport>();
    auto dev = std::make_shared<zrt4600a>();
    Json::Value s(Json::objectValue);
    for (size_t i = 0; i < kChannels.size(); ++i) s["acSetting"][static_cast<int>(i)]["data_id"] = 11 + static_cast<int>(i);
    for (int i = 0; i < kDcScreens; ++i) s["dcSetting"][i]["data_id"] = 21 + i;
    s["rcSetting"] = Json::Value(Json::objectValue);
    s["guard_ms"] = 0;  // each cycle starts right after the last: no wire, no quiet time
    ASSERT_TRUE(dev->Init(host, kTopId, s));
    ASSERT_TRUE(devhost::attach(*dev, line));
    const auto children = dev->GetAllChildVDevices();
    ASSERT_EQ(children.size(), kChannels.size() + kDcScreens + 1);

    Counts counts;
    std::atomic<bool> stop{false};
    std::vector<std::thread> readers;
    for (int i = 0; i < kReaders; ++i) readers.emplace_back(query_all, std::cref(children), std::cref(stop), std::ref(counts));

    // The serial thread: each cycle starts with a refresh and goes on while the device
    // sends a command for the reply it got.
    int replies = 0;
    for (int c = 0; c < kCycles; ++c) {
        dev->last_update = zrt::local_now() - boost::posix_time::hours(1);
        ASSERT_TRUE(dev->RefreshStatus()) << "cycle " << c;
        for (auto sent = commands(*line); !sent.empty(); sent = commands(*line)) {
            ASSERT_EQ(sent.size(), 1u);
            const Bytes info = reply_info(sent[0].cid1, sent[0].cid2, c);
            devhost::inject(*dev, devhost::encode_frame(0x20, devhost::address(*dev), sent[0].cid1, 0, info.data(), info.size()));
            ASSERT_LT(++replies, kCycles * 12) << "a cycle does not end";
        }
        ASSERT_EQ(dev->poll_state, 0) << "cycle " << c;
    }
    stop = true;
    for (auto& t : readers) t.join();
    host->drain();

    EXPECT_GT(counts.values.load(), 0);
    EXPECT_GT(counts.refusals.load(), 0);
    EXPECT_EQ(counts.implausible.load(), 0);

    // The last cycle's values, read once more now that the threads are done.
    const int last = kCycles - 1;
    EXPECT_EQ(children[0]->Get_Value(0, "channel_0_a"), ac_base(last));
    EXPECT_EQ(children[kChannels.size()]->Get_Value(0, "v"), dc_base(last));

    std::lock_guard<std::mutex> lock(host->mutex());
    std::map<uint32_t, int> published, saved;
    for (const auto& e : host->published) ++published[e.data_id];
    for (const auto& e : host->saved) ++saved[e.data_id];
    for (const auto& child : children) {
        EXPECT_EQ(published[child->DataId()], kCycles) << child->DeviceType() << " " << child->DataId();
        EXPECT_EQ(saved[child->DataId()], kCycles) << child->DeviceType() << " " << child->DataId();
    }
    // The history jobs ran in cycle order: the odd-cycle alarms of every screen and module
    // were raised and cleared alternately, one transition per cycle after the first.
    std::map<std::pair<uint32_t, std::string>, std::vector<bool>> transitions;
    for (const auto& a : host->alarms)
        transitions[{a.data_id, a.rule.key + "#" + std::to_string(a.rule.sequence)}].push_back(a.raised);
    // AC_4 of channel i is rule 5 + 11 i of its screen.
    const std::pair<uint32_t, std::string> watched[] = {
        {11, "AC_4#5"}, {12, "AC_4#27"}, {21, "DC_0#1"}, {22, "DC_0#1"}, {kTopId, "RC_0#3"}};
    for (const auto& w : watched) {
        const auto& seen = transitions[w];
        ASSERT_EQ(seen.size(), static_cast<size_t>(kCycles - 1)) << w.first << " " << w.second;
        for (size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], i % 2 == 0) << w.first << " " << w.second;
    }
}

}  // namespace

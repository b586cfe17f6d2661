// The plug-in, loaded as the host loads it, against equipment behind a line that behaves
// like a real one: bytes take their wire time, commands wait on the way while the
// equipment is away, the equipment reads whatever waits when it comes back and answers it
// all, and now and then it answers after the host has given up. Time is a clock of the
// test's own, moved in half milliseconds.
#include <cstring>
#include <deque>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include "devhost/devhost.h"
#include "sim/simulator.h"
#include "tests/sim/sim_test_util.h"
#include "tools/app/plugin_loader.h"

namespace {

using Clock = devhost::SteadyClock;
using std::chrono::microseconds;
using std::chrono::milliseconds;

// 9600 baud, ten bits a byte.
constexpr microseconds kByteTime{1042};

const char* kSettings = R"({
  "data_id": 1, "reply_timeout_ms": 1000, "acSetting": [{"data_id": 11}, {"data_id": 12}],
  "dcSetting": [{"data_id": 21}, {"data_id": 22}], "rcSetting": {}
})";

// A plant and the values each device's image must then carry (offset, value).
struct PlantCase {
    std::string plant;
    std::map<uint32_t, std::vector<std::pair<size_t, float>>> expected;
};

PlantCase plant_case(float base) {
    auto n = [base](float v) { return std::to_string(v + base); };
    PlantCase c;
    c.plant = R"({"ac": [{"channels": [{"a": )" + n(230) + R"(, "b": 231, "c": 232, "f": 50}, {"a": 229, "b": 228, "c": 227, "f": 50}],
          "ia": )" + n(11.5f) + R"(, "ib": 12.5, "ic": 13.5},
         {"channels": [{"a": 220, "b": 221, "c": 222, "f": 49.5}], "ia": )" + n(1) + R"(, "ib": 2, "ic": 3}],
  "rc": {"group_value": )" + n(53.5f) + R"(, "module_count": 5, "modules": [{"value": )" + n(9.5f) + R"(}]},
  "dc": [{"v": )" + n(53.5f) + R"(, "i": 100}, {"v": 53.25, "i": )" + n(80.5f) + R"(}]})";
    c.expected = {
        {11, {{4, 11.5f + base}, {32, 230 + base}, {62, 229}}},
        {12, {{4, 1 + base}, {32, 220}}},
        {21, {{4, 53.5f + base}, {8, 100}}},
        {22, {{4, 53.25f}, {8, 80.5f + base}}},
        {1, {{53, 53.5f + base}, {65, 9.5f + base}, {193, 9.5f + base}}},
    };
    return c;
}

float f32(const std::vector<uint8_t>& img, size_t at) {
    float v = 0.0f;
    if (at + 4 <= img.size()) std::memcpy(&v, img.data() + at, 4);
    return v;
}

// Every published image by cycle: a cycle ends when the rectifier child (published last)
// has published.
struct Cycles : devhost::Observer {
    void on_publish(const devhost::ImageEvent& e) override {
        current[e.data_id] = e.image;
        if (e.record_type == 5107) {
            done.push_back(current);
            current.clear();
        }
    }
    void on_log(const devhost::LogEvent& e) override { logs.push_back(e.text); }
    std::map<uint32_t, std::vector<uint8_t>> current;
    std::vector<std::map<uint32_t, std::vector<uint8_t>>> done;
    std::vector<std::string> logs;
};

// The line and the equipment behind it.
class QueuingLine : public devhost::Transport {
public:
    QueuingLine(const Clock::time_point& now, TXQSPDevice& dev) : now_(now), dev_(dev) {}

    bool is_open() const override { return true; }
    bool write(const uint8_t* data, size_t n) override {
        const Clock::time_point start = std::max(now_, wire_free_);
        wire_free_ = start + kByteTime * static_cast<long>(n);
        commands_.push_back({std::string(reinterpret_cast<const char*>(data), n), wire_free_, ++written_});
        sent_.emplace(written_, commands_.back().bytes);
        return true;
    }
    // Input: the bytes that have reached the host's side and wait to be read. Output: the
    // commands the equipment has not taken yet.
    void flush(Queue q) override {
        if (q & Input)
            while (!to_host_.empty() && to_host_.front().due <= now_) to_host_.pop_front();
        if (q & Output) commands_.clear();
    }

    // The equipment takes every command that has arrived (all of them at once after an
    // absence), and the host reads every byte that has arrived.
    void run(zrt::sim::Simulator& sim) {
        if (present) {
            Clock::time_point answer_at = now_;
            bool any = false;
            while (!commands_.empty() && commands_.front().arrived <= now_) {
                const Command c = commands_.front();
                commands_.pop_front();
                sim.feed(c.bytes);
                const std::string reply = sim.take_output();
                const milliseconds turn = late_answers > 0 ? (--late_answers, milliseconds(1500)) : milliseconds(10);
                if (!any) answer_at = std::max(answer_at + turn, reply_free_);
                any = true;
                for (char b : reply) {
                    answer_at += kByteTime;
                    to_host_.push_back({b, answer_at, c.seq});
                }
                reply_free_ = answer_at;
            }
        }
        std::string chunk;
        uint64_t seq = 0;
        while (!to_host_.empty() && to_host_.front().due <= now_) {
            chunk.push_back(to_host_.front().byte);
            seq = to_host_.front().seq;
            to_host_.pop_front();
        }
        if (chunk.empty()) return;
        // An answer handed on as the reply to another command than the one it answers is a
        // late reply misread. (After a time-out the same command goes again, and the late
        // answer to its first copy is as good as the answer to the second.)
        const uint64_t before = devhost::serial_state(dev_).replies;
        const std::string awaited = sent_[written_];
        dev_.process(reinterpret_cast<const unsigned char*>(chunk.data()), static_cast<int>(chunk.size()));
        if (devhost::serial_state(dev_).replies != before && sent_[seq] != awaited) ++misread;
    }

    bool present = true;
    int late_answers = 0;  // the next this many commands are answered after 1.5 s
    int misread = 0;

private:
    struct Command {
        std::string bytes;
        Clock::time_point arrived;
        uint64_t seq;
    };
    struct Byte {
        char byte;
        Clock::time_point due;
        uint64_t seq;  // of the command it answers
    };
    const Clock::time_point& now_;
    TXQSPDevice& dev_;
    std::deque<Command> commands_;
    std::deque<Byte> to_host_;
    Clock::time_point wire_free_{}, reply_free_{};
    uint64_t written_ = 0;
    std::map<uint64_t, std::string> sent_;  // every command by its number
};

}  // namespace

TEST(LineDiscipline, LateAnswersAndAPlantBackWithQueuedCommandsAreNeverReadAsTheReplyToAnotherCommand) {
    const PlantCase before = plant_case(0), after = plant_case(100);
    auto sim = std::make_unique<zrt::sim::Simulator>(
        std::make_unique<zrt::sim::PlantResponder>(zrt::sim::scenario_from_json(sim_test::json(before.plant))));

    zrt::host::Plugin plugin(ZRT_PLUGIN);
    std::shared_ptr<TXQSPDevice> dev = plugin.create("zrt4600a");
    auto controller = std::make_shared<devhost::Controller>(devhost::Controller::JobMode::Inline);
    Cycles seen;
    controller->add_observer(&seen);
    ASSERT_TRUE(dev->Init(controller, 1, sim_test::json(kSettings)));
    Clock::time_point now = Clock::now();
    devhost::serial_state(*dev).now = [&now] { return now; };
    auto line = std::make_shared<QueuingLine>(now, *dev);
    ASSERT_TRUE(devhost::attach(*dev, line));
    auto* proto = dynamic_cast<PMBusProtocol*>(dev.get());
    ASSERT_NE(proto, nullptr);

    auto run_until = [&](auto done, int max_ms) {
        for (int i = 0; i < 2 * max_ms && !done(); ++i) {
            now += microseconds(500);
            dev->last_update = boost::posix_time::second_clock::local_time() - boost::posix_time::hours(1);
            dev->RefreshStatus();
            line->run(*sim);
        }
        return done();
    };
    auto check = [&](const std::map<uint32_t, std::vector<uint8_t>>& cycle, const PlantCase& c) {
        for (const auto& [id, values] : c.expected) {
            ASSERT_TRUE(cycle.count(id)) << "device " << id << " did not publish";
            for (const auto& [at, want] : values)
                EXPECT_FLOAT_EQ(f32(cycle.at(id), at), want) << "device " << id << " offset " << at;
        }
    };

    ASSERT_TRUE(run_until([&] { return seen.done.size() >= 2; }, 60000));
    check(seen.done.back(), before);

    // One answer after the time-out, in the middle of a cycle.
    ASSERT_TRUE(run_until([&] { return proto->poll_state == 4; }, 10000));
    line->late_answers = 1;
    const size_t cycles_before_late = seen.done.size();
    ASSERT_TRUE(run_until([&] { return seen.done.size() >= cycles_before_late + 2; }, 60000));
    const auto& s = devhost::serial_state(*dev);
    EXPECT_GE(s.stale_frames, 1u);  // the answer to the command sent again
    EXPECT_EQ(line->misread, 0);
    check(seen.done.back(), before);

    // The equipment goes away in the middle of a cycle, after the AC replies; the host's
    // probes wait on the line for 30 s. It comes back with other values and answers them all.
    ASSERT_TRUE(run_until([&] { return proto->poll_state == 7; }, 10000));
    line->present = false;
    ASSERT_FALSE(run_until([] { return false; }, 30000));
    EXPECT_GE(s.timeouts, 20u);
    sim = std::make_unique<zrt::sim::Simulator>(
        std::make_unique<zrt::sim::PlantResponder>(zrt::sim::scenario_from_json(sim_test::json(after.plant))));
    line->present = true;
    const size_t cycles_before_return = seen.done.size();
    const size_t logs_before_return = seen.logs.size();
    ASSERT_TRUE(run_until([&] { return seen.done.size() >= cycles_before_return + 2; }, 60000));
    EXPECT_EQ(s.resyncs, 1u);
    // The first complete cycle after the return has the new values in every image.
    check(seen.done[cycles_before_return], after);
    check(seen.done.back(), after);
    EXPECT_EQ(line->misread, 0);
    std::vector<std::string> since(seen.logs.begin() + static_cast<long>(logs_before_return), seen.logs.end());
    EXPECT_TRUE(since.empty()) << since.size() << " log lines after the return, first: " << since[0];
}

TEST(LineDiscipline, AfterATenMinuteOutageOnALineThatKeepsItsQueueTheFirstCycleCompletesWithinTenSeconds) {
    const PlantCase before = plant_case(0), after = plant_case(100);
    auto sim = std::make_unique<zrt::sim::Simulator>(
        std::make_unique<zrt::sim::PlantResponder>(zrt::sim::scenario_from_json(sim_test::json(before.plant))));
    zrt::host::Plugin plugin(ZRT_PLUGIN);
    std::shared_ptr<TXQSPDevice> dev = plugin.create("zrt4600a");
    auto controller = std::make_shared<devhost::Controller>(devhost::Controller::JobMode::Inline);
    Cycles seen;
    controller->add_observer(&seen);
    ASSERT_TRUE(dev->Init(controller, 1, sim_test::json(kSettings)));
    Clock::time_point now = Clock::now();
    devhost::serial_state(*dev).now = [&now] { return now; };
    auto line = std::make_shared<QueuingLine>(now, *dev);
    ASSERT_TRUE(devhost::attach(*dev, line));
    auto* proto = dynamic_cast<PMBusProtocol*>(dev.get());
    ASSERT_NE(proto, nullptr);
    // Steps of half a millisecond; returns the milliseconds it took, or -1.
    auto run_until = [&](auto done, int max_ms) {
        for (int i = 0; i < 2 * max_ms; ++i) {
            if (done()) return i / 2;
            now += microseconds(500);
            dev->last_update = boost::posix_time::second_clock::local_time() - boost::posix_time::hours(1);
            dev->RefreshStatus();
            line->run(*sim);
        }
        return done() ? 2 * max_ms : -1;
    };
    ASSERT_GE(run_until([&] { return seen.done.size() >= 2; }, 60000), 0);
    const auto& s = devhost::serial_state(*dev);

    // Away in the middle of a cycle, after the rectifier's reply, for ten minutes: the line
    // keeps every probe.
    ASSERT_GE(run_until([&] { return proto->poll_state == 7; }, 10000), 0);
    line->present = false;
    ASSERT_EQ(run_until([] { return false; }, 600000), -1);
    // The probes slowed down: one a second at first, one every 4 s at length.
    EXPECT_GE(s.probes, 150u);
    EXPECT_LE(s.probes, 200u);
    const uint64_t stale_before = s.stale_frames;
    sim = std::make_unique<zrt::sim::Simulator>(
        std::make_unique<zrt::sim::PlantResponder>(zrt::sim::scenario_from_json(sim_test::json(after.plant))));
    line->present = true;
    const size_t cycles_before = seen.done.size();
    const int ms = run_until([&] { return seen.done.size() > cycles_before; }, 60000);
    ASSERT_GE(ms, 0) << "no cycle within 60 s of the return";
    EXPECT_LT(ms, 10000) << "the first cycle after the return took " << ms << " ms";
    // Every queued answer was dropped and counted; none was read as a reply.
    EXPECT_GE(s.stale_frames - stale_before, s.probes - 1);
    EXPECT_EQ(line->misread, 0);
    for (const auto& [id, values] : after.expected) {
        ASSERT_TRUE(seen.done[cycles_before].count(id)) << "device " << id;
        for (const auto& [at, want] : values) EXPECT_FLOAT_EQ(f32(seen.done[cycles_before].at(id), at), want);
    }
    std::cout << "ten-minute outage: " << s.probes << " probes queued, first cycle " << ms
              << " ms after the return, stale frames dropped " << s.stale_frames - stale_before << "\n";
}

// The line supervisor and its parts, driven without the application: the line watch and
// the cycle accounting by hand, the supervisor on the built-in simulator and on a silent
// pseudo-terminal.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "tests/sim/sim_test_util.h"
#include "tools/app/plugin_loader.h"
#include "tools/line/builtin_sim.h"
#include "tools/core/host_error.h"
#include "tools/line/line_supervisor.h"
#include "tools/line/wire_sink.h"
#include "tools/view/log_collapse.h"

using namespace zrt::host;
using namespace std::chrono_literals;

namespace {

TEST(LineWatch, ASilentLineIsLostOnceAndComesBackUpWithTheNextReply) {
    LineWatch w;
    const Steady::time_point t0 = Steady::now();
    const SystemClock::time_point wall = SystemClock::now();
    EXPECT_EQ(w.observe(0, t0 + 9s, wall, t0, 10), LineWatch::Change::None);
    w.timed_out();
    w.timed_out();
    EXPECT_EQ(w.observe(0, t0 + 10s, wall, t0, 10), LineWatch::Change::Lost);
    // Lost once: more silence is no news.
    EXPECT_EQ(w.observe(0, t0 + 30s, wall, t0, 10), LineWatch::Change::None);
    EXPECT_FALSE(w.up());
    LineStatus lost = w.status(t0 + 30s, t0, wall);
    EXPECT_FALSE(lost.up);
    EXPECT_EQ(lost.timeouts_in_row, 2u);
    EXPECT_DOUBLE_EQ(lost.silence_s, 30);
    EXPECT_FALSE(lost.last_reply);
    EXPECT_EQ(lost.since, wall);  // no reply yet: lost since the opening

    const SystemClock::time_point back = wall + 31s;
    EXPECT_EQ(w.observe(1, t0 + 31s, back, t0, 10), LineWatch::Change::Up);
    EXPECT_EQ(w.observe(2, t0 + 32s, back + 1s, t0, 10), LineWatch::Change::None);
    const LineStatus up = w.status(t0 + 33s, t0, wall);
    EXPECT_TRUE(up.up);
    EXPECT_EQ(up.timeouts_in_row, 0u);
    EXPECT_EQ(up.since, back);
    EXPECT_DOUBLE_EQ(up.silence_s, 1);
    // Silence counts from the last reply now.
    EXPECT_EQ(w.observe(2, t0 + 41s, back, t0, 10), LineWatch::Change::None);
    EXPECT_EQ(w.observe(2, t0 + 42s, back, t0, 10), LineWatch::Change::Lost);
}

TEST(CycleBook, EachCycleCountsItsOwnBytesTimeoutsAndBadFramesAndADroppedCycleCountsNothing) {
    CycleBook b;
    const Steady::time_point t0 = Steady::now();
    EXPECT_TRUE(b.written(20, t0));
    EXPECT_FALSE(b.written(20, t0 + 5ms));  // the cycle is open already
    b.received(100);
    b.timed_out();
    b.bad_frames(2);
    b.garbage(7);
    CycleStats c = b.close(t0 + 1234567us, SystemClock::now());
    EXPECT_EQ(c.n, 1u);
    EXPECT_DOUBLE_EQ(c.duration_ms, 1234.6);
    EXPECT_EQ(c.tx_bytes, 40u);
    EXPECT_EQ(c.rx_bytes, 100u);
    EXPECT_EQ(c.timeouts, 1u);
    EXPECT_EQ(c.bad_frames, 2u);
    EXPECT_EQ(c.garbage, 7u);
    EXPECT_EQ(c.total_errors, 3u);
    EXPECT_EQ(b.cycles(), 1u);
    EXPECT_FALSE(b.open());

    // A cycle given up after a loss: its time-outs belong to no reported cycle.
    EXPECT_TRUE(b.written(20, t0 + 2s));
    b.timed_out();
    b.timed_out();
    b.drop();
    EXPECT_EQ(b.cycles(), 1u);
    EXPECT_TRUE(b.written(10, t0 + 3s));
    b.received(5);
    c = b.close(t0 + 4s, SystemClock::now());
    EXPECT_EQ(c.n, 2u);
    EXPECT_EQ(c.tx_bytes, 10u);
    EXPECT_EQ(c.rx_bytes, 5u);
    EXPECT_EQ(c.timeouts, 0u);
    EXPECT_EQ(c.total_errors, 3u);
    EXPECT_EQ(b.bad_frames_total(), 2u);
}

TEST(LineWatch, TheLostAlarmNamesThePortAndOnASharedLineTheAddress) {
    const rule_value one = line_lost_rule(7, "/dev/ttyS1", -1, true);
    EXPECT_EQ(one.key, "line_lost");
    EXPECT_EQ(one.signal_id, "99001");
    EXPECT_EQ(one.active, 1);
    EXPECT_EQ(one.data_id, 7u);
    EXPECT_EQ(one.instance, "串口/dev/ttyS1无应答");
    const rule_value shared = line_lost_rule(2, "/dev/ttyS1", 2, false);
    EXPECT_EQ(shared.active, 0);
    EXPECT_EQ(shared.instance, "串口/dev/ttyS1地址2无应答");

    const std::string cmd = "~20014A510000FDA0\r", lower = "~20ff4A", bad = "~20G14A", short_one = "~200";
    auto adr = [](const std::string& s) { return command_address(reinterpret_cast<const uint8_t*>(s.data()), s.size()); };
    EXPECT_EQ(adr(cmd), 1);
    EXPECT_EQ(adr(lower), 255);
    EXPECT_FALSE(adr(bad));
    EXPECT_FALSE(adr(short_one));
    EXPECT_FALSE(adr("x20014A"));
}

TEST(LogCollapse, ALineRepeatedIsShownOnceThenCounted) {
    std::vector<std::string> shown;
    std::vector<std::pair<std::string, uint64_t>> counted;
    LogCollapse logs([&](const devhost::LogEvent& e) { shown.push_back(e.text); },
                     [&](const devhost::LogEvent& e, uint64_t n) { counted.emplace_back(e.text, n); });
    auto line = [](uint32_t id, const std::string& text) {
        devhost::LogEvent e;
        e.data_id = id;
        e.text = text;
        return e;
    };
    const LogCollapse::Clock::time_point t0 = LogCollapse::Clock::now();
    logs.log(line(1, "a"), t0);
    logs.log(line(1, "a"), t0);
    logs.log(line(1, "a"), t0);
    logs.log(line(2, "a"), t0);  // another device: another line
    logs.log(line(2, "b"), t0);
    EXPECT_EQ(shown, (std::vector<std::string>{"a", "a", "b"}));
    ASSERT_EQ(counted.size(), 1u);
    EXPECT_EQ(counted[0].second, 2u);

    // Repeated without end: the count goes out every 30 s, then from zero.
    logs.log(line(2, "b"), t0 + 1s);
    logs.remind(t0 + 29s);
    EXPECT_EQ(counted.size(), 1u);
    logs.remind(t0 + 30s);
    ASSERT_EQ(counted.size(), 2u);
    EXPECT_EQ(counted[1], (std::pair<std::string, uint64_t>{"b", 1}));
    logs.log(line(2, "b"), t0 + 31s);
    logs.flush();
    logs.flush();  // nothing more to count
    ASSERT_EQ(counted.size(), 3u);
    EXPECT_EQ(counted[2].second, 1u);
}

TEST(WireSink, RecordsBothDirectionsAndTracesEachFrameAtTheDebugLevel) {
    char dir[] = "/tmp/wire_sink_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string record = std::string(dir) + "/line.log";
    std::vector<std::string> traced;
    {
        WireSink sink(record, true, [&](int level, const std::string& t) {
            EXPECT_EQ(level, 3);
            traced.push_back(t);
        });
        const std::string cmd = "~20014A4F0000FD8F\r", reply = "~200140000000FDB0\r";
        // A command in two writes, then its reply.
        sink.wire(true, reinterpret_cast<const uint8_t*>(cmd.data()), 5);
        sink.wire(true, reinterpret_cast<const uint8_t*>(cmd.data()) + 5, cmd.size() - 5);
        sink.wire(false, reinterpret_cast<const uint8_t*>(reply.data()), reply.size());
        sink.stop(0, "done");
        const std::vector<zrt::wire::WireEntry> e = zrt::wire::read_wire_log(record);
        ASSERT_EQ(e.size(), 2u);
        EXPECT_EQ(e[0].dir, zrt::wire::Direction::ToDevice);
        EXPECT_EQ(e[0].bytes, cmd);
        EXPECT_EQ(e[1].dir, zrt::wire::Direction::FromDevice);
        EXPECT_EQ(e[1].bytes, reply);
    }
    EXPECT_EQ(traced, (std::vector<std::string>{"TX ~20014A4F0000FD8F\\r", "RX ~200140000000FDB0\\r"}));
    // Nothing asked for: nothing to do. A record file that cannot be made names itself.
    EXPECT_TRUE(WireSink("", false, {}).idle());
    try {
        WireSink bad(std::string(dir) + "/no/such/dir/x.log", false, {});
        ADD_FAILURE() << "no error for a record file that cannot be made";
    } catch (const HostError& e) {
        EXPECT_EQ(e.code(), kExitUsage);
        EXPECT_NE(std::string(e.what()).find("no/such/dir/x.log"), std::string::npos);
    }
    std::remove(record.c_str());
    rmdir(dir);
}

// What the supervisor dispatched.
struct Seen : Sink {
    std::vector<int> commands;  // the address of each command
    std::map<int, std::vector<CycleStats>> cycles;  // by address
    std::vector<LineStatus> lines;
    size_t timeouts = 0, tx = 0, rx = 0;
    std::mutex mu;
    void command_sent(const CommandSent& c) override { commands.push_back(c.address); }
    void cycle_ended(const CycleStats& c) override {
        std::lock_guard<std::mutex> lock(mu);
        cycles[c.system.address].push_back(c);
    }
    void line(const LineStatus& l) override { lines.push_back(l); }
    void timeout(const SystemRef&) override { ++timeouts; }
    void wire(bool to_device, const uint8_t*, size_t n) override { (to_device ? tx : rx) += n; }
};

// Counts each system's publications and the line-lost alarms, as the application does.
struct Counter : devhost::Observer {
    std::map<uint32_t, LineSystem*> by_id;
    std::vector<bool> lost_alarms;  // raised (true) or cleared
    void on_publish(const devhost::ImageEvent& e) override {
        if (by_id.count(e.data_id)) ++by_id[e.data_id]->publications;
    }
    void on_alarm(const devhost::AlarmEvent& e) override {
        if (e.rule.key == "line_lost") lost_alarms.push_back(e.raised);
    }
};

TEST(LineSupervisor, TwoSystemsOnOneLineTakeTurnsAndEachCompletesItsCycles) {
    Plugin plugin(ZRT_PLUGIN);
    std::ifstream in(std::string(ZRT_SOURCE_DIR) + "/examples/two-systems.json");
    const Json::Value settings = sim_test::json(std::string(std::istreambuf_iterator<char>(in), {}));
    auto controller = std::make_shared<devhost::Controller>(devhost::Controller::JobMode::Inline);
    Counter counter;
    controller->add_observer(&counter);
    LineSystem systems[2];
    std::vector<LineSystem*> lines;
    for (Json::ArrayIndex k = 0; k < 2; ++k) {
        Json::Value s = settings["systems"][k];
        s.removeMember("name");
        s["reply_timeout_ms"] = 1000;
        systems[k].ref = {s["address"].asInt(), s["data_id"].asUInt(), ""};
        systems[k].dev = plugin.create("zrt4600a");
        ASSERT_TRUE(systems[k].dev->Init(controller, s["data_id"].asUInt(), s));
        for (const auto& child : systems[k].dev->GetAllChildVDevices())
            if (child) counter.by_id[child->DataId()] = &systems[k];
        lines.push_back(&systems[k]);
    }
    BuiltinSim sim(std::string(ZRT_SOURCE_DIR) + "/examples/two-systems-plant.json", 9600);
    LineOptions o;
    o.port = sim.path();
    o.cycles = 2;
    o.give_up_s = 60;
    Dispatcher events;
    Seen seen;
    events.add(&seen);
    LineSupervisor sup(o, lines, *controller, events, {});
    sup.open();
    sup.run();
    EXPECT_EQ(sup.stop_reason(), "cycles done");
    EXPECT_FALSE(sup.gave_up());
    EXPECT_EQ(sup.cycles_done(), 2u);
    for (int address : {1, 2}) {
        ASSERT_GE(seen.cycles[address].size(), 2u) << address;
        const CycleStats& c = seen.cycles[address][0];
        EXPECT_EQ(c.n, 1u);
        EXPECT_EQ(c.system.address, address);
        EXPECT_GT(c.tx_bytes, 0u);
        EXPECT_GT(c.rx_bytes, 0u);
        EXPECT_EQ(c.timeouts, 0u);
        EXPECT_EQ(c.bad_frames, 0u);
    }
    // The turn passes between the systems many times, not once after a whole cycle.
    size_t turns = 0;
    for (size_t k = 1; k < seen.commands.size(); ++k) turns += seen.commands[k] != seen.commands[k - 1];
    EXPECT_GT(turns, 4u);
    EXPECT_EQ(std::set<int>(seen.commands.begin(), seen.commands.end()), (std::set<int>{1, 2}));
    EXPECT_TRUE(seen.lines.empty());  // the line never went lost
    EXPECT_EQ(seen.timeouts, 0u);
    EXPECT_GT(seen.tx, 0u);
    EXPECT_GT(seen.rx, 0u);
    EXPECT_TRUE(counter.lost_alarms.empty());
}

TEST(LineSupervisor, ASilentLineRaisesTheLostAlarmOnceAndCountsItsTimeouts) {
    // A pseudo-terminal whose other side nobody answers.
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string path = ptsname(master);

    Plugin plugin(ZRT_PLUGIN);
    auto controller = std::make_shared<devhost::Controller>(devhost::Controller::JobMode::Inline);
    Counter counter;
    controller->add_observer(&counter);
    LineSystem sys;
    sys.ref = {1, 1, ""};
    sys.dev = plugin.create("zrt4600a");
    ASSERT_TRUE(sys.dev->Init(controller, 1, sim_test::json(R"({"reply_timeout_ms": 100, "rcSetting": {}})")));
    LineOptions o;
    o.port = path;
    o.line_timeout_s = 0.5;
    Dispatcher events;
    Seen seen;
    events.add(&seen);
    LineSupervisor* running = nullptr;
    size_t lost_hooks = 0;
    LineSupervisor::Hooks hooks;
    const Steady::time_point start = Steady::now();
    hooks.tick = [&] {
        // Drain what the host writes, so the pty never fills; stop after 1.5 s.
        char buf[512];
        while (read(master, buf, sizeof buf) > 0) {
        }
        if (Steady::now() - start > 1500ms) running->stop("enough");
    };
    hooks.lost_before_first_cycle = [&](LineSystem& s) {
        EXPECT_EQ(&s, &sys);
        ++lost_hooks;
    };
    fcntl(master, F_SETFL, O_NONBLOCK);
    LineSupervisor sup(o, {&sys}, *controller, events, hooks);
    running = &sup;
    sup.open();
    sup.run();
    close(master);

    EXPECT_EQ(sup.stop_reason(), "enough");
    ASSERT_EQ(seen.lines.size(), 1u);
    EXPECT_FALSE(seen.lines[0].up);
    EXPECT_EQ(seen.lines[0].port, path);
    EXPECT_EQ(counter.lost_alarms, (std::vector<bool>{true}));
    EXPECT_EQ(lost_hooks, 1u);
    EXPECT_GE(seen.timeouts, 3u);
    EXPECT_TRUE(seen.cycles.empty());
    EXPECT_EQ(sup.cycles_done(), 0u);
}

}  // namespace

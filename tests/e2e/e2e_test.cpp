// The host and the simulator as separate processes over a pty, at 115200 baud so that a
// cycle's bytes take little time; the top device still waits 2 s between cycles.
#include <cmath>

#include <gtest/gtest.h>

#include "e2e_util.h"

using namespace e2e;
using namespace std::chrono_literals;

namespace {

constexpr int kBaud = 115200;


// A reply is waited for `timeout_ms` of silence: short where faults make the host wait,
// generous elsewhere so that a busy machine causes no time-out.
Json::Value settings(int timeout_ms = 1000) {
    Json::Value s = parse_json(R"({
      "device_type": "zrt4600a", "data_id": 1,
      "acSetting": [{"data_id": 11}], "dcSetting": [{"data_id": 21}], "rcSetting": {}
    })");
    s["reply_timeout_ms"] = timeout_ms;
    return s;
}

struct Site {
    explicit Site(const Json::Value& p, const std::string& tag = "site", int timeout_ms = 1000)
        : plant_file(tag + "_plant.json", write_json(p)),
          settings_file(tag + "_settings.json", write_json(settings(timeout_ms))),
          sim(plant_file.path(), kBaud) {}
    std::vector<std::string> args(int cycles) const {
        return {"--settings", settings_file.path(), "--port", sim.port(), "--baud", std::to_string(kBaud),
                "--cycles", std::to_string(cycles)};
    }
    TempFile plant_file, settings_file;
    Sim sim;
};

std::string dump(const HostRun& r) {
    std::string s = "exit " + std::to_string(r.code) + "\n";
    for (const Json::Value& e : r.events) s += write_json(e) + "\n";
    return s + "stderr:\n" + r.err;
}

// The value answered for `key` of `device`, or NaN with the error text in `error`.
float value_of(const HostRun& r, const std::string& device, const std::string& key, std::string* error = nullptr) {
    for (const Json::Value& v : r.of("value"))
        if (v["device"].asString() == device && v["key"].asString() == key) {
            if (error) *error = v["error"].asString();
            return v.isMember("value") ? v["value"].asFloat() : NAN;
        }
    if (error) *error = "no answer";
    return NAN;
}

Json::Value last_image(const HostRun& r, const char* event, int record_type) {
    Json::Value last;
    for (const Json::Value& e : r.of(event))
        if (e["record_type"].asInt() == record_type) last = e;
    return last;
}

}  // namespace

TEST(EndToEnd, ValuesReadOverTheLineMatchThePlant) {
    Site site(small_plant(), "values");
    std::vector<std::string> args = site.args(1);
    for (const char* q : {"11:ia", "11:channel_1_f", "11:channel_0_b", "21:v", "21:i"})
        args.insert(args.end(), {"--query", q});
    const HostRun r = run_host(args);
    ASSERT_EQ(r.code, 0) << dump(r);
    // A query the device refuses at the end (no such channel) is asked in a run of its own:
    // it ends the run with exit 12 and says why on standard error too.
    std::vector<std::string> refused_args = site.args(1);
    refused_args.insert(refused_args.end(), {"--query", "11:channel_5_a"});
    const HostRun refused = run_host(refused_args);
    EXPECT_EQ(refused.code, 12) << dump(refused);
    EXPECT_NE(refused.err.find("--query 11:channel_5_a refused by data id 11: 通道参数越界 (there is no such channel"),
              std::string::npos)
        << refused.err;
    EXPECT_TRUE(r.bad_lines.empty()) << "the JSON stream was broken by: " << r.bad_lines[0];
    // The plug-in's own trace lines went to standard error instead.
    EXPECT_NE(r.err.find("a:221.5 b:220.5 c:222 f:50"), std::string::npos) << r.err;

    ASSERT_EQ(r.of("cycle").size(), 1u) << dump(r);
    EXPECT_EQ(r.of("cycle")[0]["errors"].asUInt(), 0u);
    EXPECT_FLOAT_EQ(value_of(r, "11", "ia"), 35.25f);
    EXPECT_FLOAT_EQ(value_of(r, "11", "channel_1_f"), 49.5f);
    EXPECT_FLOAT_EQ(value_of(r, "11", "channel_0_b"), 220.5f);
    EXPECT_FLOAT_EQ(value_of(r, "21", "v"), 53.25f);
    EXPECT_FLOAT_EQ(value_of(r, "21", "i"), 120.5f);
    std::string error;
    EXPECT_TRUE(std::isnan(value_of(refused, "11", "channel_5_a", &error)));
    EXPECT_EQ(error, "通道参数越界");

    // The rectifier image carries the group and module values and both parameter replies.
    const Json::Value rc = last_image(r, "publish", 5107);
    ASSERT_TRUE(rc.isObject()) << dump(r);
    EXPECT_EQ(rc["size"].asUInt(), 65u + 4 * 32);
    EXPECT_EQ(rc["device_type"].asString(), "zrt4600a-rc");
    EXPECT_EQ(rc["image"].asString().size(), 2u * (65 + 4 * 32));
    EXPECT_FLOAT_EQ(event_value(rc, "ac_param_0"), 280.0f);  // first AC parameter
    EXPECT_FLOAT_EQ(event_value(rc, "dc_param_0"), 57.5f);   // first DC parameter
    EXPECT_EQ(event_value_count(rc, "dc_user_param_"), 5u);  // DC user parameter count
    EXPECT_FLOAT_EQ(event_value(rc, "group_value"), 53.5f);
    EXPECT_EQ(event_value(rc, "module_count"), 4.0);
    EXPECT_FLOAT_EQ(event_value(rc, "module_3_value"), 10.5f);
    EXPECT_EQ(last_image(r, "publish", 5106)["size"].asUInt(), 32u + 2 * 30);
    EXPECT_FLOAT_EQ(event_value(last_image(r, "publish", 5108), "v"), 53.25f);
    // Every published image was saved by its history job.
    EXPECT_EQ(r.of("saved").size(), r.of("publish").size());
}

TEST(EndToEnd, ScriptedAlarmsRaiseAndClear) {
    Json::Value p = small_plant();
    p["steps"] = parse_json(R"([
      {"cycle": 2, "set": {"ac[0].channels[1].b_alert": 2, "rc.modules[2].fault": 1,
                           "dc[0].volt_state": 1, "dc[0].fuses[4]": 3}},
      {"cycle": 3, "set": {"ac[0].channels[1].b_alert": 0, "rc.modules[2].fault": 0,
                           "dc[0].volt_state": 0, "dc[0].fuses[4]": 0}}])");
    Site site(p, "alarms");
    const HostRun r = run_host(site.args(3));
    ASSERT_EQ(r.code, 0) << dump(r);
    ASSERT_EQ(r.of("cycle").size(), 3u) << dump(r);

    // Each transition with the cycle it was reported in (alarm lines precede their cycle line).
    struct Seen {
        std::string key, name, instance, state;
        unsigned seq, level, cycle;
    };
    std::vector<Seen> seen;
    unsigned cycle = 1;
    for (const Json::Value& e : r.events) {
        if (e["event"] == "cycle") ++cycle;
        if (e["event"] == "alarm")
            seen.push_back({e["key"].asString(), e["name"].asString(), e["instance"].asString(),
                            e["state"].asString(), e["seq"].asUInt(), e["level"].asUInt(), cycle});
    }
    auto find = [&seen](const std::string& key, unsigned seq, const std::string& state) -> const Seen* {
        for (const Seen& s : seen)
            if (s.key == key && s.seq == seq && s.state == state) return &s;
        return nullptr;
    };
    const Seen* ac = find("AC_5", 11 + 5 + 1, "raised");
    ASSERT_NE(ac, nullptr) << dump(r);
    EXPECT_EQ(ac->cycle, 2u);
    EXPECT_EQ(ac->name, "交流输入电压过高告警");
    EXPECT_EQ(ac->instance, "交流屏2输入线/相电压BC/B");
    EXPECT_EQ(ac->level, 2u);
    const Seen* rc = find("RC_0", 3, "raised");
    ASSERT_NE(rc, nullptr) << dump(r);
    EXPECT_EQ(rc->instance, "模块3整流模块故障告警");
    EXPECT_EQ(rc->cycle, 2u);
    const Seen* dc = find("DC_0", 1, "raised");
    ASSERT_NE(dc, nullptr) << dump(r);
    EXPECT_EQ(dc->name, "输出电压过低告警");
    const Seen* fuse = find("DC_3", 2 + 5, "raised");
    ASSERT_NE(fuse, nullptr) << dump(r);
    EXPECT_EQ(fuse->instance, "直流5电池熔丝故障告警");
    EXPECT_EQ(fuse->level, 1u);

    for (const auto& [key, seq] : {std::pair<std::string, unsigned>{"AC_5", 17}, {"RC_0", 3}, {"DC_0", 1}, {"DC_3", 7}}) {
        const Seen* cleared = find(key, seq, "cleared");
        ASSERT_NE(cleared, nullptr) << key << "\n" << dump(r);
        EXPECT_EQ(cleared->cycle, 3u) << key;
    }
    // Nothing else moved: four raised, four cleared.
    EXPECT_EQ(seen.size(), 8u) << dump(r);
}

TEST(EndToEnd, TheHostSurvivesLineFaults) {
    Json::Value p = small_plant();
    p["faults"] = parse_json(R"([
      {"cycle": 1, "command": "41_41", "kind": "bad_chksum"},
      {"cycle": 1, "command": "40_44", "kind": "truncated"},
      {"cycle": 1, "command": "42_41", "kind": "garbage"},
      {"cycle": 1, "command": "42_44", "kind": "no_reply"},
      {"cycle": 1, "command": "41_43", "kind": "bad_lchksum"},
      {"cycle": 2, "command": "40_41", "kind": "wrong_cid1"},
      {"cycle": 2, "command": "42_41", "kind": "wrong_count"},
      {"cycle": 2, "command": "42_46", "kind": "rtn"},
      {"cycle": 3, "command": "40_46", "kind": "rtn_empty"},
      {"cycle": 3, "command": "41_41", "kind": "wrong_count"}])");
    Site site(p, "faults", 300);
    std::vector<std::string> args = site.args(3);
    args.insert(args.end(), {"--query", "21:v", "--query", "11:channel_0_a"});
    const HostRun r = run_host(args);
    ASSERT_EQ(r.code, 0) << dump(r);
    ASSERT_EQ(r.of("cycle").size(), 3u) << dump(r);
    EXPECT_TRUE(r.bad_lines.empty());

    uint64_t bad = 0, timeouts = 0, garbage = 0;
    for (const Json::Value& c : r.of("cycle")) {
        bad += c["bad_frames"].asUInt64();
        timeouts += c["timeouts"].asUInt64();
        garbage += c["garbage"].asUInt64();
    }
    EXPECT_GE(bad, 2u);       // CHKSUM and LCHKSUM
    EXPECT_GE(timeouts, 4u);  // each dropped, cut-off or missing reply is waited out
    EXPECT_GT(garbage, 0u);
    EXPECT_EQ(r.of("cycle").back()["total_errors"].asUInt64(), bad + timeouts);

    // The rejected replies were logged by the plug-in and asked for again.
    bool dc_count_logged = false;
    for (const Json::Value& l : r.of("log"))
        if (l["text"].asString().find("read dc_number is 2, configured dc_number is 1") != std::string::npos)
            dc_count_logged = true;
    EXPECT_TRUE(dc_count_logged) << dump(r);
    EXPECT_FLOAT_EQ(value_of(r, "21", "v"), 53.25f);
    EXPECT_FLOAT_EQ(value_of(r, "11", "channel_0_a"), 221.5f);
    const Json::Value rc = last_image(r, "publish", 5107);
    EXPECT_EQ(event_value(rc, "module_count"), 4.0);  // a wrong module count never took hold
}

TEST(EndToEnd, ARestartHandsEveryChildItsLastImage) {
    Site site(small_plant(), "restart");
    TempFile db("restart.db");
    std::vector<std::string> args = site.args(1);
    args.insert(args.end(), {"--history", db.path()});
    const HostRun first = run_host(args);
    ASSERT_EQ(first.code, 0) << dump(first);
    ASSERT_EQ(first.of("saved").size(), 3u) << dump(first);

    // No cycle: the answers come from the reloaded images alone.
    const HostRun second = run_host({"--settings", site.settings_file.path(), "--history", db.path(), "--cycles", "0",
                                     "--query", "11:ia", "--query", "11:channel_1_c", "--query", "21:i"});
    ASSERT_EQ(second.code, 0) << dump(second);
    EXPECT_TRUE(second.of("publish").empty());
    const auto caches = second.of("cache");
    ASSERT_EQ(caches.size(), 3u) << dump(second);
    for (const Json::Value& c : caches) EXPECT_TRUE(c["loaded"].asBool()) << write_json(c);
    EXPECT_EQ(caches[0]["device_type"].asString(), "zrt4600a-ac");
    EXPECT_EQ(caches[2]["device_type"].asString(), "zrt4600a-rc");
    EXPECT_FLOAT_EQ(value_of(second, "11", "ia"), 35.25f);
    EXPECT_FLOAT_EQ(value_of(second, "11", "channel_1_c"), 217.0f);
    EXPECT_FLOAT_EQ(value_of(second, "21", "i"), 120.5f);
}

TEST(EndToEnd, ARecordedSessionReplaysAsThePlant) {
    TempFile record("session.log");
    {
        Site site(small_plant(), "record");
        std::vector<std::string> args = site.args(1);
        args.insert(args.end(), {"--record", record.path()});
        const HostRun r = run_host(args);
        ASSERT_EQ(r.code, 0) << dump(r);
    }
    TempFile settings_file("replay_settings.json", write_json(settings()));
    Process sim({ZRT_SIM_BIN, "--replay", record.path(), "--baud", std::to_string(kBaud)});
    const std::string port = sim.read_line(10s);
    ASSERT_FALSE(port.empty()) << sim.err();
    const HostRun r = run_host({"--settings", settings_file.path(), "--port", port, "--baud", std::to_string(kBaud),
                                "--cycles", "1", "--query", "21:v", "--query", "11:channel_0_c"});
    ASSERT_EQ(r.code, 0) << dump(r);
    EXPECT_FLOAT_EQ(value_of(r, "21", "v"), 53.25f);
    EXPECT_FLOAT_EQ(value_of(r, "11", "channel_0_c"), 222.0f);
}

TEST(EndToEnd, StartUpFailuresExitWithAClearError) {
    TempFile good("good_settings.json", write_json(settings()));
    TempFile broken("broken_settings.json", "{\"acSetting\": [");
    Json::Value no_rc = settings();
    no_rc.removeMember("rcSetting");
    TempFile refused("norc_settings.json", write_json(no_rc));
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string says;
    };
    const Case cases[] = {
        {{"--plugin", "/nonexistent/zrt4600a.so", "--settings", good.path()}, 3, "cannot load the plug-in"},
        {{"--plugin", ZRT_TXQHOST_LIB, "--settings", good.path()}, 3, "has no get_providers"},
        {{"--settings", "/nonexistent/settings.json"}, 2, "cannot read the settings file"},
        {{"--settings", broken.path()}, 2, "is not valid JSON"},
        {{"--settings", refused.path(), "--cycles", "0"}, 5, "refused the settings"},
        {{"--settings", good.path(), "--port", "/nonexistent/ttyS9"}, 4, "cannot open the port"},
        {{"--settings", good.path(), "--query", "eleven:v"}, 2, "DEVICE is a data id or rc"},
        // Queries no device can answer are refused before polling starts (no port is opened).
        {{"--settings", good.path(), "--port", "/nonexistent/ttyS9", "--query", "99:v"}, 2,
         "--query 99:v: the settings file " + good.path() + " configures no device with data id 99"},
        {{"--settings", good.path(), "--port", "/nonexistent/ttyS9", "--query", "1:v"}, 2,
         "is a power system's top device, which answers no queries"},
        {{"--settings", good.path(), "--port", "/nonexistent/ttyS9", "--query", "rc:v"}, 2,
         "--query rc:v: a zrt4600a-rc device does not answer the key \"v\""},
        {{"--settings", good.path(), "--port", "/nonexistent/ttyS9", "--query", "21:volt"}, 2,
         "--query 21:volt: a zrt4600a-dc device does not answer the key \"volt\""},
        {{"--settings", good.path(), "--port", "/nonexistent/ttyS9", "--query", "11:channel_0_x"}, 2,
         "does not answer the key \"channel_0_x\""},
    };
    for (const Case& c : cases) {
        const HostRun r = run_host(c.args, std::chrono::seconds(20));
        EXPECT_EQ(r.code, c.code) << c.says << "\n" << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
}

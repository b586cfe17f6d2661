// What the host application tells about the line, its settings and its alarms: exit codes
// case by case, a silent line reported lost and back up, alarms that outlive a restart.
#include <algorithm>
#include <csignal>
#include <functional>
#include <map>
#include <sstream>

#include <gtest/gtest.h>
#include <unistd.h>

#include "e2e_util.h"

using namespace e2e;
using namespace std::chrono_literals;

namespace {

constexpr int kBaud = 115200;

Json::Value site_settings(double line_timeout_s = 10) {
    Json::Value s = parse_json(R"({
      "device_type": "zrt4600a", "data_id": 1, "reply_timeout_ms": 1000,
      "acSetting": [{"data_id": 11}], "dcSetting": [{"data_id": 21}], "rcSetting": {}
    })");
    s["line_timeout_s"] = line_timeout_s;
    return s;
}

std::vector<std::string> host_argv(const std::vector<std::string>& args) {
    std::vector<std::string> argv{ZRT_HOST_BIN, "--plugin", ZRT_PLUGIN, "--json", "--baud", std::to_string(kBaud)};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

// Reads the host's events until one satisfies `want`; an empty object on time-out.
Json::Value wait_for(Process& p, const std::function<bool(const Json::Value&)>& want, std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        const std::string line =
            p.read_line(std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()));
        if (line.empty()) continue;
        try {
            Json::Value v = parse_json(line);
            if (v.isObject() && want(v)) return v;
        } catch (const std::exception&) {
        }
    }
    return Json::Value();
}

auto is_event(const std::string& name) {
    return [name](const Json::Value& v) { return v["event"].asString() == name; };
}
auto is_line(const std::string& state) {
    return [state](const Json::Value& v) { return v["event"].asString() == "line" && v["state"].asString() == state; };
}

std::string dump(const std::vector<Json::Value>& events, const std::string& err) {
    std::string s;
    for (const Json::Value& e : events) s += write_json(e) + "\n";
    return s + "stderr:\n" + err;
}

}  // namespace

TEST(HostExitCodes, EachCodeOfTheReadmeHoldsWithAOneLineReason) {
    TempFile plant("codes_plant.json", write_json(small_plant()));
    TempFile good("codes_good.json", write_json(site_settings()));
    auto settings_with = [](const char* key, const Json::Value& v) {
        Json::Value s = site_settings();
        s[key] = v;
        return write_json(s);
    };
    TempFile mistyped("codes_portt.json", settings_with("portt", "/dev/ttyS0"));
    Json::Value big = site_settings();
    big["acSetting"][0]["appSetting"]["diff_v"] = "big";
    TempFile wrong_type("codes_big.json", write_json(big));
    Json::Value dup = site_settings();
    dup["dcSetting"][0]["data_id"] = 11;
    TempFile duplicate("codes_dup.json", write_json(dup));
    Json::Value no_rc = site_settings();
    no_rc.removeMember("rcSetting");
    TempFile missing_rc("codes_norc.json", write_json(no_rc));
    TempFile deep("codes_deep.json", std::string(5000, '[') + std::string(5000, ']'));
    TempFile deep_plant("codes_deep_plant.json", "{\"ac\": " + std::string(5000, '[') + std::string(5000, ']') + "}");

    struct Case {
        std::vector<std::string> args;
        int code;
        std::string says;
    };
    const std::vector<Case> cases = {
        {{"--bogus"}, 2, "--bogus"},
        {{"--cycles", "-1"}, 2, "--cycles"},
        {{"--cycles", "abc"}, 2, "--cycles"},
        {{"--settings", good.path(), "--cycles", "1"}, 2, "--simulate"},
        {{"--settings", deep.path(), "--simulate"}, 2, deep.path()},
        {{"--settings", good.path(), "--simulate", "--plant", deep_plant.path(), "--cycles", "1"}, 2, deep_plant.path()},
        {{"--settings", mistyped.path(), "--simulate"}, 7, "unknown settings key portt in " + mistyped.path()},
        {{"--settings", wrong_type.path(), "--simulate"}, 8, "acSetting[0].appSetting.diff_v in " + wrong_type.path()},
        {{"--settings", duplicate.path(), "--simulate"}, 9, "dcSetting[0].data_id"},
        {{"--settings", missing_rc.path(), "--simulate"}, 5, "\"rcSetting\" is missing"},
    };
    for (const Case& c : cases) {
        const HostRun r = run_host(c.args, std::chrono::seconds(30));
        EXPECT_EQ(r.code, c.code) << c.says << "\n" << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }

    // --keys and --help list every key, channel numbers counting from 0.
    for (const char* opt : {"--keys", "--help"}) {
        Process keys({ZRT_HOST_BIN, opt});
        EXPECT_EQ(keys.wait(30s), 0) << opt;
        for (const char* key : {"channel_N_f", "ia_alert", "zrt4600a-dc", "count from 0"})
            EXPECT_NE(keys.out().find(key), std::string::npos) << opt << " " << key << "\n" << keys.out();
    }

    // One host holds the line and the history file: a second one is refused both, a
    // reader answers from the stored images meanwhile.
    Sim sim(plant.path(), kBaud);
    TempFile db("codes.db");
    Process first(host_argv({"--settings", good.path(), "--port", sim.port(), "--history", db.path()}));
    ASSERT_TRUE(wait_for(first, is_event("cycle"), 60s).isObject()) << first.err();
    const HostRun port_taken = run_host({"--settings", good.path(), "--port", sim.port(), "--cycles", "1"});
    EXPECT_EQ(port_taken.code, 4) << port_taken.err;
    EXPECT_NE(port_taken.err.find("the port " + sim.port() + " is in use by another process"), std::string::npos)
        << port_taken.err;
    const HostRun db_taken = run_host({"--settings", good.path(), "--simulate", "--history", db.path(), "--cycles", "1"});
    EXPECT_EQ(db_taken.code, 6) << db_taken.err;
    EXPECT_NE(db_taken.err.find(db.path() + " is in use by another writer"), std::string::npos) << db_taken.err;
    const HostRun reader =
        run_host({"--settings", good.path(), "--history", db.path(), "--cycles", "0", "--query", "21:v"});
    EXPECT_EQ(reader.code, 0) << reader.err;
    ASSERT_EQ(reader.of("value").size(), 1u) << reader.err;
    const Json::Value v = reader.of("value")[0];
    EXPECT_FLOAT_EQ(v["value"].asFloat(), 53.25f);
    EXPECT_EQ(v["source"].asString(), "stored");
    EXPECT_TRUE(v.isMember("stored_time")) << write_json(v);
    EXPECT_GE(v["age_s"].asDouble(), 0.0);
    EXPECT_LT(v["age_s"].asDouble(), 120.0);
    // Without --cycles a signal ends the run in order: exit 0 after the stop event.
    first.signal(SIGTERM);
    EXPECT_EQ(first.wait(30s), 0) << first.err();
    ASSERT_FALSE(first.events().empty());
    EXPECT_EQ(first.events().back()["event"].asString(), "stop");

    // Interrupted before the cycles asked for: 10, still after its stop event.
    Process cut(host_argv({"--settings", good.path(), "--port", sim.port(), "--cycles", "50"}));
    ASSERT_TRUE(wait_for(cut, is_event("cycle"), 60s).isObject()) << cut.err();
    cut.signal(SIGTERM);
    EXPECT_EQ(cut.wait(30s), 10) << cut.err();
    ASSERT_FALSE(cut.events().empty());
    EXPECT_EQ(cut.events().back()["event"].asString(), "stop");
    EXPECT_EQ(cut.events().back()["reason"].asString(), "terminated");

    // The line fails and its path is no serial device any more: 1.
    const std::string link = ::testing::TempDir() + "zrt_codes_link_" + std::to_string(::getpid());
    auto gone = std::make_unique<Sim>(plant.path(), kBaud, std::vector<std::string>{"--link", link});
    Process failing(host_argv({"--settings", good.path(), "--port", link}));
    ASSERT_TRUE(wait_for(failing, is_event("cycle"), 60s).isObject()) << failing.err();
    gone.reset();  // SIGKILL: the link stays, pointing nowhere
    ::unlink(link.c_str());
    ASSERT_EQ(::symlink("/dev/null", link.c_str()), 0);
    EXPECT_EQ(failing.wait(60s), 1) << failing.err();
    EXPECT_NE(failing.err().find("the port " + link + " is no serial device"), std::string::npos) << failing.err();
    ::unlink(link.c_str());
}

TEST(HostLine, AKilledSimulatorIsReportedLostWithinTheSilenceAndUpAgainAfterItsRestart) {
    const double kSilence = 4;
    TempFile plant("line_plant.json", write_json(small_plant()));
    TempFile settings("line_settings.json", write_json(site_settings(kSilence)));
    const std::string link = ::testing::TempDir() + "zrt_line_link_" + std::to_string(::getpid());
    auto sim = std::make_unique<Sim>(plant.path(), kBaud, std::vector<std::string>{"--link", link});
    Process host(host_argv({"--settings", settings.path(), "--port", link, "--cycles", "4", "--query", "21:v"}));
    ASSERT_TRUE(wait_for(host, is_event("cycle"), 60s).isObject()) << host.err();

    sim.reset();  // killed mid-run
    const auto killed = std::chrono::steady_clock::now();
    const Json::Value lost = wait_for(host, is_line("lost"), 60s);
    ASSERT_TRUE(lost.isObject()) << dump(host.events(), host.err());
    const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - killed).count();
    // The silence, plus at most one cycle (2 s pause and the cycle's bytes), plus slack for a busy machine.
    EXPECT_LT(waited, kSilence + 2 + 6) << write_json(lost);
    EXPECT_GE(lost["silence_s"].asDouble(), kSilence);
    EXPECT_EQ(lost["since"].asString(), lost["last_reply"].asString());
    EXPECT_EQ(lost["port"].asString(), link);
    EXPECT_EQ(lost["time"].asString().size(), 24u);  // 2026-12-08T23:19:33.123Z

    sim = std::make_unique<Sim>(plant.path(), kBaud, std::vector<std::string>{"--link", link});
    ASSERT_TRUE(wait_for(host, is_line("up"), 60s).isObject()) << dump(host.events(), host.err());
    EXPECT_EQ(host.wait(90s), 0) << host.err();

    const auto events = host.events();
    int raised = 0, cleared = 0, lost_events = 0;
    for (const Json::Value& e : events) {
        EXPECT_TRUE(e.isMember("time")) << write_json(e);
        if (e["event"] == "alarm" && e["key"] == "line_lost") {
            EXPECT_EQ(e["signal_id"].asString(), "99001");
            EXPECT_NE(e["instance"].asString().find(link), std::string::npos);
            (e["state"] == "raised" ? raised : cleared)++;
        }
        if (e["event"] == "line" && e["state"] == "lost") ++lost_events;
    }
    EXPECT_EQ(raised, 1) << dump(events, host.err());
    EXPECT_EQ(cleared, 1);
    EXPECT_EQ(lost_events, 1);
    ASSERT_FALSE(events.empty());
    const Json::Value value = events[events.size() - 2];
    EXPECT_EQ(value["event"].asString(), "value");
    EXPECT_EQ(value["source"].asString(), "cycle");
    EXPECT_EQ(value["cycle"].asUInt(), 4u);
    ::unlink(link.c_str());
}

TEST(HostAlarms, AnAlarmThatClearedWhileTheHostWasDownIsReportedClearedAfterTheRestart) {
    Json::Value faulty = small_plant();
    faulty["rc"]["modules"] = parse_json(R"([{"value": 10.5}, {"value": 10.5}, {"value": 10.5, "fault": 1},
                                             {"value": 10.5}])");
    TempFile faulty_plant("restore_faulty.json", write_json(faulty));
    TempFile clean_plant("restore_clean.json", write_json(small_plant()));
    TempFile settings("restore_settings.json", write_json(site_settings(3)));
    TempFile db("restore.db");

    // First run: a module fault, then the line goes silent; the host stops with both raised.
    {
        auto sim = std::make_unique<Sim>(faulty_plant.path(), kBaud);
        Process host(host_argv({"--settings", settings.path(), "--port", sim->port(), "--history", db.path()}));
        ASSERT_TRUE(wait_for(host, is_event("cycle"), 60s).isObject()) << host.err();
        sim.reset();
        ASSERT_TRUE(wait_for(host, is_line("lost"), 60s).isObject()) << host.err();
        host.signal(SIGINT);
        ASSERT_EQ(host.wait(30s), 0) << host.err();
    }
    // Second run on a plant without the fault: both come back restored and clear after the
    // first cycle, before its cycle line.
    Sim sim(clean_plant.path(), kBaud);
    const HostRun r =
        run_host({"--settings", settings.path(), "--port", sim.port(), "--history", db.path(), "--cycles", "1"});
    ASSERT_EQ(r.code, 0) << r.err;
    std::vector<std::string> seen;
    for (const Json::Value& e : r.events) {
        if (e["event"] == "alarm") seen.push_back(e["key"].asString() + " " + e["state"].asString());
        if (e["event"] == "cycle") seen.push_back("cycle");
    }
    auto at = [&seen](const std::string& what) {
        return std::find(seen.begin(), seen.end(), what) - seen.begin();
    };
    const auto end = static_cast<long>(seen.size());
    for (const char* key : {"RC_0", "line_lost"}) {
        EXPECT_LT(at(std::string(key) + " restored"), at("cycle")) << key << "\n" << dump(r.events, r.err);
        EXPECT_LT(at(std::string(key) + " cleared"), at("cycle")) << key;
        EXPECT_LT(at(std::string(key) + " restored"), at(std::string(key) + " cleared")) << key;
        EXPECT_LT(at(std::string(key) + " cleared"), end) << key;
    }
    // Nothing is left to restore a third time.
    const HostRun again =
        run_host({"--settings", settings.path(), "--port", sim.port(), "--history", db.path(), "--cycles", "1"});
    ASSERT_EQ(again.code, 0) << again.err;
    for (const Json::Value& e : again.of("alarm")) EXPECT_NE(e["state"].asString(), "restored") << write_json(e);
}

TEST(HostConfig, AScreenCountThePlantContradictsIsReportedOnceWithBothCounts) {
    Json::Value two = small_plant();
    two["ac"].append(two["ac"][0]);
    TempFile plant("config_plant.json", write_json(two));
    TempFile settings("config_settings.json", write_json(site_settings()));
    Sim sim(plant.path(), kBaud);
    Process host(host_argv({"--settings", settings.path(), "--port", sim.port(), "--cycles", "1"}));
    const Json::Value c = wait_for(host, is_event("config"), 60s);
    ASSERT_TRUE(c.isObject()) << dump(host.events(), host.err());
    EXPECT_EQ(c["check"].asString(), "ac_number");
    EXPECT_EQ(c["expected"].asString(), "1");
    EXPECT_EQ(c["reported"].asString(), "2");
    host.signal(SIGTERM);
    EXPECT_EQ(host.wait(30s), 10) << host.err();  // no cycle could complete
    int configs = 0, logs = 0;
    for (const Json::Value& e : host.events()) {
        configs += e["event"] == "config";
        if (e["event"] == "log" && e["text"].asString().find("read ac_number is 2") != std::string::npos) ++logs;
    }
    EXPECT_EQ(configs, 1);
    // The repeated line shows once, then (at the end) once more with its count.
    EXPECT_LE(logs, 2);
}

TEST(HostQueries, AnAbsentValueAnswersNullWithItsReasonAndKeysListExactlyTheKeysThatAnswer) {
    Json::Value p = small_plant();
    p["ac"][0]["ic"] = Json::Value();  // the plant does not provide phase C current
    TempFile plant("absent_plant.json", write_json(p));
    TempFile settings("absent_settings.json", write_json(site_settings()));

    // Every key --keys lists, with N = 0; and keys that decode from an image but that the
    // value query does not answer.
    Process keys({ZRT_HOST_BIN, "--keys"});
    ASSERT_EQ(keys.wait(30s), 0);
    std::vector<std::string> listed, args{"--settings", settings.path(), "--cycles", "1"};
    std::string device;
    std::istringstream in(keys.out());
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("  zrt4600a-ac ", 0) == 0) device = "11";
        if (line.rfind("  zrt4600a-dc ", 0) == 0) device = "21";
        if (line.rfind("  zrt4600a-rc ", 0) == 0) device = "rc";
        if (line.rfind("    ", 0) != 0 || line[4] == '(' || line[4] == ' ') continue;
        std::string key = line.substr(4, line.find(' ', 4) - 4);
        for (size_t at; (at = key.find('N')) != std::string::npos;) key.replace(at, 1, "0");
        listed.push_back(device + ":" + key);
    }
    EXPECT_GE(listed.size(), 12u) << keys.out();
    // (A key holding channel_N_X anywhere answers as channel_N_X, as --keys says.) An
    // unlisted key is refused before polling starts, naming the key.
    const std::vector<std::string> unlisted = {"11:ia_alarm", "11:state_user_0", "21:volt_state", "21:fuse_0",
                                               "rc:module_0_value"};
    for (const std::string& q : unlisted) {
        const HostRun early = run_host({"--settings", settings.path(), "--port", "/nonexistent/ttyS9", "--query", q},
                                       std::chrono::seconds(20));
        EXPECT_EQ(early.code, 2) << q << "\n" << early.err;
        EXPECT_NE(early.err.find("--query " + q + ": a zrt4600a-"), std::string::npos) << early.err;
        EXPECT_TRUE(early.of("value").empty()) << q;
    }
    for (const std::string& q : listed) args.insert(args.end(), {"--query", q});
    Sim sim(plant.path(), kBaud);
    args.insert(args.end(), {"--port", sim.port(), "--baud", std::to_string(kBaud)});
    const HostRun r = run_host(args);
    EXPECT_EQ(r.code, 0) << "every listed key answers\n" << r.err;
    std::map<std::string, Json::Value> answers;
    for (const Json::Value& v : r.of("value")) answers[v["device"].asString() + ":" + v["key"].asString()] = v;
    for (const std::string& q : listed) {
        ASSERT_EQ(answers.count(q), 1u) << q;
        EXPECT_FALSE(answers[q].isMember("error")) << q << " is listed but refused: " << write_json(answers[q]);
    }
    // The absent phase current: null with its reason, never the -0.1 the device keeps.
    const Json::Value ic = answers["11:ic"];
    ASSERT_TRUE(ic.isMember("value")) << write_json(ic);
    EXPECT_TRUE(ic["value"].isNull()) << write_json(ic);
    EXPECT_NE(ic["reason"].asString().find("does not provide"), std::string::npos) << write_json(ic);
    EXPECT_FLOAT_EQ(answers["11:ia"]["value"].asFloat(), 35.25f);
    EXPECT_FLOAT_EQ(answers["11:channel_0_a"]["value"].asFloat(), 221.5f);
}

TEST(HostQueries, ASilentLineEndsCyclesNWithItsOwnExitCodeAndNamesTheCommandThatGotNoReply) {
    TempFile plant("silent_plant.json", write_json(small_plant()));
    Json::Value s = site_settings();
    TempFile settings("silent_settings.json", write_json(s));
    Sim sim(plant.path(), kBaud);
    sim.process().signal(SIGSTOP);  // attached, but it answers nothing
    const auto start = std::chrono::steady_clock::now();
    const HostRun r = run_host({"--settings", settings.path(), "--port", sim.port(), "--baud", std::to_string(kBaud),
                                "--cycles", "2", "--give-up", "4"});
    sim.process().signal(SIGCONT);
    EXPECT_EQ(r.code, 11) << r.err;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
    EXPECT_NE(r.err.find("no complete cycle in 4 s"), std::string::npos) << r.err;
    // The first command of a cycle asks for the model: CID1 40, CID2 51, the settings' address.
    EXPECT_NE(r.err.find("no reply in time to 40_51 from address 1 on " + sim.port()), std::string::npos) << r.err;
    ASSERT_EQ(r.of("stop").size(), 1u);
    EXPECT_EQ(r.of("stop")[0]["reason"].asString(), "no complete cycle in 4 s");
}

TEST(HostQueries, HelpNamesTheCommandsAndASettingsFileWithATrailingCommaIsRefused) {
    Process help({ZRT_HOST_BIN, "--help"});
    EXPECT_EQ(help.wait(30s), 0);
    for (const char* text : {"zrt4600a-host export --history", "zrt4600a-host report --history", "--give-up", " 11 ",
                             " 12 "})
        EXPECT_NE(help.out().find(text), std::string::npos) << text << "\n" << help.out();

    TempFile trailing("trailing.json", R"({"device_type": "zrt4600a", "data_id": 1,
      "acSetting": [{"data_id": 11}], "dcSetting": [{"data_id": 21}], "rcSetting": {},})");
    const HostRun r = run_host({"--settings", trailing.path(), "--simulate", "--cycles", "1"}, 30s);
    EXPECT_EQ(r.code, 2) << r.err;
    EXPECT_NE(r.err.find(trailing.path()), std::string::npos) << r.err;
}

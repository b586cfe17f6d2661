// Two power systems on one line: the host and a two-system plant as separate processes over
// a pty. One system falls silent after its first cycle; the other keeps its cycles, and only
// the silent one's line goes lost.
#include <map>

#include <gtest/gtest.h>

#include "e2e_util.h"

using namespace e2e;
using namespace std::chrono_literals;

namespace {

constexpr int kBaud = 115200;
constexpr int kReplyTimeoutMs = 300;
constexpr int kCycleCommands = 11;

Json::Value two_systems() {
    Json::Value s = parse_json(R"({
      "device_type": "zrt4600a", "line_timeout_s": 4,
      "systems": [
        {"address": 1, "name": "north", "data_id": 1,
         "acSetting": [{"data_id": 11}], "dcSetting": [{"data_id": 21}], "rcSetting": {}},
        {"address": 2, "data_id": 2,
         "acSetting": [{"data_id": 12}], "dcSetting": [{"data_id": 22}], "rcSetting": {}}]
    })");
    s["reply_timeout_ms"] = kReplyTimeoutMs;
    return s;
}

// Both systems answer their own address; the one at address 2 stops answering from its
// second cycle on.
Json::Value two_plants() {
    Json::Value north = small_plant();
    north["address"] = 1;
    Json::Value south = small_plant();
    south["address"] = 2;
    south["random_faults"] = parse_json(R"({"rate": 1.0, "kinds": ["no_reply"], "from_cycle": 2})");
    Json::Value p;
    p["reply_delay_ms"] = 2;
    p["systems"].append(north);
    p["systems"].append(south);
    return p;
}

std::string dump(const HostRun& r) {
    std::string s = "exit " + std::to_string(r.code) + "\n";
    for (const Json::Value& e : r.events) s += write_json(e) + "\n";
    return s + "stderr:\n" + r.err;
}

}  // namespace

TEST(SeveralSystems, ASilentSystemDelaysTheOtherByNoMoreThanItsTimeOutsAndIsTheOnlyOneLost) {
    TempFile plant("two_plant.json", write_json(two_plants()));
    TempFile settings("two_settings.json", write_json(two_systems()));
    Sim sim(plant.path(), kBaud);
    const HostRun r = run_host({"--settings", settings.path(), "--port", sim.port(), "--baud", std::to_string(kBaud),
                                "--cycles", "4", "--give-up", "40", "--query", "22:v", "--query", "21:v"},
                               90s);
    ASSERT_EQ(r.code, 0) << dump(r);
    EXPECT_TRUE(r.bad_lines.empty());

    // The start names both systems; events of a system carry its name, else its address.
    const auto starts = r.of("start");
    ASSERT_EQ(starts.size(), 1u);
    ASSERT_EQ(starts[0]["systems"].size(), 2u) << write_json(starts[0]);
    EXPECT_EQ(starts[0]["systems"][0]["system"].asString(), "north");
    EXPECT_EQ(starts[0]["systems"][1]["system"].asString(), "2");
    EXPECT_EQ(starts[0]["systems"][1]["data_id"].asUInt(), 2u);

    std::vector<Json::Value> north, south;
    for (const Json::Value& c : r.of("cycle")) {
        const std::string sys = c["system"].asString();
        ASSERT_TRUE(sys == "north" || sys == "2") << write_json(c);
        (sys == "north" ? north : south).push_back(c);
    }
    ASSERT_GE(north.size(), 4u) << dump(r);
    EXPECT_EQ(south.size(), 1u) << dump(r);  // its first cycle, before it fell silent
    EXPECT_EQ(south[0]["timeouts"].asUInt(), 0u);
    // Each of north's cycles takes no longer than a healthy one plus a time-out for each
    // command of a cycle, which is what the silent system can cost it at most.
    const double own = north[0]["duration_ms"].asDouble();
    for (const Json::Value& c : north) {
        EXPECT_EQ(c["timeouts"].asUInt(), 0u) << write_json(c);
        EXPECT_LE(c["duration_ms"].asDouble(), own + kCycleCommands * (kReplyTimeoutMs + 50) + 500.0)
            << write_json(c);
    }

    // Only the silent system's line went lost, under its own name, with its own alarm.
    bool south_lost = false;
    for (const Json::Value& l : r.of("line")) {
        EXPECT_EQ(l["system"].asString(), "2") << write_json(l);
        if (l["state"].asString() == "lost") south_lost = true;
    }
    EXPECT_TRUE(south_lost) << dump(r);
    int lost_alarms = 0;
    for (const Json::Value& a : r.of("alarm"))
        if (a["key"].asString() == "line_lost" && a["state"].asString() == "raised") {
            ++lost_alarms;
            EXPECT_EQ(a["data_id"].asUInt(), 2u);
            EXPECT_EQ(a["system"].asString(), "2");
            EXPECT_NE(a["instance"].asString().find("地址2"), std::string::npos) << write_json(a);
        }
    EXPECT_EQ(lost_alarms, 1) << dump(r);

    // Images carry their system too, found through their data id.
    bool north_image = false, south_image = false;
    for (const Json::Value& p : r.of("publish")) {
        if (p["data_id"].asUInt() == 11) north_image = p["system"].asString() == "north";
        if (p["data_id"].asUInt() == 12) south_image = p["system"].asString() == "2";
    }
    EXPECT_TRUE(north_image && south_image) << dump(r);
    // A query finds its device in whichever system holds it; the silent system's screen
    // answers from its one cycle.
    std::map<std::string, Json::Value> values;
    for (const Json::Value& v : r.of("value")) values[v["device"].asString()] = v;
    EXPECT_EQ(values["22"]["system"].asString(), "2");
    EXPECT_EQ(values["22"]["cycle"].asUInt(), 1u);
    EXPECT_FLOAT_EQ(values["22"]["value"].asFloat(), 53.25f);
    EXPECT_EQ(values["21"]["system"].asString(), "north");
    EXPECT_GE(values["21"]["cycle"].asUInt(), 4u);

    // --address names one system's address: with a list it is refused as a usage error.
    const HostRun address = run_host({"--settings", settings.path(), "--port", sim.port(), "--address", "3",
                                      "--cycles", "1"},
                                     20s);
    EXPECT_EQ(address.code, 2) << dump(address);
    EXPECT_NE(address.err.find("--address"), std::string::npos) << address.err;
    EXPECT_NE(address.err.find("systems"), std::string::npos) << address.err;
}

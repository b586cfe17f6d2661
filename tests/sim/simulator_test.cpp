#include <unistd.h>

#include <fstream>

#include <gtest/gtest.h>

#include "sim/simulator.h"
#include "sim_test_util.h"

using namespace sim_test;
using zrt::sim::Fault;

namespace {

// Two AC screens (one and two channels), three modules, two DC screens, and every list
// that has a count in the reply filled, so that each count is walked.
const char* kPlant = R"({
  "model": "zrt4600a",
  "ac": [
    {"channels": [{"a": 230.5, "b": 231, "c": 229, "f": 50}], "ia": 10.5, "ib": null, "ic": 12},
    {"channels": [{"a": 1, "b": 2, "c": 3, "f": 4, "b_alert": 2}, {"a": 5, "b": 6, "c": 7, "f": 8, "f_alert": 1}],
     "ia": 1, "ib": 2, "ic": 3, "ic_alert": 3, "state_user": [4, 5, 6]}
  ],
  "rc": {"group_value": 53.5, "module_count": 3, "modules": [{"value": 10.0, "fault": 1}]},
  "dc": [
    {"v": 53.5, "i": 100, "dc_m": [1, 2], "dc_n": [3, 4, 5], "user_p": [null], "volt_state": 1, "alert_p": [7, 8]},
    {"v": 48, "i": 20}
  ],
  "ac_param": [1, 2, 3, 4, 5], "ac_user_param": [9, 10],
  "dc_param": [6, 7], "dc_user_param": [1, 2, 3, 4, 5]
})";

Bytes absent() { return Bytes(4, zrt::sim::kNoValueByte); }
Bytes at4(const Bytes& b, size_t at) { return Bytes(b.begin() + at, b.begin() + at + 4); }

}  // namespace

TEST(Simulator, RepliesCarryTheLayoutsThePluginWalks) {
    auto sim = simulator(json(kPlant));

    Bytes model = info_of(*sim, 0x40, 0x51);
    ASSERT_EQ(model.size(), 20u);
    EXPECT_EQ(std::string(model.begin(), model.begin() + 8), "zrt4600a");
    EXPECT_EQ(model[8], 0);
    EXPECT_EQ(model[19], 0);

    // 40_41: DATAFLAG, M, per screen n, 17 bytes per channel, ia ib ic.
    Bytes ac = info_of(*sim, 0x40, 0x41);
    ASSERT_EQ(ac.size(), 2u + (1 + 17 + 12) + (1 + 2 * 17 + 12));
    EXPECT_EQ(ac[1], 2);
    EXPECT_EQ(ac[2], 1);
    EXPECT_FLOAT_EQ(f32(ac, 3), 230.5f);
    EXPECT_FLOAT_EQ(f32(ac, 15), 50.0f);
    EXPECT_EQ(ac[19], 0);  // no user analogue values
    EXPECT_FLOAT_EQ(f32(ac, 20), 10.5f);
    EXPECT_EQ(at4(ac, 24), absent());
    EXPECT_EQ(ac[32], 2);  // second screen's channel count
    EXPECT_FLOAT_EQ(f32(ac, 33 + 17 + 12), 8.0f);

    // 40_43: DATAFLAG, M, per screen m = 0, P = 3, three states.
    Bytes sw = info_of(*sim, 0x40, 0x43);
    ASSERT_EQ(sw, (Bytes{sw[0], 2, 0, 3, 0, 0, 0, 0, 3, 4, 5, 6}));

    // 40_44: DATAFLAG, M, per screen n, per channel 4 states, m = 0, P = 8, 8 bytes; then
    // the three current states.
    Bytes al = info_of(*sim, 0x40, 0x44);
    ASSERT_EQ(al.size(), 2u + (1 + 14 + 3) + (1 + 2 * 14 + 3));
    EXPECT_EQ(al[2], 1);
    EXPECT_EQ(al[7], 0);
    EXPECT_EQ(al[8], 8);
    EXPECT_EQ(al[20], 2);
    EXPECT_EQ(Bytes(al.begin() + 21, al.begin() + 25), (Bytes{0, 2, 0, 0}));
    EXPECT_EQ(Bytes(al.begin() + 35, al.begin() + 39), (Bytes{0, 0, 0, 1}));
    EXPECT_EQ(al[51], 3);

    // 41_41: DATAFLAG, group value, M, per module value, P = 4, 4 values. module_count
    // filled the group with copies of the last module listed.
    Bytes rc = info_of(*sim, 0x41, 0x41);
    ASSERT_EQ(rc.size(), 6u + 3 * 21);
    EXPECT_FLOAT_EQ(f32(rc, 1), 53.5f);
    EXPECT_EQ(rc[5], 3);
    EXPECT_EQ(rc[10], 4);
    EXPECT_FLOAT_EQ(f32(rc, 6 + 2 * 21), 10.0f);

    Bytes rs = info_of(*sim, 0x41, 0x43);
    ASSERT_EQ(rs.size(), 2u + 3 * 5);
    EXPECT_EQ(rs[5], 1);  // P after the three states

    Bytes ra = info_of(*sim, 0x41, 0x44);
    ASSERT_EQ(ra.size(), 2u + 3 * 6);
    EXPECT_EQ(ra[1], 3);
    EXPECT_EQ(ra[2], 1);
    EXPECT_EQ(ra[3], 4);
    EXPECT_EQ(ra[2 + 2 * 6], 1);

    // 42_41: DATAFLAG, M, per screen v, i, dc_m + values, dc_n + values, p + values.
    Bytes dc = info_of(*sim, 0x42, 0x41);
    ASSERT_EQ(dc.size(), 2u + (8 + 1 + 8 + 1 + 12 + 1 + 4) + (8 + 3));
    EXPECT_FLOAT_EQ(f32(dc, 2), 53.5f);
    EXPECT_FLOAT_EQ(f32(dc, 6), 100.0f);
    EXPECT_EQ(dc[10], 2);
    EXPECT_EQ(dc[19], 3);
    EXPECT_FLOAT_EQ(f32(dc, 28), 5.0f);
    EXPECT_EQ(dc[32], 1);
    EXPECT_EQ(at4(dc, 33), absent());
    EXPECT_FLOAT_EQ(f32(dc, 37), 48.0f);

    // 42_44: DATAFLAG, M, per screen volt_state, 64 + fuses, p + bytes.
    Bytes da = info_of(*sim, 0x42, 0x44);
    ASSERT_EQ(da.size(), 2u + (1 + 65 + 3) + (1 + 65 + 1));
    EXPECT_EQ(da[2], 1);
    EXPECT_EQ(da[3], 64);
    EXPECT_EQ(Bytes(da.begin() + 68, da.begin() + 71), (Bytes{2, 7, 8}));
    EXPECT_EQ(da[72], 64);

    Bytes ap = info_of(*sim, 0x40, 0x46);
    ASSERT_EQ(ap.size(), 21u + 2 * 4);
    EXPECT_FLOAT_EQ(f32(ap, 16), 5.0f);
    EXPECT_EQ(ap[20], 2);
    EXPECT_FLOAT_EQ(f32(ap, 25), 10.0f);

    Bytes dp = info_of(*sim, 0x42, 0x46);
    ASSERT_EQ(dp.size(), 29u);
    EXPECT_FLOAT_EQ(f32(dp, 4), 7.0f);
    EXPECT_EQ(dp[8], 5);
    EXPECT_FLOAT_EQ(f32(dp, 25), 5.0f);
}

TEST(Simulator, DataflagReportsChangesSinceTheyWereLastRead) {
    Json::Value doc = json(kPlant);
    doc["steps"] = json(R"([{"cycle": 2, "set": {"rc.modules[1].state[0]": 1}},
                            {"cycle": 3, "set": {"dc[1].volt_state": 2, "ac[0].ia_alert": 1}}])");
    auto sim = simulator(doc);
    auto flag = [&sim](uint8_t c1, uint8_t c2) { return info_of(*sim, c1, c2)[0]; };

    // Nothing read yet: everything counts as changed (the DC distribution has no switches).
    EXPECT_EQ(flag(0x40, 0x41), 0x11);
    EXPECT_EQ(flag(0x41, 0x41), 0x11);
    EXPECT_EQ(flag(0x42, 0x41), 0x01);
    info_of(*sim, 0x40, 0x44);
    info_of(*sim, 0x41, 0x43);
    info_of(*sim, 0x41, 0x44);
    info_of(*sim, 0x42, 0x44);

    // Cycle 2: the AC switch states were never read; a rectifier switch state changed.
    EXPECT_EQ(flag(0x40, 0x41), 0x10);
    EXPECT_EQ(flag(0x41, 0x41), 0x10);
    EXPECT_EQ(flag(0x42, 0x41), 0x00);
    info_of(*sim, 0x40, 0x43);
    info_of(*sim, 0x41, 0x43);

    // Cycle 3: alarm states changed in AC and DC; the rectifier switch change was read.
    EXPECT_EQ(flag(0x40, 0x41), 0x01);
    EXPECT_EQ(flag(0x41, 0x41), 0x00);
    EXPECT_EQ(flag(0x42, 0x41), 0x01);
}

TEST(Simulator, ScriptedStepsChangeThePlantAtTheStartOfTheirCycle) {
    Json::Value doc = json(kPlant);
    doc["steps"] = json(R"([{"cycle": 3, "set": {"ac[0].channels[0].a_alert": 0}},
                            {"cycle": 2, "set": {"ac[0].channels[0].a_alert": 1, "rc.modules[2].fault": 0}}])");
    auto sim = simulator(doc);
    auto* plant = dynamic_cast<zrt::sim::PlantResponder*>(&sim->responder());
    ASSERT_NE(plant, nullptr);
    auto a_alert = [&sim] { return info_of(*sim, 0x40, 0x44)[3]; };

    info_of(*sim, 0x40, 0x51);
    EXPECT_EQ(plant->cycle(), 0);
    info_of(*sim, 0x40, 0x41);
    info_of(*sim, 0x40, 0x41);  // the same command again is no new cycle
    EXPECT_EQ(plant->cycle(), 1);
    EXPECT_EQ(a_alert(), 0);
    info_of(*sim, 0x41, 0x41);  // after the AC commands: still cycle 1
    EXPECT_EQ(plant->cycle(), 1);
    EXPECT_EQ(info_of(*sim, 0x41, 0x44)[2 + 2 * 6], 1);
    info_of(*sim, 0x42, 0x46);

    info_of(*sim, 0x40, 0x41);
    EXPECT_EQ(plant->cycle(), 2);
    EXPECT_EQ(a_alert(), 1);
    EXPECT_EQ(info_of(*sim, 0x41, 0x44)[2 + 2 * 6], 0);
    info_of(*sim, 0x42, 0x46);

    // A host without AC screens starts its cycles with 41_41.
    info_of(*sim, 0x41, 0x41);
    EXPECT_EQ(plant->cycle(), 3);
    EXPECT_EQ(a_alert(), 0);
}

TEST(Simulator, EachFaultReachesTheHostAsDescribed) {
    auto faulted = [](const char* kind) {
        Json::Value doc = json(kPlant);
        doc["faults"] = json(std::string(R"([{"command": "41_41", "kind": ")") + kind + "\"}]");
        return simulator(doc);
    };
    const Bytes clean = info_of(*simulator(json(kPlant)), 0x41, 0x41);

    {
        auto sim = faulted("bad_chksum");
        HostEar ear;
        Heard h = ear.ask(*sim, 0x41, 0x41);
        EXPECT_TRUE(h.frames.empty());
        EXPECT_EQ(h.stats.bad_checksum, 1u);
        // Only the named number of replies is faulted.
        EXPECT_EQ(ear.ask(*sim, 0x41, 0x41).frames.size(), 1u);
    }
    {
        HostEar ear;
        Heard h = ear.ask(*faulted("bad_lchksum"), 0x41, 0x41);
        EXPECT_TRUE(h.frames.empty());
        EXPECT_EQ(h.stats.bad_lchksum, 1u);
        EXPECT_EQ(h.stats.bad_checksum, 0u);
    }
    {
        auto sim = faulted("truncated");
        HostEar ear;
        Heard h = ear.ask(*sim, 0x41, 0x41);
        EXPECT_TRUE(h.frames.empty());
        EXPECT_NE(h.bytes.back(), '\r');
        Heard next = ear.ask(*sim, 0x41, 0x41);
        EXPECT_EQ(next.stats.truncated, 1u);
        ASSERT_EQ(next.frames.size(), 1u);
    }
    {
        HostEar ear;
        Heard h = ear.ask(*faulted("garbage"), 0x41, 0x41);
        EXPECT_GT(h.stats.garbage, 0u);
        ASSERT_EQ(h.frames.size(), 1u);
        EXPECT_EQ(h.frames[0].info, clean);
    }
    {
        HostEar ear;
        Heard h = ear.ask(*faulted("wrong_cid1"), 0x41, 0x41);
        ASSERT_EQ(h.frames.size(), 1u);
        EXPECT_EQ(h.frames[0].cid1, 0x42);
    }
    {
        HostEar ear;
        Heard h = ear.ask(*faulted("wrong_count"), 0x41, 0x41);
        ASSERT_EQ(h.frames.size(), 1u);
        Bytes expect = clean;
        expect[5] = 4;  // three modules reported as four
        EXPECT_EQ(h.frames[0].info, expect);
    }
    {
        HostEar ear;
        EXPECT_TRUE(ear.ask(*faulted("no_reply"), 0x41, 0x41).bytes.empty());
    }
    {
        HostEar ear;
        Heard h = ear.ask(*faulted("rtn"), 0x41, 0x41);
        ASSERT_EQ(h.frames.size(), 1u);
        EXPECT_EQ(h.frames[0].cid2, 0x04);
        EXPECT_EQ(h.frames[0].info, clean);
        Heard empty = ear.ask(*faulted("rtn_empty"), 0x41, 0x41);
        ASSERT_EQ(empty.frames.size(), 1u);
        EXPECT_EQ(empty.frames[0].cid2, 0x04);
        EXPECT_TRUE(empty.frames[0].info.empty());
    }
}

TEST(Simulator, AFaultedAlarmReplyIsNotARead) {
    Json::Value doc = json(kPlant);
    doc["faults"] = json(R"([{"command": "41_44", "kind": "no_reply", "cycle": 1}])");
    auto sim = simulator(doc);
    info_of(*sim, 0x41, 0x41);
    HostEar ear;
    EXPECT_TRUE(ear.ask(*sim, 0x41, 0x44).bytes.empty());
    EXPECT_EQ(info_of(*sim, 0x41, 0x41)[0] & 0x01, 0x01);  // the alarm states are still unread
    info_of(*sim, 0x41, 0x44);
    EXPECT_EQ(info_of(*sim, 0x41, 0x41)[0] & 0x01, 0x00);
}

TEST(Simulator, RandomFaultsFollowTheirSeed) {
    auto run = [](uint32_t seed, double rate, const char* kinds) {
        Json::Value doc = json(kPlant);
        doc["random_faults"] = json(R"({"kinds": )" + std::string(kinds) + "}");
        doc["random_faults"]["rate"] = rate;
        doc["random_faults"]["seed"] = seed;
        auto sim = simulator(doc);
        std::string out;
        for (int k = 0; k < 60; ++k)
            for (zrt::sim::Command c : zrt::sim::kCycleCommands) {
                sim->feed(command_frame(c >> 8, c & 0xFF));
                out += sim->take_output() + "|";
            }
        return std::make_pair(out, sim->stats().faults);
    };
    const auto a = run(7, 0.2, "[]");
    EXPECT_EQ(a, run(7, 0.2, "[]"));
    EXPECT_NE(a.first, run(8, 0.2, "[]").first);
    EXPECT_GT(a.second, 0u);
    EXPECT_LT(a.second, 60u * 11);
    EXPECT_EQ(run(7, 0.0, "[]").second, 0u);
    // A wrong count fits only the replies that carry a count: 8 of the 11 commands.
    EXPECT_EQ(run(7, 1.0, R"(["wrong_count"])").second, 60u * 8);
}

TEST(Simulator, UnknownCommandsGetAnErrorReturnCode) {
    auto sim = simulator(json(kPlant));
    HostEar ear;
    Heard h = ear.ask(*sim, 0x40, 0x99);
    ASSERT_EQ(h.frames.size(), 1u);
    EXPECT_EQ(h.frames[0].cid2, 0x04);
    EXPECT_TRUE(h.frames[0].info.empty());
    h = ear.ask(*sim, 0x47, 0x41);
    ASSERT_EQ(h.frames.size(), 1u);
    EXPECT_EQ(h.frames[0].cid2, 0x03);
}

TEST(Simulator, PlantFilesAreCheckedWhenLoaded) {
    auto error_of = [](const std::string& text) -> std::string {
        try {
            zrt::sim::scenario_from_json(json(text));
        } catch (const zrt::sim::PlantError& e) {
            return e.what();
        }
        return "";
    };
    EXPECT_NE(error_of(R"({"ac": [{"channels": [{"a_alrt": 1}]}]})").find("ac[0].channels[0].a_alrt"),
              std::string::npos);
    EXPECT_NE(error_of(R"({"dc": [{"volt_state": 256}]})").find("dc[0].volt_state"), std::string::npos);
    EXPECT_NE(error_of(R"({"dc": [{"v": "high"}]})").find("dc[0].v"), std::string::npos);
    EXPECT_NE(error_of(R"({"model": "a model text longer than twenty"})").find("model"), std::string::npos);
    EXPECT_NE(error_of(R"({"rc": {"modules": [{"state": [1, 2]}]}})").find("state"), std::string::npos);
    // Step paths are tried when the file is loaded, not when the cycle comes.
    EXPECT_NE(error_of(R"({"steps": [{"cycle": 9, "set": {"ac[0].ia": 1}}]})").find("ac[0].ia"), std::string::npos);
    EXPECT_NE(error_of(R"({"faults": [{"command": "40_51", "kind": "wrong_count"}]})").find("no count"),
              std::string::npos);
    EXPECT_NE(error_of(R"({"faults": [{"command": "41_41", "kind": "bitrot"}]})").find("bitrot"), std::string::npos);
    EXPECT_NE(error_of(R"({"faults": [{"command": "4141", "kind": "rtn"}]})").find("4141"), std::string::npos);
    EXPECT_EQ(error_of(R"({"_note": "ignored", "rc": {"module_count": 2}})"), "");

    zrt::sim::Plant p = zrt::sim::plant_from_json(json(R"({"dc": [{}]})"));
    zrt::sim::set_field(p, "dc[0].fuses[63]", json("3"));
    EXPECT_EQ(p.dc[0].fuses[63], 3);
    zrt::sim::set_field(p, "dc[0].fuses", json("[3, 3]"));
    EXPECT_EQ(p.dc[0].fuses.size(), 2u);
    zrt::sim::set_field(p, "dc[0].v", json("null"));
    EXPECT_FALSE(p.dc[0].v.present);
    EXPECT_THROW(zrt::sim::set_field(p, "dc[0].fuses[2]", json("3")), zrt::sim::PlantError);
    EXPECT_THROW(zrt::sim::set_field(p, "dc[1].v", json("1")), zrt::sim::PlantError);
    EXPECT_THROW(zrt::sim::set_field(p, "dc[0].v[0]", json("1")), zrt::sim::PlantError);
}

// Whatever jsoncpp throws while a plant file is read or checked comes out as the plant
// error, naming the file: nesting past the parser's stack limit, and an integer that
// passes as integral but has no 64-bit signed value.
TEST(Simulator, PlantFilesTheParserThrowsOnAreNamedInTheError) {
    const std::string path = ::testing::TempDir() + "plant" + std::to_string(::getpid()) + ".json";
    auto error_of = [&path](const std::string& text) -> std::string {
        std::ofstream(path) << text;
        try {
            zrt::sim::load_scenario(path);
        } catch (const zrt::sim::PlantError& e) {
            return e.what();
        }
        return "";
    };
    const std::string deep = std::string(5000, '[') + std::string(5000, ']');
    const std::string nested = error_of(R"({"ac": )" + deep + "}");
    EXPECT_EQ(nested.rfind(path + ": ", 0), 0u) << nested;
    EXPECT_NE(nested.find("stackLimit"), std::string::npos) << nested;

    const std::string huge = error_of(R"({"dc": [{"volt_state": 18446744073709551615}]})");
    EXPECT_EQ(huge.rfind(path + ": ", 0), 0u) << huge;

    EXPECT_EQ(error_of(R"({"dc": [{"volt_state": 2}]})"), "");
    ::unlink(path.c_str());
}

TEST(Simulator, SeveralSystemsOnOneLineAnswerTheirOwnAddressesOnly) {
    Json::Value doc;
    doc["reply_delay_ms"] = 25;
    doc["systems"][0] = json(R"({"address": 2, "dc": [{"v": 48, "i": 1}]})");
    doc["systems"][1] = json(R"({"address": 7, "dc": [{"v": 54, "i": 2}, {"v": 55, "i": 3}], "reply_delay_ms": 40})");
    zrt::sim::LineScenario line = zrt::sim::line_scenario_from_json(doc);
    ASSERT_EQ(line.systems.size(), 2u);
    EXPECT_EQ(line.reply_delay_ms, 25);
    EXPECT_EQ(line.systems[1].second.reply_delay_ms, 40);
    zrt::sim::Simulator sim(std::move(line));

    devhost::Frame heard;
    int frames = 0;
    devhost::FrameDecoder ear([&](const devhost::Frame& f) {
        heard = f;
        ++frames;
    });
    auto ask = [&](uint8_t adr) {
        frames = 0;
        sim.feed(devhost::encode_frame(0x20, adr, 0x42, 0x41, nullptr, 0));
        const std::string out = sim.take_output();
        ear.feed(reinterpret_cast<const uint8_t*>(out.data()), out.size());
        return frames;
    };
    ASSERT_EQ(ask(7), 1);
    EXPECT_EQ(heard.adr, 7);
    EXPECT_EQ(heard.info[1], 2);  // its own two DC screens
    EXPECT_EQ(f32(heard.info, 2), 54.0f);
    ASSERT_EQ(ask(2), 1);
    EXPECT_EQ(heard.adr, 2);
    EXPECT_EQ(heard.info[1], 1);
    EXPECT_EQ(f32(heard.info, 2), 48.0f);
    EXPECT_EQ(ask(1), 0);  // nobody at address 1
    EXPECT_EQ(sim.stats().commands, 3u);
    EXPECT_EQ(sim.stats().replies, 2u);
    EXPECT_EQ(sim.responder_at(1), nullptr);

    // A plain plant answers every address, as before.
    zrt::sim::LineScenario single = zrt::sim::line_scenario_from_json(json(kPlant));
    ASSERT_EQ(single.systems.size(), 1u);
    EXPECT_EQ(single.systems[0].first, zrt::sim::LineScenario::kAnyAddress);

    auto error_of = [](const std::string& text) -> std::string {
        try {
            zrt::sim::line_scenario_from_json(json(text));
        } catch (const zrt::sim::PlantError& e) {
            return e.what();
        }
        return "";
    };
    EXPECT_NE(error_of(R"({"systems": [{"address": 1}, {"address": 1}]})").find("systems[1].address"),
              std::string::npos);
    EXPECT_NE(error_of(R"({"systems": [{"dc": []}]})").find("systems[0]"), std::string::npos);
    EXPECT_NE(error_of(R"({"systems": [{"address": 256}]})").find("systems[0].address"), std::string::npos);
    EXPECT_NE(error_of(R"({"systems": [{"address": 1, "dc": [{"v": "x"}]}]})").find("systems[0]: dc[0].v"),
              std::string::npos);
    EXPECT_NE(error_of(R"({"systems": [{"address": 1}], "rc": {}})").find("rc"), std::string::npos);
    EXPECT_NE(error_of(R"({"systems": []})").find("systems"), std::string::npos);
}

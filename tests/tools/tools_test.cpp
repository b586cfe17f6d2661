#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <regex>

#include <fstream>

#include <gtest/gtest.h>
#include <json/reader.h>
#include <sqlite3.h>
#include <unistd.h>

#include <sys/stat.h>

#include "ac/ac_records.h"
#include "dc/dc_records.h"
#include "tools/history/history_store.h"
#include "tools/app/host_app.h"
#include "tools/core/host_error.h"
#include "tools/view/image_view.h"
#include "tools/core/json_line.h"
#include "tools/view/output.h"
#include "tools/app/settings_check.h"
#include "tests/sim/sim_test_util.h"
#include "tools/app/plugin_loader.h"

using namespace zrt::host;

namespace {

Json::Value parse(const std::string& text) { return sim_test::json(text); }

std::vector<uint8_t> filled(uint8_t tag, size_t n) { return std::vector<uint8_t>(n, tag); }

ExitCode code_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const HostError& e) {
        return e.code();
    }
    return kExitOk;
}

}  // namespace

TEST(HistoryStore, KeepsTheNewestImagesOfEachDeviceWithinItsRetention) {
    const std::string path = ::testing::TempDir() + "history_" + std::to_string(::getpid()) + ".db";
    std::remove(path.c_str());
    {
        HistoryStore store(path, 3);
        for (uint8_t k = 1; k <= 5; ++k) store.save(11, "zrt4600a-ac", 5106, filled(k, 92));
        store.save(11, "zrt4600a-dc", 5108, filled(0xDC, 166));  // same id, another device
        store.save(1, "zrt4600a-rc", 5107, filled(0xEC, 65));

        const auto rows = store.rows(11, "zrt4600a-ac");
        ASSERT_EQ(rows.size(), 3u);
        EXPECT_EQ(rows[0].image, filled(3, 92));
        EXPECT_EQ(rows[2].image, filled(5, 92));
        EXPECT_EQ(rows[2].record_type, 5106);
        EXPECT_EQ(rows[2].time.size(), 24u);  // YYYY-MM-DDTHH:MM:SS.mmmZ
        EXPECT_EQ(store.last(11, "zrt4600a-dc"), filled(0xDC, 166));
        EXPECT_FALSE(store.last(12, "zrt4600a-ac").has_value());
    }
    {
        HistoryStore reopened(path, 3);
        EXPECT_EQ(reopened.last(11, "zrt4600a-ac"), filled(5, 92));
        EXPECT_EQ(reopened.last(1, "zrt4600a-rc"), filled(0xEC, 65));
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &st, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), "wal");
    sqlite3_finalize(st);
    sqlite3_close(db);
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str());

    EXPECT_EQ(code_of([] { HistoryStore("/nonexistent/dir/h.db", 1); }), kExitHistory);
}

TEST(JsonLines, EveryLineParsesAndKeepsItsText) {
    const std::string chinese = "交流屏1输入线/相电压AB/A";
    const std::string model_with_filler = std::string("zrt4600a\0\0\0", 11);
    const std::string nasty = "quote \" backslash \\ tab \t cr \r bell \x07 del \x7f";
    const std::string broken = "ok \xE4\xBA then \xFF and \xC0\xAF end";  // cut and overlong sequences
    JsonLine line("log");
    line.add("a", chinese).add("b", model_with_filler).add("c", nasty).add("d", broken);
    line.add("n", uint32_t{4000000000u}).add("neg", -3).add("yes", true);
    line.add_float("f", 220.8f).add_float("nan", NAN).add_float("inf", INFINITY);
    const std::string text = line.str();
    ASSERT_EQ(text.back(), '\n');
    EXPECT_EQ(text.find('\n'), text.size() - 1);  // one line

    const Json::Value v = parse(text);
    EXPECT_EQ(v["event"].asString(), "log");
    EXPECT_EQ(v["a"].asString(), chinese);
    EXPECT_EQ(v["b"].asString(), model_with_filler);
    EXPECT_EQ(v["c"].asString(), nasty);
    EXPECT_EQ(v["d"].asString(), "ok \xEF\xBF\xBD\xEF\xBF\xBD then \xEF\xBF\xBD and \xEF\xBF\xBD\xEF\xBF\xBD end");
    EXPECT_EQ(v["n"].asUInt(), 4000000000u);
    EXPECT_EQ(v["neg"].asInt(), -3);
    EXPECT_TRUE(v["yes"].asBool());
    EXPECT_NE(text.find("\"f\":220.8"), std::string::npos);  // shortest form, not 220.8000030517578
    EXPECT_TRUE(v["nan"].isNull());
    EXPECT_TRUE(v["inf"].isNull());
    EXPECT_EQ(hex_lower({0x00, 0xAB, 0x7F}), "00ab7f");
}

TEST(HostOptions, QueriesAndSettingsAreChecked) {
    EXPECT_EQ(parse_query("21:v").device, "21");
    EXPECT_EQ(parse_query("rc:x").device, "rc");
    EXPECT_EQ(parse_query("11:channel_0_a").key, "channel_0_a");
    for (const char* bad : {"21", ":v", "21:", "ac:v", "-1:v", "99999999999:v"})
        EXPECT_EQ(code_of([bad] { parse_query(bad); }), kExitUsage) << bad;

    const HostSettings d = host_settings(parse("{}"));
    EXPECT_EQ(d.device_type, "zrt4600a");
    EXPECT_EQ(d.baud, 9600);
    EXPECT_EQ(d.refresh_ms, 20);
    EXPECT_EQ(d.history_rollup_days, 400);
    EXPECT_EQ(host_settings(parse(R"({"history_rollup_days": 0})")).history_rollup_days, 0);
    const HostSettings s = host_settings(parse(R"({"data_id": 7, "baud": 115200, "port": "/dev/ttyS1"})"));
    EXPECT_EQ(s.data_id, 7u);
    EXPECT_EQ(s.baud, 115200);
    EXPECT_EQ(s.port, "/dev/ttyS1");
    for (const char* bad : {R"({"data_id": -1})", R"({"baud": "fast"})", R"({"refresh_ms": 0})",
                            R"({"history_retention": 0})", R"({"port": 5})", R"({"device_type": []})",
                            R"({"history_rollup_days": -1})", R"({"history_rollup_days": 36501})",
                            R"({"history_rollup_days": "400"})"})
        EXPECT_EQ(code_of([bad] { host_settings(parse(bad)); }), kExitSettingValue) << bad;
}

TEST(PluginLoader, FindsTheFactoryByTheDeviceTypeItsDevicesReport) {
    Plugin plugin(ZRT_PLUGIN);
    EXPECT_EQ(plugin.device_types(),
              (std::vector<std::string>{"zrt4600a", "zrt4600a-ac", "zrt4600a-dc", "zrt4600a-rc"}));
    auto dc = plugin.create("zrt4600a-dc");
    ASSERT_TRUE(dc);
    EXPECT_EQ(dc->DeviceType(), "zrt4600a-dc");
    EXPECT_EQ(code_of([&plugin] { plugin.create("zrt4600"); }), kExitDevice);
    EXPECT_EQ(code_of([] { Plugin("/nonexistent.so"); }), kExitPlugin);
}

TEST(ImageView, ImagesThatDoNotFitTheirLayoutAreShownAsBytes) {
    std::vector<uint8_t> ac(sizeof(tele_c_zrt4600_ac) + sizeof(tele_c_zrt4600_ac_channel), 0);
    ac[offsetof(tele_c_zrt4600_ac, channel_count)] = 1;
    const float a = 231.5f;
    std::memcpy(&ac[sizeof(tele_c_zrt4600_ac) + offsetof(tele_c_zrt4600_ac_channel, a)], &a, 4);
    const auto lines = describe_image(decode_image(kAcRecordType, ac), ac);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[1].find("AB/A 231.5"), std::string::npos) << lines[1];

    ac[offsetof(tele_c_zrt4600_ac, channel_count)] = 9;  // claims nine channels in a one-channel image
    EXPECT_EQ(describe_image(decode_image(kAcRecordType, ac), ac)[0].find("62 bytes"), 0u);
    EXPECT_EQ(describe_image(decode_image(kDcRecordType, std::vector<uint8_t>(165, 0)), std::vector<uint8_t>(165, 0))[0].find("165 bytes"), 0u);
}

namespace {

// The exit code and the message of a refused settings text.
std::pair<ExitCode, std::string> refusal(const std::string& text) {
    try {
        check_settings(parse(text), "site.json");
        check_top_structure(parse(text), "zrt4600a", "site.json");
    } catch (const HostError& e) {
        return {e.code(), e.what()};
    }
    return {kExitOk, ""};
}

std::string temp_path(const std::string& name) {
    return ::testing::TempDir() + name + "_" + std::to_string(::getpid());
}

void remove_db(const std::string& path) {
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str());
}

}  // namespace

TEST(Settings, AUtf8ByteOrderMarkIsPassedOverAndAUtf16FileIsRefusedByName) {
    const std::string path = temp_path("bom.json");
    const std::string json = R"({"data_id": 7, "rcSetting": {}})";
    auto write = [&](const std::string& bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    };
    write("\xEF\xBB\xBF" + json);
    EXPECT_EQ(read_settings(path)["data_id"].asUInt(), 7u);
    write(json);
    EXPECT_EQ(read_settings(path)["data_id"].asUInt(), 7u);
    // UTF-16 little-endian, as Windows' Notepad once saved "Unicode".
    std::string utf16 = "\xFF\xFE";
    for (char c : json) utf16 += std::string{c, '\0'};
    write(utf16);
    try {
        read_settings(path);
        ADD_FAILURE() << "a UTF-16 settings file was read";
    } catch (const HostError& e) {
        EXPECT_EQ(e.code(), kExitUsage);
        EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("UTF-16"), std::string::npos) << e.what();
    }
    // A mark in the middle is no mark: that text is no JSON.
    write(json.substr(0, 1) + "\xEF\xBB\xBF" + json.substr(1));
    EXPECT_THROW(read_settings(path), HostError);
    std::remove(path.c_str());
}

TEST(Settings, EveryRefusalNamesTheKeyWithItsPathAndTheFile) {
    const char* ok = R"({"_note": "free", "data_id": 1, "simulate": true, "line_timeout_s": 2.5, "plant": "p.json",
        "acSetting": [{"data_id": 11, "_c": 1, "appSetting": {"diff_v": "20", "diff_i": 0.5}}],
        "dcSetting": [{"data_id": 21}], "rcSetting": {"anything": [1]}})";
    EXPECT_EQ(refusal(ok).first, kExitOk) << refusal(ok).second;

    struct Case {
        const char* text;
        ExitCode code;
        const char* names;
    };
    const Case cases[] = {
        {R"({"portt": "/dev/ttyS0", "rcSetting": {}})", kExitUnknownKey, "unknown settings key portt in site.json"},
        {R"({"acSetting": [{"data_id": 11}, {"data_id": 12, "appSetting": {"diff_x": 1}}], "rcSetting": {}})",
         kExitUnknownKey, "acSetting[1].appSetting.diff_x"},
        {R"({"acSetting": {"data_id": 11}, "rcSetting": {}})", kExitSettingValue, "acSetting in site.json"},
        {R"({"acSetting": [{"data_id": 11, "appSetting": {"diff_v": "big"}}], "rcSetting": {}})", kExitSettingValue,
         "acSetting[0].appSetting.diff_v"},
        {R"({"dcSetting": [{"data_id": -4}], "rcSetting": {}})", kExitSettingValue, "dcSetting[0].data_id"},
        {R"({"dcSetting": [{"appSetting": {}}], "rcSetting": {}})", kExitSettingValue, "dcSetting[0].data_id"},
        {R"({"simulate": "yes", "rcSetting": {}})", kExitSettingValue, "simulate"},
        {R"({"line_timeout_s": 0, "rcSetting": {}})", kExitSettingValue, "line_timeout_s"},
        {R"({"rcSetting": []})", kExitSettingValue, "rcSetting"},
        {R"({"acSetting": [{"data_id": 11}, {"data_id": 11}], "rcSetting": {}})", kExitDuplicateId,
         "acSetting[1].data_id"},
        {R"({"acSetting": [{"data_id": 11}], "dcSetting": [{"data_id": 11}], "rcSetting": {}})", kExitDuplicateId,
         "dcSetting[0].data_id"},
        {R"({"data_id": 7, "dcSetting": [{"data_id": 7}], "rcSetting": {}})", kExitDuplicateId, "top device"},
        {R"({"acSetting": []})", kExitDevice, "\"rcSetting\""},
    };
    for (const Case& c : cases) {
        const auto [code, text] = refusal(c.text);
        EXPECT_EQ(code, c.code) << c.text << "\n" << text;
        EXPECT_NE(text.find(c.names), std::string::npos) << text;
        EXPECT_NE(text.find("site.json"), std::string::npos) << text;
        EXPECT_EQ(text.find('\n'), std::string::npos) << text;
    }
}

TEST(HistoryStore, OneWriterAtATimeWhileReadersOpenTheFileReadOnly) {
    const std::string path = temp_path("locked") + ".db";
    remove_db(path);
    {
        HistoryStore writer(path, 10);
        writer.save(21, "zrt4600a-dc", 5108, filled(7, 166));
        try {
            HistoryStore second(path, 10);
            ADD_FAILURE() << "a second writer was let in";
        } catch (const HostError& e) {
            EXPECT_EQ(e.code(), kExitHistory);
            EXPECT_NE(std::string(e.what()).find(path + " is in use by another writer"), std::string::npos) << e.what();
        }
        // A reader beside the running writer sees its rows and the time they were stored.
        HistoryStore reader(path, 10, HistoryStore::Mode::ReadOnly);
        const auto row = reader.last_row(21, "zrt4600a-dc");
        ASSERT_TRUE(row.has_value());
        EXPECT_EQ(row->image, filled(7, 166));
        EXPECT_TRUE(from_stored_time(row->time).has_value()) << row->time;
        EXPECT_EQ(code_of([&reader] { reader.save(21, "zrt4600a-dc", 5108, filled(8, 166)); }), kExitHistory);
    }
    // The writer's lock went with it.
    { HistoryStore again(path, 10); }

    // A read-only copy of the file.
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    {
        HistoryStore reader(path, 10, HistoryStore::Mode::ReadOnly);
        EXPECT_EQ(reader.last(21, "zrt4600a-dc"), filled(7, 166));
    }
    ::chmod(path.c_str(), 0644);
    remove_db(path);
    EXPECT_EQ(code_of([&path] { HistoryStore(path, 10, HistoryStore::Mode::ReadOnly); }), kExitHistory);
}

TEST(HistoryStore, KeepsTheActiveAlarmsUntilTheyClear) {
    const std::string path = temp_path("alarms") + ".db";
    remove_db(path);
    {
        HistoryStore store(path, 10);
        store.alarm_raised({1, "zrt4600a-rc", "RC_0", 6, 2, "06024", "整流模块故障告警", "模块6整流模块故障告警", "t1"});
        store.alarm_raised({21, "zrt4600a-dc", "DC_3", 9, 1, "06001", "电池熔丝故障告警", "直流7", "t2"});
        store.alarm_raised({21, "zrt4600a-dc", "DC_3", 9, 1, "06001", "电池熔丝故障告警", "直流7", "t3"});  // again
        store.alarm_cleared(1, "zrt4600a-rc", "RC_0", 6);
        store.alarm_raised({1, "zrt4600a", "line_lost", 0, 1, "99001", "通信中断告警", "串口/dev/ttyS1无应答", "t4"});
    }
    HistoryStore reopened(path, 10, HistoryStore::Mode::ReadOnly);
    const auto active = reopened.active_alarms();
    ASSERT_EQ(active.size(), 2u);
    EXPECT_EQ(active[0].key, "line_lost");
    EXPECT_EQ(active[0].name, "通信中断告警");
    EXPECT_EQ(active[1].key, "DC_3");
    EXPECT_EQ(active[1].sequence, 9u);
    EXPECT_EQ(active[1].since, "t3");
    remove_db(path);
}

TEST(Times, EventTimesAreIsoUtcWithMilliseconds) {
    const auto t = SystemClock::from_time_t(1765236573) + std::chrono::milliseconds(45);
    EXPECT_EQ(iso_utc(t), "2025-12-08T23:29:33.045Z");
    EXPECT_EQ(iso_utc(SystemClock::from_time_t(0) - std::chrono::milliseconds(1)), "1969-12-31T23:59:59.999Z");
    const auto back = from_stored_time("2026-03-01 10:20:30.250");
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(std::chrono::duration_cast<std::chrono::milliseconds>(back->time_since_epoch()).count() % 1000, 250);
    EXPECT_FALSE(from_stored_time("yesterday").has_value());
    // The zeros of an image never stamped, and years the clock cannot hold, are no time.
    EXPECT_FALSE(from_stored_time("0000-00-00 00:00:00").has_value());
    EXPECT_FALSE(from_stored_time("9999-12-31T23:59:59.000Z").has_value());
}

namespace {

std::string without_escapes(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\x1b') {
            while (i < s.size() && s[i] != 'm') ++i;
            continue;
        }
        out.push_back(s[i]);
    }
    return out;
}

// The reference site after a few cycles, with a lost line and a contradicted screen count.
ViewState busy_site() {
    ViewState v;
    v.title = "zrt4600a 1  /dev/ttyUSB0 at 9600 baud";
    v.now = SystemClock::now();
    LineStatus l;
    l.up = false;
    l.port_open = false;
    l.last_reply = v.now - std::chrono::seconds(14);
    l.timeouts_in_row = 7;
    v.line = l;
    CycleStats c;
    c.n = 12;
    c.end = v.now - std::chrono::seconds(15);
    v.cycle = c;
    v.config.push_back({1, "ac_number", "2", "3", "read ac_number is 3, configured ac_number is 2", 3, {}});
    for (uint32_t id : {11u, 12u}) {
        std::vector<uint8_t> ac(32 + 30 * 3, 0);
        ac[16] = 3;
        const uint32_t absent = 0x20202020u;
        std::memcpy(&ac[12], &absent, 4);  // Ic absent
        v.devices.push_back({id, "zrt4600a-ac", 5106, ac, decode_image(5106, ac)});
    }
    std::vector<uint8_t> rc(65 + 32 * 24, 0);
    rc[57] = 24;
    v.devices.push_back({1, "zrt4600a-rc", 5107, rc, decode_image(5107, rc)});
    for (uint32_t id : {21u, 22u}) {
        std::vector<uint8_t> dc(166, 0);
        dc[80] = 64;
        dc[81 + 6] = 3;
        v.devices.push_back({id, "zrt4600a-dc", 5108, dc, decode_image(5108, dc)});
    }
    for (uint32_t k = 0; k < 7; ++k)
        v.alarms.push_back({11, "zrt4600a-ac", 2, 31 + k, "AC_8", "交流输入缺相告警", "交流屏3输入线/相电压AB/A"});
    for (int k = 0; k < 8; ++k) v.recent.push_back("log 1: PMBusPower:ProcotolError 1 read ac_number is 3 (and 40 more times)");
    return v;
}

}  // namespace

TEST(LiveView, FitsAnEightyByTwentyFourTerminalWithTheHeaderFirstAndShowsMoreOnALargerOne) {
    const ViewState v = busy_site();
    const auto small = render_view(v, 80, 24);
    ASSERT_LE(small.size(), 24u);
    for (const std::string& line : small) EXPECT_LE(display_width(without_escapes(line)), 80u) << line;
    EXPECT_EQ(without_escapes(small[0]), v.title);
    EXPECT_NE(small[1].find("LINE LOST"), std::string::npos) << small[1];
    EXPECT_NE(small[1].find("last reply 14 s ago"), std::string::npos) << small[1];
    EXPECT_NE(small[1].find("\x1b["), std::string::npos);  // shown prominently
    EXPECT_NE(small[2].find("cycle 12"), std::string::npos);
    EXPECT_NE(small[3].find("CONFIG ac_number: the settings expect 2, the plant reports 3"), std::string::npos);
    bool absent_shown = false, alarms_shown = false;
    for (const std::string& line : small) {
        if (line.find("AC screen 11") == 0) absent_shown = line.find("Ic —") != std::string::npos;
        if (line.find("active alarms: 7") == 0) alarms_shown = true;
    }
    EXPECT_TRUE(absent_shown);
    EXPECT_TRUE(alarms_shown);
    EXPECT_NE(small.back().find("more lines on a larger terminal"), std::string::npos) << small.back();

    const auto large = render_view(v, 160, 80);
    EXPECT_GT(large.size(), small.size());
    EXPECT_EQ(large.back().find("more lines"), std::string::npos) << large.back();
    // Wide characters count twice: a Chinese alarm text is cut at the width.
    EXPECT_EQ(display_width("交流屏3"), 7u);
    EXPECT_EQ(fit_width("交流屏3", 5), "交流");
}

TEST(LiveView, EachSystemOfASharedLineHasItsOwnLineAndCycleLines) {
    ViewState v = busy_site();
    ViewSystem north{{1, 1, "north"}, std::nullopt, std::nullopt};
    ViewSystem south{{2, 2, ""}, std::nullopt, std::nullopt};
    north.line = v.line;
    north.line->up = true;
    north.cycle = v.cycle;
    south.line = v.line;  // lost
    v.systems = {north, south};
    const auto lines = render_view(v, 120, 40);
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[1].find("system north: line up"), 0u) << lines[1];
    EXPECT_EQ(lines[2].find("system north: cycle 12"), 0u) << lines[2];
    EXPECT_NE(lines[3].find("system 2: LINE LOST"), std::string::npos) << lines[3];
    EXPECT_EQ(lines[4].find("system 2: waiting for the first complete cycle"), 0u) << lines[4];
}

TEST(Settings, AListOfSystemsIsReadAndEveryRepeatIsNamedWithBothPlaces) {
    const char* two = R"({"port": "/dev/ttyS0", "reply_timeout_ms": 300, "device_type": "zrt4600a",
        "systems": [
          {"address": 1, "name": "north", "data_id": 1, "acSetting": [{"data_id": 11}], "rcSetting": {}},
          {"address": 2, "data_id": 2, "guard_ms": 5, "dcSetting": [{"data_id": 22}], "rcSetting": {}}]})";
    ASSERT_EQ(refusal(two).first, kExitOk) << refusal(two).second;
    const HostSettings h = host_settings(parse(two));
    ASSERT_TRUE(h.listed);
    ASSERT_EQ(h.systems.size(), 2u);
    EXPECT_EQ(h.systems[0].address, 1);
    EXPECT_EQ(h.systems[0].name, "north");
    EXPECT_EQ(h.systems[1].name, "");
    EXPECT_EQ(h.systems[1].data_id, 2u);
    EXPECT_EQ(h.data_id, 1u);  // the first system's
    // The frame layer's keys at the top reach every system that names none; the name is
    // the host's and does not reach the device.
    EXPECT_EQ(h.systems[0].settings["reply_timeout_ms"].asInt(), 300);
    EXPECT_EQ(h.systems[1].settings["reply_timeout_ms"].asInt(), 300);
    EXPECT_EQ(h.systems[1].settings["guard_ms"].asInt(), 5);
    EXPECT_FALSE(h.systems[0].settings.isMember("name"));
    EXPECT_FALSE(h.systems[0].settings.isMember("port"));

    // A file without the list is one system at its "address" (1 when it names none).
    const HostSettings one = host_settings(parse(R"({"data_id": 7, "address": 3, "rcSetting": {}})"));
    EXPECT_FALSE(one.listed);
    ASSERT_EQ(one.systems.size(), 1u);
    EXPECT_EQ(one.systems[0].address, 3);
    EXPECT_EQ(one.systems[0].data_id, 7u);
    EXPECT_EQ(host_settings(parse("{}")).systems.at(0).address, 1);

    struct Case {
        const char* text;
        ExitCode code;
        std::vector<const char*> names;
    };
    const Case cases[] = {
        {R"({"systems": [{"address": 1, "data_id": 1, "rcSetting": {}},
                         {"address": 2, "data_id": 2, "acSetting": [{"data_id": 1}], "rcSetting": {}}]})",
         kExitDuplicateId, {"systems[1].acSetting[0].data_id", "data id 1", "systems[0].data_id"}},
        {R"({"systems": [{"address": 1, "data_id": 1, "dcSetting": [{"data_id": 30}], "rcSetting": {}},
                         {"address": 2, "data_id": 30, "rcSetting": {}}]})",
         kExitDuplicateId, {"systems[1].data_id", "data id 30", "systems[0].dcSetting[0].data_id"}},
        {R"({"systems": [{"address": 4, "data_id": 1, "rcSetting": {}}, {"address": 4, "data_id": 2, "rcSetting": {}}]})",
         kExitSettingValue, {"systems[1].address", "address 4", "systems[0].address"}},
        {R"({"systems": [{"address": 256, "data_id": 1, "rcSetting": {}}]})", kExitSettingValue,
         {"systems[0].address", "from 0 to 255"}},
        {R"({"systems": [{"address": 1, "data_id": 1, "rcSetting": {}}, {"address": 2, "data_id": 2, "port": "x", "rcSetting": {}}]})",
         kExitUnknownKey, {"unknown settings key systems[1].port"}},
        {R"({"systems": [{"address": 1, "data_id": 1, "rcSetting": {}, "acSetting": [{"data_id": 5, "appSetting": {"diff_q": 1}}]}]})",
         kExitUnknownKey, {"systems[0].acSetting[0].appSetting.diff_q"}},
        {R"({"systems": [{"address": 1, "data_id": 1, "name": 5, "rcSetting": {}}]})", kExitSettingValue,
         {"systems[0].name", "a text"}},
        {R"({"systems": [{"data_id": 1, "rcSetting": {}}]})", kExitSettingValue, {"systems[0].address"}},
        {R"({"systems": [{"address": 1, "rcSetting": {}}]})", kExitSettingValue, {"systems[0].data_id"}},
        {R"({"systems": []})", kExitSettingValue, {"systems", "at least one"}},
        {R"({"systems": {"address": 1}})", kExitSettingValue, {"systems in site.json"}},
        {R"({"data_id": 1, "systems": [{"address": 1, "data_id": 1, "rcSetting": {}}]})", kExitUnknownKey,
         {"data_id", "belongs in each system"}},
        {R"({"rcSetting": {}, "systems": [{"address": 1, "data_id": 1, "rcSetting": {}}]})", kExitUnknownKey,
         {"rcSetting", "belongs in each system"}},
        {R"({"systems": [{"address": 1, "data_id": 1, "rcSetting": {}}, {"address": 2, "data_id": 2}]})", kExitDevice,
         {"\"systems[1].rcSetting\" is missing"}},
    };
    for (const Case& c : cases) {
        const auto [code, text] = refusal(c.text);
        EXPECT_EQ(code, c.code) << c.text << "\n" << text;
        for (const char* name : c.names) EXPECT_NE(text.find(name), std::string::npos) << name << " in " << text;
        EXPECT_NE(text.find("site.json"), std::string::npos) << text;
    }
}

TEST(LineSettings, AreReadAndCheckedWithTheKeyNamed) {
    const HostSettings d = host_settings(parse("{}"));
    EXPECT_EQ(d.line.text(), "8N1");
    EXPECT_FALSE(d.line.rs485);
    const HostSettings s = host_settings(parse(R"({"data_bits": 7, "parity": "even", "stop_bits": 2,
        "flow_control": "rtscts", "rs485": true, "rs485_rts_on_send": false, "rs485_delay_before_ms": 2,
        "rs485_delay_after_ms": 3, "guard_ms": 10, "address": 2})"));
    EXPECT_EQ(s.line.text(), "7E2 rtscts rs485");
    EXPECT_FALSE(s.line.rs485_rts_on_send);
    EXPECT_EQ(s.line.rs485_delay_before_ms, 2u);
    EXPECT_EQ(s.line.rs485_delay_after_ms, 3u);

    const std::pair<const char*, const char*> bad[] = {
        {R"({"data_bits": 9})", "data_bits"},
        {R"({"parity": "mark"})", "one of none,odd,even"},
        {R"({"parity": 1})", "parity"},
        {R"({"stop_bits": 3})", "stop_bits"},
        {R"({"flow_control": "rts"})", "one of none,rtscts,xonxoff"},
        {R"({"rs485": "yes"})", "rs485"},
        {R"({"rs485_delay_after_ms": 1001})", "rs485_delay_after_ms"},
        {R"({"guard_ms": -1})", "guard_ms"},
    };
    for (const auto& [text, names] : bad) {
        try {
            check_settings(parse(text), "site.json");
            ADD_FAILURE() << text << " was taken";
        } catch (const HostError& e) {
            EXPECT_EQ(e.code(), kExitSettingValue) << text;
            EXPECT_NE(std::string(e.what()).find(names), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find("site.json"), std::string::npos) << e.what();
        }
    }
}

TEST(LiveView, CutsLongLinesWithAnEllipsisNeverInsideANumberAndShowsEveryTimeWithItsZone) {
    EXPECT_EQ(fit_with_ellipsis("cycle 12 at 11:10:04+01:00 took 2 s", 20), "cycle 12 at …");
    EXPECT_EQ(fit_with_ellipsis("short", 20), "short");
    EXPECT_EQ(fit_with_ellipsis("交流屏3输入", 6), "交流…");
    const ViewState v = busy_site();
    const std::regex zoned(R"(\d\d:\d\d:\d\d[+-]\d\d:\d\d)");
    const std::regex bare(R"(\d\d:\d\d:\d\d(?![+\-\d]))");
    bool cycle_time = false;
    for (const std::string& raw : render_view(v, 200, 80)) {
        const std::string line = without_escapes(raw);
        if (line.find("cycle 12") != std::string::npos) cycle_time = std::regex_search(line, zoned);
        EXPECT_FALSE(std::regex_search(line, bare)) << "a time without its zone: " << line;
    }
    EXPECT_TRUE(cycle_time);
}

// The host's keys are read by the rows that check them: a row that checks a key and does
// not read it would leave the default in place.
TEST(HostOptions, EveryHostKeyOfTheTableIsRead) {
    const HostSettings s = host_settings(parse(R"({"device_type": "zrt4600a", "data_id": 9, "port": "/dev/ttyUSB0",
        "baud": 19200, "refresh_ms": 50, "history_retention": 5, "history_days": 7, "history_rollup_days": 30,
        "history_commit_s": 0, "simulate": true, "plant": "p.json", "line_timeout_s": 2.5, "metrics": ":9100",
        "site": "north", "web_config": "web.yml", "snmp": {"agentx": "tcp:127.0.0.1:705", "ping_interval_s": 3},
        "rcSetting": {}})"));
    EXPECT_EQ(s.data_id, 9u);
    EXPECT_EQ(s.systems.at(0).data_id, 9u);
    EXPECT_EQ(s.port, "/dev/ttyUSB0");
    EXPECT_EQ(s.baud, 19200);
    EXPECT_EQ(s.refresh_ms, 50);
    EXPECT_EQ(s.history_retention, 5);
    EXPECT_EQ(s.history_days, 7);
    EXPECT_EQ(s.history_rollup_days, 30);
    EXPECT_EQ(s.history_commit_s, 0);
    EXPECT_TRUE(s.simulate);
    EXPECT_EQ(s.plant, "p.json");
    EXPECT_DOUBLE_EQ(s.line_timeout_s, 2.5);
    EXPECT_EQ(s.metrics, ":9100");
    EXPECT_EQ(s.site, "north");
    EXPECT_EQ(s.web_config, "web.yml");
    EXPECT_EQ(s.snmp_agentx, "tcp:127.0.0.1:705");
    EXPECT_EQ(s.snmp_ping_s, 3);

    // A system's own keys go to its device, never to the host's.
    const HostSettings listed = host_settings(parse(R"({"baud": 4800, "systems": [
        {"address": 1, "data_id": 3, "rcSetting": {}}, {"address": 2, "data_id": 4, "rcSetting": {}}]})"));
    EXPECT_EQ(listed.baud, 4800);
    EXPECT_EQ(listed.data_id, 3u);
    ASSERT_EQ(listed.systems.size(), 2u);
    EXPECT_EQ(listed.systems[1].data_id, 4u);
    EXPECT_EQ(listed.systems[1].address, 2);
}

#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>

#include <gtest/gtest.h>
#include <json/reader.h>
#include <sqlite3.h>
#include <unistd.h>

#include "tools/history_store.h"
#include "tools/host_app.h"
#include "tools/host_error.h"
#include "tools/image_view.h"
#include "tools/json_line.h"
#include "tests/sim/sim_test_util.h"
#include "tools/plugin_loader.h"

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
    const HostSettings s = host_settings(parse(R"({"data_id": 7, "baud": 115200, "port": "/dev/ttyS1"})"));
    EXPECT_EQ(s.data_id, 7u);
    EXPECT_EQ(s.baud, 115200);
    EXPECT_EQ(s.port, "/dev/ttyS1");
    for (const char* bad : {R"({"data_id": -1})", R"({"baud": "fast"})", R"({"refresh_ms": 0})",
                            R"({"history_retention": 0})", R"({"port": 5})", R"({"device_type": []})"})
        EXPECT_EQ(code_of([bad] { host_settings(parse(bad)); }), kExitUsage) << bad;
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
    std::vector<uint8_t> ac(image::kAcSize + image::kChSize, 0);
    ac[image::kAcChannels] = 1;
    const float a = 231.5f;
    std::memcpy(&ac[image::kAcSize + image::kChA], &a, 4);
    const auto lines = describe_image(image::kAcType, ac);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[1].find("AB/A 231.5"), std::string::npos) << lines[1];

    ac[image::kAcChannels] = 9;  // claims nine channels in a one-channel image
    EXPECT_EQ(describe_image(image::kAcType, ac)[0].find("62 bytes"), 0u);
    EXPECT_EQ(describe_image(image::kDcType, std::vector<uint8_t>(165, 0))[0].find("165 bytes"), 0u);
}

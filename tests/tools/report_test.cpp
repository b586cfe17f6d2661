// The report's charts: where each stored series goes (found through the field tables), and
// an AC phase the equipment reports missing drawn as a gap, not as 0 V.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>

#include <gtest/gtest.h>
#include <json/reader.h>

#include "ac/ac_records.h"
#include "rc/rc_records.h"
#include "tests/tools/history_test_util.h"
#include "tools/history/history_store.h"
#include "tools/history/report.h"

using namespace zrt::host;

namespace {

using Screen = tele_c_zrt4600_ac;
using Channel = tele_c_zrt4600_ac_channel;
using Group = tele_c_zrt4600_rc;
using Module = tele_c_zrt4600_rc_channel;

void put_float(std::vector<uint8_t>& img, size_t at, float v) { std::memcpy(img.data() + at, &v, 4); }

// Two channels; the second one's phases are 0.0 with the alarm state "missing".
std::vector<uint8_t> ac_image(float volts) {
    std::vector<uint8_t> img(sizeof(Screen) + 2 * sizeof(Channel), 0);
    img[offsetof(Screen, channel_count)] = 2;
    put_float(img, offsetof(Screen, ia), 35.0f);
    put_float(img, sizeof(Screen) + offsetof(Channel, a), volts);
    put_float(img, sizeof(Screen) + offsetof(Channel, b), volts);
    put_float(img, sizeof(Screen) + offsetof(Channel, c), volts);
    put_float(img, sizeof(Screen) + offsetof(Channel, f), 50.0f);
    const size_t second = sizeof(Screen) + sizeof(Channel);
    for (size_t at : {offsetof(Channel, a_alert), offsetof(Channel, b_alert), offsetof(Channel, c_alert)})
        img[second + at] = 3;
    put_float(img, second + offsetof(Channel, f), 50.0f);
    return img;
}

// Two modules with a current and one user-defined value each.
std::vector<uint8_t> rc_image(float amps) {
    std::vector<uint8_t> img(sizeof(Group) + 2 * sizeof(Module), 0);
    img[offsetof(Group, module_count)] = 2;
    for (size_t m = 0; m < 2; ++m) {
        const size_t at = sizeof(Group) + m * sizeof(Module);
        put_float(img, at + offsetof(Module, module_value), amps + float(m));
        img[at + offsetof(Module, analog_count)] = 1;
        put_float(img, at + offsetof(Module, analog_user), 45.0f);
    }
    return img;
}

}  // namespace

TEST(HistoryReport, SeriesGoToTheirChartsAndAMissingPhaseIsAGapNotZeroVolts) {
    const std::string path = ::testing::TempDir() + "report_" + std::to_string(::getpid()) + ".db";
    const std::string out = path + ".html";
    int64_t now = 1'796'004'000'000;
    {
        HistoryStore store(path, 0);
        store.set_clock([&now] { return now; });
        for (int k = 0; k < 60; ++k, now += 2500) {
            store.save(11, "zrt4600a-ac", kAcRecordType, ac_image(220.0f + float(k % 5)));
            store.save(1, "zrt4600a-rc", kRcRecordType, rc_image(10.0f));
        }
    }
    ReportOptions o;
    o.history = path;
    o.out = out;
    o.buckets = 20;
    write_report(o);
    const std::string page = zrt::host::testing::read_file(out);
    const size_t a = page.find("id=\"report-data\">");
    ASSERT_NE(a, std::string::npos);
    const size_t b = page.find("</script>", a);
    Json::Value data;
    std::istringstream in(page.substr(a + 17, b - a - 17));
    ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &data, nullptr));

    // Points (not null) of each chart's series, by chart title.
    std::map<std::string, std::vector<size_t>> points;
    for (const Json::Value& c : data["charts"]) {
        auto& p = points[c["title"].asString()];
        for (const Json::Value& s : c["series"]) {
            size_t n = 0;
            for (const Json::Value& y : s["data"]) n += !y.isNull();
            p.push_back(n);
        }
    }
    const auto has = [&](const std::string& title) { return points.count(title) == 1; };
    ASSERT_TRUE(has("AC screen 11 · channel 1 voltages (V)")) << page.substr(a, 400);
    ASSERT_TRUE(has("AC screen 11 · channel 2 voltages (V)"));
    EXPECT_TRUE(has("AC screen 11 · input frequency, channels 1–2 (Hz)"));
    EXPECT_TRUE(has("AC screen 11 · phase currents (A)"));
    EXPECT_TRUE(has("rectifier group 1 · module output current, modules 1–2 (A)"));
    EXPECT_TRUE(has("rectifier group 1 · module user-defined value 1, modules 1–2"));
    for (size_t n : points["AC screen 11 · channel 1 voltages (V)"]) EXPECT_GT(n, 0u);
    EXPECT_EQ(points["AC screen 11 · channel 2 voltages (V)"], (std::vector<size_t>{0, 0, 0}));
    // The summary counts the missing phase's rows as absent.
    EXPECT_NE(page.find("<td>channel 2 voltage AB/A</td><td>V</td><td>—</td><td>—</td><td>—</td><td>absent</td>"),
              std::string::npos);
    std::remove(out.c_str());
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str());
}

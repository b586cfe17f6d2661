// The decoded history: values written on change, absent values, alarm and cycle rows,
// retention by days, the export of a read-only copy and the report page.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>

#include <gtest/gtest.h>
#include <json/reader.h>
#include <sqlite3.h>

#include "tools/history/history_cli.h"
#include "tools/history/history_export.h"
#include "tools/history/history_read.h"
#include "tools/history/history_store.h"
#include "tests/tools/history_test_util.h"
#include "tools/core/host_error.h"
#include "tools/history/report.h"

using namespace zrt::host;

namespace {

constexpr int64_t kT0 = 1'796'000'000'000;  // 2026-11-30T00:53:20Z

std::string temp_path(const std::string& name) {
    return ::testing::TempDir() + "hist_" + std::to_string(::getpid()) + "_" + name;
}

void remove_db(const std::string& path) {
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str());
}

void put_float(std::vector<uint8_t>& img, size_t at, float v) { std::memcpy(img.data() + at, &v, 4); }

// A DC screen image: voltage, current, the voltage state and `fuses` fuse bytes.
std::vector<uint8_t> dc_image(float v, float i, uint8_t volt_state = 0, size_t fuses = 2) {
    std::vector<uint8_t> img(166, 0);
    put_float(img, 4, v);
    put_float(img, 8, i);
    img[79] = volt_state;
    img[80] = static_cast<uint8_t>(fuses);
    return img;
}

ExitCode code_of(const std::function<void()>& f, std::string* what = nullptr) {
    try {
        f();
    } catch (const HostError& e) {
        if (what) *what = e.what();
        return e.code();
    }
    return kExitOk;
}

using zrt::host::testing::query;
using zrt::host::testing::read_file;

rule_value rule(const std::string& key, uint32_t seq, const std::string& name, const std::string& instance) {
    rule_value r;
    r.key = key;
    r.sequence = seq;
    r.name = name;
    r.instance = instance;
    r.signal_id = "06015";
    r.level = 2;
    return r;
}

}  // namespace

TEST(DecodedHistory, WritesValuesOnChangeAbsentAsNullAndRefreshesEveryMinute) {
    const std::string path = temp_path("values.db");
    remove_db(path);
    int64_t now = kT0;
    {
        HistoryStore store(path, 0);
        store.set_clock([&now] { return now; });
        store.save(21, "zrt4600a-dc", 5108, dc_image(53.5f, 120.0f));  // first: every value
        now += 2000;
        store.save(21, "zrt4600a-dc", 5108, dc_image(53.6f, 120.1f));  // within the dead band
        now += 2000;
        store.save(21, "zrt4600a-dc", 5108, dc_image(53.8f, 120.1f, 1));  // v moved, state changed
        now += 2000;
        std::vector<uint8_t> absent = dc_image(0, 120.1f, 1);
        std::memset(absent.data() + 4, 0x20, 4);  // the no-value pattern
        store.save(21, "zrt4600a-dc", 5108, absent);
        now += 2000;
        store.save(21, "zrt4600a-dc", 5108, absent);  // still absent: nothing new
        now = kT0 + 66'000;
        store.save(21, "zrt4600a-dc", 5108, absent);  // a minute on: measures again
        now += 2000;
        store.save(21, "zrt4600a-dc", 5108, dc_image(53.8f, 120.1f, 1));
    }
    const std::string v = "SELECT time_ms - " + std::to_string(kT0) +
                          ", value FROM value_rows JOIN series s ON s.id = series WHERE s.data_id = 21 AND s.key = ";
    EXPECT_EQ(query(path, v + "'v' ORDER BY time_ms"),
              (std::vector<std::string>{"0|53.5", "4000|53.7999992370605", "6000|NULL", "66000|NULL",
                                        "68000|53.7999992370605"}));
    EXPECT_EQ(query(path, v + "'i' ORDER BY time_ms"),
              (std::vector<std::string>{"0|120.0", "66000|120.099998474121"}));
    // States are written on change only.
    EXPECT_EQ(query(path, v + "'volt_state' ORDER BY time_ms"), (std::vector<std::string>{"0|0.0", "4000|1.0"}));
    // The series carry the decoder's label, unit and kind, and the views give UTC text.
    EXPECT_EQ(query(path, "SELECT label, unit, kind FROM series WHERE data_id = 21 AND key IN ('v', 'fuse_1')"
                          " ORDER BY key DESC"),
              (std::vector<std::string>{"output voltage|V|measure", "fuse 2||state"}));
    const auto t = query(path, "SELECT time FROM value_v WHERE key = 'v' ORDER BY time_ms LIMIT 1");
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0], utc_text(kT0));
    EXPECT_EQ(utc_text(kT0), "2026-11-30T00:53:20.000Z");
    // One image row per device and hour: the newest, as saved, with its time in UTC.
    EXPECT_EQ(query(path, "SELECT count(*), min(time) FROM history"),
              (std::vector<std::string>{"1|2026-11-30T00:54:28.000Z"}));
    remove_db(path);
}

TEST(DecodedHistory, RetentionByDaysKeepsTheNewestImageOfEveryDevice) {
    const std::string path = temp_path("retention.db");
    remove_db(path);
    int64_t now = kT0;
    HistoryStore store(path, 0);
    store.set_clock([&now] { return now; });
    store.set_retention_days(2);
    // Device 22 reports only at the start; device 21 goes on for three days, one image a
    // minute (so every save also refreshes the measures).
    store.save(22, "zrt4600a-dc", 5108, dc_image(50.0f, 10.0f));
    store.record_alarm(21, "zrt4600a-dc", rule("DC_0", 1, "直流屏1熔丝断", "熔丝 2"), true);
    store.record_cycle(1, 2300.0, 0, 0, 0);
    for (int m = 0; m < 3 * 24 * 60; ++m) {
        store.save(21, "zrt4600a-dc", 5108, dc_image(53.0f + float(m % 7) * 0.5f, 100.0f));
        now += 60'000;
    }
    now -= 60'000;
    store.prune();
    // Whole UTC days go: the cut is the start of the day two days back.
    const int64_t cut_ms = (now - 2 * 86'400'000LL) / 86'400'000 * 86'400'000;
    const std::string cut = std::to_string(cut_ms);
    EXPECT_EQ(query(path, "SELECT count(*) FROM value_rows WHERE time_ms < " + cut), (std::vector<std::string>{"0"}));
    EXPECT_GT(std::stoi(query(path, "SELECT count(*) FROM value_rows")[0]), 2 * 1440);
    EXPECT_EQ(query(path, "SELECT count(*) FROM alarm"), (std::vector<std::string>{"0"}));
    EXPECT_EQ(query(path, "SELECT count(*) FROM cycle_rows"), (std::vector<std::string>{"0"}));
    // The old device keeps its one image; the other device keeps nothing older than the cut
    // but its newest image.
    ASSERT_TRUE(store.last(22, "zrt4600a-dc").has_value());
    EXPECT_EQ(*store.last(22, "zrt4600a-dc"), dc_image(50.0f, 10.0f));
    EXPECT_EQ(store.rows(22, "zrt4600a-dc").size(), 1u);
    const auto rows21 = store.rows(21, "zrt4600a-dc");
    ASSERT_FALSE(rows21.empty());
    EXPECT_GE(rows21.front().time, utc_text(cut_ms));
    EXPECT_EQ(rows21.back().time, utc_text(now));
    // Within the kept two days, one image per device and six hours of UTC (the last of each).
    const auto kept = query(path, "SELECT count(*), count(DISTINCT (strftime('%s', time) / 21600)) FROM history"
                                  " WHERE data_id = 21");
    ASSERT_EQ(kept.size(), 1u);
    const auto bar = kept[0].find('|');
    EXPECT_EQ(kept[0].substr(0, bar), kept[0].substr(bar + 1));
    EXPECT_GE(std::stoi(kept[0].substr(0, bar)), 8);
    EXPECT_LE(std::stoi(kept[0].substr(0, bar)), 10);
    remove_db(path);
}

TEST(DecodedHistory, EachSystemsCyclesGoIntoChunksOfTheirOwnAndAnOlderFileGainsTheColumn) {
    const std::string path = temp_path("systems.db");
    remove_db(path);
    {
        // A file as older versions left it: cycle chunks without a system.
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db,
                               "CREATE TABLE cycle_chunk (id INTEGER PRIMARY KEY, t_min INTEGER NOT NULL,"
                               " t_max INTEGER NOT NULL, rows INTEGER NOT NULL, open INTEGER NOT NULL,"
                               " data BLOB NOT NULL, errors INTEGER NOT NULL DEFAULT 0, bad_frames INTEGER NOT NULL"
                               " DEFAULT 0, timeouts INTEGER NOT NULL DEFAULT 0, duration_ms REAL NOT NULL DEFAULT 0,"
                               " covered_ms REAL NOT NULL DEFAULT 0);"
                               "INSERT INTO cycle_chunk (t_min, t_max, rows, open, data) VALUES (1, 2, 0, 0, x'');",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
    }
    int64_t now = kT0;
    {
        HistoryStore store(path, 0);
        store.set_clock([&now] { return now; });
        store.record_cycle(1, 2300.0, 0, 0, 0, 1);
        store.record_cycle(1, 2400.0, 1, 0, 1, 2);
        now += 1000;
        store.record_cycle(2, 2300.0, 0, 0, 0, 1);
        store.record_cycle(2, 2400.0, 1, 0, 1, 2);
    }
    // The old chunk reads as system 0; each system has one chunk of its own cycles.
    EXPECT_EQ(query(path, "SELECT system, rows, timeouts FROM cycle_chunk ORDER BY id"),
              (std::vector<std::string>{"0|0|0", "1|2|0", "2|2|2"}));
    remove_db(path);
}

TEST(DecodedHistory, CyclesReadWithTheirSystemAndTwoSystemsOnOneLineCountItsPolledTimeOnce) {
    const std::string path = temp_path("two-systems.db");
    remove_db(path);
    int64_t now = kT0;
    {
        HistoryStore store(path, 0);
        store.set_clock([&now] { return now; });
        // One hour of two systems sharing the line: each completes a cycle every 10 s, and
        // system 2's second cycle has a time-out.
        for (int k = 1; k <= 360; ++k) {
            store.save(21, "zrt4600a-dc", 5108, dc_image(53.5f, 120.0f));
            store.record_cycle(k, 2000.0, 0, 0, 0, 1);
            now += 5000;
            store.record_cycle(k, 2000.0, k == 2 ? 1 : 0, 0, k == 2 ? 1 : 0, 2);
            now += 5000;
        }
    }
    EXPECT_EQ(query(path, "SELECT system, count(*), sum(timeouts) FROM cycle_v GROUP BY system ORDER BY system"),
              (std::vector<std::string>{"1|360|0", "2|360|1"}));
    EXPECT_EQ(query(path, "SELECT system, n FROM cycle_rows WHERE time_ms = " + std::to_string(kT0 + 15000)),
              (std::vector<std::string>{"2|2"}));
    // The line was polled for an hour (two systems' cycles over the same time), not two: its
    // first cycle's 2 s and 359 steps of 10 s; one error in that time.
    ReportOptions o;
    o.history = path;
    o.out = temp_path("two-systems.html");
    write_report(o);
    const std::string page = read_file(o.out);
    EXPECT_NE(page.find("<td>59 min 52 s</td><td>1.0</td>"), std::string::npos);
    std::remove(o.out.c_str());
    remove_db(path);
}

TEST(HistoryExport, ReadsAReadOnlyCopyAsCsvAndJsonLines) {
    const std::string dir = temp_path("ro");
    const std::string src = temp_path("export.db");
    remove_db(src);
    int64_t now = kT0;
    {
        HistoryStore store(src, 0);
        store.set_clock([&now] { return now; });
        for (int k = 0; k < 10; ++k) {
            std::vector<uint8_t> img = dc_image(53.0f + float(k), 100.0f);
            if (k == 4) std::memset(img.data() + 4, 0x20, 4);
            store.save(21, "zrt4600a-dc", 5108, img);
            store.save(22, "zrt4600a-dc", 5108, dc_image(48.0f, 1.0f));
            if (k == 2) store.record_alarm(21, "zrt4600a-dc", rule("DC_0", 7, "直流屏1熔丝断", "第7路, \"熔丝\""), true);
            if (k == 6) store.record_alarm(21, "zrt4600a-dc", rule("DC_0", 7, "直流屏1熔丝断", "第7路, \"熔丝\""), false);
            now += 2500;
        }
    }  // closed: the write-ahead log is folded into the file
    // A copy in a directory nobody may write to, the file itself read-only.
    mkdir(dir.c_str(), 0755);
    const std::string copy = dir + "/site.db";
    {
        std::ofstream(copy, std::ios::binary) << read_file(src);
    }
    chmod(copy.c_str(), 0444);
    chmod(dir.c_str(), 0555);
    const std::string before = read_file(copy);

    ExportOptions o;
    o.history = copy;
    o.selection.devices = {"21"};
    o.selection.keys = {"v"};
    o.selection.from = kT0 + 2500;
    o.selection.to = kT0 + 5 * 2500;
    o.out = temp_path("v.csv");
    EXPECT_EQ(run_export(o), 5u);
    EXPECT_EQ(read_file(o.out),
              "time,data_id,device_type,key,label,unit,kind,value\n"
              "2026-11-30T00:53:22.500Z,21,zrt4600a-dc,v,output voltage,V,measure,54\n"
              "2026-11-30T00:53:25.000Z,21,zrt4600a-dc,v,output voltage,V,measure,55\n"
              "2026-11-30T00:53:27.500Z,21,zrt4600a-dc,v,output voltage,V,measure,56\n"
              "2026-11-30T00:53:30.000Z,21,zrt4600a-dc,v,output voltage,V,measure,\n"
              "2026-11-30T00:53:32.500Z,21,zrt4600a-dc,v,output voltage,V,measure,58\n");

    o.format = "jsonl";
    o.selection.keys.clear();
    o.selection.from.reset();
    o.selection.to.reset();
    o.selection.devices = {"21", "22"};
    o.out = temp_path("all.jsonl");
    const uint64_t rows = run_export(o);
    std::istringstream lines(read_file(o.out));
    std::string line;
    uint64_t n = 0, nulls = 0, device22 = 0;
    while (std::getline(lines, line)) {
        Json::Value v;
        std::string errs;
        Json::CharReaderBuilder b;
        std::istringstream one(line);
        ASSERT_TRUE(Json::parseFromStream(b, one, &v, &errs)) << line;
        ASSERT_TRUE(v["time"].isString());
        EXPECT_GE(v["time"].asString(), "2026-11-30T00:53:20.000Z");
        if (v["value"].isNull()) ++nulls;
        if (v["data_id"].asUInt() == 22) ++device22;
        ++n;
    }
    EXPECT_EQ(n, rows);
    EXPECT_EQ(nulls, 1u);
    EXPECT_GT(device22, 0u);

    o.alarms = true;
    o.format = "csv";
    o.selection = Selection{};
    o.out = temp_path("alarms.csv");
    EXPECT_EQ(run_export(o), 2u);
    EXPECT_EQ(read_file(o.out),
              "time,data_id,device_type,key,seq,signal_id,name,instance,level,state\n"
              "2026-11-30T00:53:25.000Z,21,zrt4600a-dc,DC_0,7,06015,直流屏1熔丝断,\"第7路, \"\"熔丝\"\"\",2,raised\n"
              "2026-11-30T00:53:35.000Z,21,zrt4600a-dc,DC_0,7,06015,直流屏1熔丝断,\"第7路, \"\"熔丝\"\"\",2,cleared\n");
    EXPECT_EQ(read_file(copy), before);  // not a byte changed

    // Errors name the file or the option.
    std::string what;
    ExportOptions bad;
    bad.history = dir + "/missing.db";
    EXPECT_EQ(code_of([&] { run_export(bad); }, &what), kExitHistory);
    EXPECT_NE(what.find("missing.db"), std::string::npos) << what;
    bad.history = o.out;  // a CSV file is no history
    EXPECT_EQ(code_of([&] { run_export(bad); }, &what), kExitHistory);
    EXPECT_NE(what.find("alarms.csv"), std::string::npos) << what;
    bad.history = copy;
    bad.selection.devices = {"2x"};
    EXPECT_EQ(code_of([&] { run_export(bad); }, &what), kExitUsage);
    EXPECT_NE(what.find("--device 2x"), std::string::npos) << what;
    bad.selection.devices.clear();
    bad.out = dir + "/cannot.csv";
    if (geteuid() != 0) {
        EXPECT_EQ(code_of([&] { run_export(bad); }), kExitUsage);
    }
    EXPECT_EQ(code_of([] { parse_utc_time("2026-02-30", "--from"); }, &what), kExitUsage);
    EXPECT_NE(what.find("--from 2026-02-30"), std::string::npos);
    EXPECT_EQ(code_of([] { parse_utc_time("yesterday", "--to"); }), kExitUsage);
    EXPECT_EQ(parse_utc_time("2026-11-30T00:53:20Z", "t"), kT0);
    EXPECT_EQ(parse_utc_time("2026-11-30T08:53:20.5+08:00", "t"), kT0 + 500);
    EXPECT_EQ(parse_utc_time("2026-11-30 00:53", "t"), kT0 - 20'000);
    EXPECT_EQ(parse_utc_time("2026-11-30", "t"), kT0 - (53 * 60 + 20) * 1000LL);

    chmod(dir.c_str(), 0755);
    chmod(copy.c_str(), 0644);
    remove_db(copy);
    rmdir(dir.c_str());
    remove_db(src);
    for (const char* f : {"v.csv", "all.jsonl", "alarms.csv"}) std::remove(temp_path(f).c_str());
}

TEST(HistoryReport, OnePageWithTheChartDataTheTimelineAndNoExternalResource) {
    const std::string path = temp_path("report.db");
    remove_db(path);
    int64_t now = kT0 + 4'000'000;  // 02:00:00Z: the run lies within one hour
    {
        HistoryStore store(path, 0);
        store.set_clock([&now] { return now; });
        for (int k = 0; k < 400; ++k) {
            store.save(21, "zrt4600a-dc", 5108, dc_image(53.0f + float(k % 20) * 0.2f, 100.0f + float(k % 9)));
            store.record_cycle(uint64_t(k + 1), 2400.0, k % 50 == 0 ? 1 : 0, 0, k % 50 == 0 ? 1 : 0);
            if (k == 100) store.record_alarm(21, "zrt4600a-dc", rule("DC_0", 7, "直流屏1熔丝断", "第7路<熔丝>"), true);
            if (k == 300) store.record_alarm(21, "zrt4600a-dc", rule("DC_0", 7, "直流屏1熔丝断", "第7路<熔丝>"), false);
            if (k == 350) store.record_alarm(21, "zrt4600a-dc", rule("DC_1", 0, "直流屏1电压低", "直流输出"), true);
            now += 2500;
        }
    }
    ReportOptions o;
    o.history = path;
    o.out = temp_path("report.html");
    o.buckets = 100;
    const ReportSummary s = write_report(o);
    EXPECT_EQ(s.devices, 1u);
    EXPECT_EQ(s.alarm_rows, 2u);
    EXPECT_EQ(s.hours, 1u);
    const std::string page = read_file(o.out);
    // Nothing is loaded from elsewhere.
    for (const char* external : {"src=\"http", "href=\"http", "src='http", "url(http", "@import", "<link"})
        EXPECT_EQ(page.find(external), std::string::npos) << external;
    EXPECT_NE(page.find("uPlot"), std::string::npos);
    // The chart data: titles with the screen and the unit, 2 points per bucket.
    const size_t a = page.find("id=\"report-data\">");
    ASSERT_NE(a, std::string::npos);
    const size_t b = page.find("</script>", a);
    Json::Value data;
    std::string errs;
    Json::CharReaderBuilder rb;
    std::istringstream in(page.substr(a + 17, b - a - 17));
    ASSERT_TRUE(Json::parseFromStream(rb, in, &data, &errs)) << errs;
    ASSERT_TRUE(data["charts"].isArray());
    EXPECT_EQ(data["charts"].size(), s.charts);
    const Json::Value& volts = data["charts"][0];
    EXPECT_EQ(volts["title"].asString(), "DC screen 21 · output voltage (V)");
    const Json::Value& ys = volts["series"][0]["data"];
    ASSERT_EQ(ys.size(), data["x"].size());
    double lo = 1e9, hi = -1e9;
    for (const Json::Value& y : ys)
        if (!y.isNull()) lo = std::min(lo, y.asDouble()), hi = std::max(hi, y.asDouble());
    EXPECT_FLOAT_EQ(lo, 53.0f);
    EXPECT_FLOAT_EQ(hi, 56.8f);  // the maximum of each bucket survives the downsampling
    EXPECT_EQ(data["charts"][1]["title"].asString(), "DC screen 21 · output current (A)");
    EXPECT_EQ(data["hours"]["cycles"][0].asInt(), 400);
    EXPECT_EQ(data["hours"]["errors"][0].asInt(), 8);
    // The timeline: Chinese names and instance texts, escaped, newest first.
    const size_t low = page.find("<td>直流屏1电压低</td><td>直流输出</td>");
    const size_t fuse = page.find("<td>直流屏1熔丝断</td><td>第7路&lt;熔丝&gt;</td>");
    ASSERT_NE(low, std::string::npos);
    ASSERT_NE(fuse, std::string::npos);
    EXPECT_LT(low, fuse);
    EXPECT_NE(page.find("still active"), std::string::npos);
    EXPECT_NE(page.find("8 min 20 s"), std::string::npos);  // 200 cycles of 2.5 s
    // A range after every row gives a page without values, not an error.
    o.from = now + 1000;
    o.to = now + 2000;
    EXPECT_EQ(write_report(o).value_rows, 0u);
    std::remove(o.out.c_str());
    remove_db(path);
}

TEST(HistoryCommands, ExitCodesOfExportAndReport) {
    const std::string path = temp_path("cli.db");
    remove_db(path);
    {
        HistoryStore store(path, 0);
        store.save(21, "zrt4600a-dc", 5108, dc_image(53.5f, 100.0f));
    }
    auto run = [](std::vector<std::string> args) {
        args.insert(args.begin(), "zrt4600a-host");
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        return history_command(static_cast<int>(argv.size()), argv.data());
    };
    const std::string out = temp_path("cli.out");
    EXPECT_TRUE(is_history_command("export"));
    EXPECT_FALSE(is_history_command("--cycles"));
    EXPECT_EQ(run({"export", "--history", path, "--device", "21", "--out", out}), 0);
    EXPECT_NE(read_file(out).find(",21,zrt4600a-dc,v,output voltage,V,measure,53.5\n"), std::string::npos);
    EXPECT_EQ(run({"export", "--history", path, "--format", "xml"}), 2);
    EXPECT_EQ(run({"export", "--history", path, "--from", "2026-13-01"}), 2);
    EXPECT_EQ(run({"export", "--history", path, "--from", "2026-12-02", "--to", "2026-12-01"}), 2);
    EXPECT_EQ(run({"export", "--history", path + ".missing"}), 6);
    EXPECT_EQ(run({"export"}), 2);  // --history is required
    EXPECT_EQ(run({"report", "--history", path}), 2);  // so is --out
    EXPECT_EQ(run({"report", "--history", path, "--out", out}), 0);
    EXPECT_EQ(read_file(out).rfind("<!DOCTYPE html>", 0), 0u);
    // A file of an older version: images only, with local times.
    remove_db(path);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "CREATE TABLE history (id INTEGER PRIMARY KEY AUTOINCREMENT, data_id INTEGER NOT NULL,"
                           " device_type TEXT NOT NULL, record_type INTEGER NOT NULL, time TEXT NOT NULL,"
                           " image BLOB NOT NULL);"
                           "INSERT INTO history VALUES (1, 21, 'zrt4600a-dc', 5108, '2026-12-01 08:00:00.000', x'00');",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    EXPECT_EQ(run({"export", "--history", path, "--out", out}), 0);
    EXPECT_EQ(read_file(out), "time,data_id,device_type,key,label,unit,kind,value\n");
    EXPECT_EQ(run({"export", "--history", path, "--alarms", "--out", out}), 0);
    EXPECT_EQ(run({"report", "--history", path, "--out", out}), 0);
    EXPECT_NE(read_file(out).find("No decoded values in this file."), std::string::npos);
    std::remove(out.c_str());
    remove_db(path);
}

TEST(HistoryExport, AnUnknownDeviceOrKeyIsNamedAndNothingIsWritten) {
    const std::string src = temp_path("unknown.db");
    remove_db(src);
    {
        HistoryStore store(src, 0);
        store.save(21, "zrt4600a-dc", 5108, dc_image(53.5f, 100.0f));
        store.record_alarm(21, "zrt4600a-dc", rule("DC_0", 7, "直流屏1熔丝断", "第7路"), true);
    }
    ExportOptions o;
    o.history = src;
    o.out = temp_path("unknown.csv");
    std::remove(o.out.c_str());
    std::string what;
    o.selection.devices = {"99"};
    o.selection.keys = {"v", "vv"};
    EXPECT_EQ(code_of([&] { run_export(o); }, &what), kExitUsage);
    EXPECT_NE(what.find("device 99"), std::string::npos) << what;
    EXPECT_NE(what.find("key vv"), std::string::npos) << what;
    EXPECT_NE(what.find(src), std::string::npos) << what;
    EXPECT_FALSE(std::ifstream(o.out).good()) << "no header of an empty export";
    o.selection.devices = {"21"};
    o.selection.keys = {"v"};
    EXPECT_EQ(run_export(o), 1u);  // the same keys of a device the file holds export as before
    o.alarms = true;
    o.selection.keys = {"DC_9"};
    EXPECT_EQ(code_of([&] { run_export(o); }, &what), kExitUsage);
    EXPECT_NE(what.find("key DC_9"), std::string::npos) << what;
    o.selection.keys = {"DC_0"};
    EXPECT_EQ(run_export(o), 1u);
    remove_db(src);
}

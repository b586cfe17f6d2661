// The loaded plug-in against the simulator on the in-memory line for a few hundred cycles
// with scripted alarms, its images and alarm transitions going into the history store as
// the host sends them; then plain SQL against the documented tables.
#include <cstring>
#include <map>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include "devhost/devhost.h"
#include "sim/memory_link.h"
#include "sim/simulator.h"
#include "tests/sim/sim_test_util.h"
#include "tools/history/history_export.h"
#include "tools/history/history_store.h"
#include "tools/app/plugin_loader.h"

namespace {

using zrt::host::HistoryStore;

// One AC screen of two channels, four modules, two DC screens. The steps move the first DC
// screen's voltage (by more than the dead band, then less), make it absent for a while, and
// raise and clear three alarms.
const char* kPlant = R"({
  "ac": [{"channels": [{"a": 230, "b": 231, "c": 232, "f": 50}, {"a": 229, "b": 228, "c": 227, "f": 50}],
          "ia": 11.5, "ib": 12.5, "ic": 13.5}],
  "rc": {"group_value": 53.5, "module_count": 4, "modules": [{"value": 9.5}]},
  "dc": [{"v": 53.5, "i": 100}, {"v": 53.25, "i": 80.5}],
  "steps": [
    {"cycle": 40, "set": {"dc[0].v": 54.2, "dc[0].fuses[6]": 3}},
    {"cycle": 60, "set": {"rc.modules[1].fault": 1, "ac[0].channels[1].a_alert": 1}},
    {"cycle": 80, "set": {"dc[0].v": null}},
    {"cycle": 120, "set": {"dc[0].v": 53.1, "dc[0].fuses[6]": 0}},
    {"cycle": 160, "set": {"dc[0].v": 53.15, "rc.modules[1].fault": 0}},
    {"cycle": 200, "set": {"dc[0].v": 52.4, "ac[0].channels[1].a_alert": 0}}
  ]
})";

const char* kSettings = R"({
  "data_id": 1, "acSetting": [{"data_id": 11}], "dcSetting": [{"data_id": 21}, {"data_id": 22}], "rcSetting": {}
})";

struct Published {
    int64_t time;
    std::vector<uint8_t> image;
};

struct Alarm {
    int64_t time;
    devhost::AlarmEvent event;
};

// Does what the host does with the events: each saved image and each alarm transition
// goes into the store, at the store's clock.
struct Feed : devhost::Observer {
    Feed(HistoryStore& s, const int64_t& t) : store(s), now(t) {}
    void on_publish(const devhost::ImageEvent& e) override {
        published[e.data_id].push_back({now, e.image});
        if (e.record_type == 5107) ++cycles;
    }
    void on_saved(const devhost::ImageEvent& e) override {
        store.save(e.data_id, e.device_type, e.record_type, e.image);
        last_saved[{e.data_id, e.device_type}] = e.image;
    }
    void on_alarm(const devhost::AlarmEvent& e) override {
        store.record_alarm(e.data_id, e.device_type, e.rule, e.raised);
        alarms.push_back({now, e});
    }
    HistoryStore& store;
    const int64_t& now;
    int cycles = 0;
    std::map<uint32_t, std::vector<Published>> published;
    std::map<std::pair<uint32_t, std::string>, std::vector<uint8_t>> last_saved;
    std::vector<Alarm> alarms;
};

struct Db {
    explicit Db(const std::string& path) { EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK); }
    ~Db() { sqlite3_close(db); }
    sqlite3_stmt* prepare(const char* sql) {
        sqlite3_stmt* s = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(db, sql, -1, &s, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
        return s;
    }
    sqlite3* db = nullptr;
};

std::optional<float> image_v(const std::vector<uint8_t>& img) {
    if (img[4] != 0 && img[4] == img[5] && img[5] == img[6] && img[6] == img[7]) return std::nullopt;
    float v;
    std::memcpy(&v, img.data() + 4, 4);
    return v;
}

}  // namespace

TEST(HistoryRun, SqlGivesTheDcVoltageOverATimeRangeAndTheAlarmTimelineAsPublished) {
    const std::string path = ::testing::TempDir() + "run_" + std::to_string(::getpid()) + ".db";
    for (const char* s : {"", "-wal", "-shm"}) std::remove((path + s).c_str());
    int64_t now = 1'796'000'000'000;
    auto store = std::make_unique<HistoryStore>(path, 0);
    store->set_clock([&now] { return now; });

    zrt::sim::Simulator sim(
        std::make_unique<zrt::sim::PlantResponder>(zrt::sim::scenario_from_json(sim_test::json(kPlant))));
    zrt::host::Plugin plugin(ZRT_PLUGIN);
    std::shared_ptr<TXQSPDevice> dev = plugin.create("zrt4600a");
    auto controller = std::make_shared<devhost::Controller>(devhost::Controller::JobMode::Inline);
    Feed feed(*store, now);
    controller->add_observer(&feed);
    ASSERT_TRUE(dev->Init(controller, 1, sim_test::json(kSettings)));
    auto link = std::make_shared<zrt::sim::MemoryLink>(sim);
    link->attach(dev.get());
    ASSERT_TRUE(devhost::attach(*dev, link));
    devhost::SteadyClock::time_point steady = devhost::SteadyClock::now();
    devhost::serial_state(*dev).now = [&steady] { return steady; };
    for (int round = 0; round < 2000 && feed.cycles < 300; ++round) {
        now += 2500;  // a cycle every 2.5 s, as on the real line
        steady += std::chrono::seconds(5);
        dev->last_update = boost::posix_time::second_clock::local_time() - boost::posix_time::hours(1);
        dev->RefreshStatus();
    }
    ASSERT_EQ(feed.cycles, 300);
    ASSERT_EQ(feed.published[21].size(), 300u);

    // The DC voltage of screen 21 from cycle 30 to cycle 250, as an engineer would ask.
    const std::vector<Published>& pub = feed.published[21];
    const int64_t from = pub[29].time, to = pub[249].time;
    Db db(path);
    sqlite3_stmt* q = db.prepare(
        "SELECT v.time_ms, v.value FROM value_rows v JOIN series s ON s.id = v.series"
        " WHERE s.data_id = 21 AND s.device_type = 'zrt4600a-dc' AND s.key = 'v' AND v.time_ms BETWEEN ? AND ?"
        " ORDER BY v.time_ms");
    sqlite3_bind_int64(q, 1, from);
    sqlite3_bind_int64(q, 2, to);
    std::map<int64_t, std::optional<double>> rows;
    while (sqlite3_step(q) == SQLITE_ROW)
        rows[sqlite3_column_int64(q, 0)] = sqlite3_column_type(q, 1) == SQLITE_NULL
                                               ? std::nullopt
                                               : std::optional<double>(sqlite3_column_double(q, 1));
    sqlite3_finalize(q);
    std::map<int64_t, std::optional<float>> published;
    for (const Published& p : pub) published[p.time] = image_v(p.image);
    // Every row is a published value at its time, absent as NULL...
    ASSERT_FALSE(rows.empty());
    for (const auto& [t, v] : rows) {
        ASSERT_TRUE(published.count(t)) << t;
        ASSERT_EQ(v.has_value(), published[t].has_value()) << t;
        if (v) {
            EXPECT_EQ(static_cast<float>(*v), *published[t]) << t;
        }
    }
    // ...every step of the plant is a row at the cycle it was published, and in between a
    // row at least every minute.
    int steps = 0;
    int64_t prev_row = from;
    for (size_t k = 30; k < 250; ++k) {
        if (image_v(pub[k].image) != image_v(pub[k - 1].image)) {
            const bool small = image_v(pub[k].image) && image_v(pub[k - 1].image) &&
                               std::abs(*image_v(pub[k].image) - *image_v(pub[k - 1].image)) < 0.15f;
            if (!small) {
                EXPECT_TRUE(rows.count(pub[k].time)) << "cycle " << k + 1;
                ++steps;
            }
        }
    }
    for (const auto& [t, v] : rows) {
        EXPECT_LE(t - prev_row, HistoryStore::kRefreshMs + 2500);
        prev_row = t;
    }
    EXPECT_EQ(steps, 4);  // 54.2, absent, 53.1, 52.4; 53.15 lies within the dead band
    EXPECT_EQ(rows.count(pub[159].time), 0u);  // the small move of cycle 160 wrote no row

    // The alarm timeline, in order, as the host reported it.
    ASSERT_EQ(feed.alarms.size(), 6u);  // three raised, three cleared
    q = db.prepare("SELECT time_ms, data_id, device_type, key, seq, signal_id, name, instance, level, state"
                   " FROM alarm ORDER BY time_ms, id");
    size_t n = 0;
    while (sqlite3_step(q) == SQLITE_ROW) {
        ASSERT_LT(n, feed.alarms.size());
        const Alarm& a = feed.alarms[n++];
        auto text = [q](int c) { return std::string(reinterpret_cast<const char*>(sqlite3_column_text(q, c))); };
        EXPECT_EQ(sqlite3_column_int64(q, 0), a.time);
        EXPECT_EQ(sqlite3_column_int64(q, 1), a.event.data_id);
        EXPECT_EQ(text(2), a.event.device_type);
        EXPECT_EQ(text(3), a.event.rule.key);
        EXPECT_EQ(sqlite3_column_int64(q, 4), a.event.rule.sequence);
        EXPECT_EQ(text(5), a.event.rule.signal_id);
        EXPECT_EQ(text(6), a.event.rule.name);
        EXPECT_EQ(text(7), a.event.rule.instance);
        EXPECT_EQ(sqlite3_column_int64(q, 8), a.event.rule.level);
        EXPECT_EQ(sqlite3_column_int(q, 9), a.event.raised ? 1 : 0);
    }
    sqlite3_finalize(q);
    EXPECT_EQ(n, feed.alarms.size());
    size_t blown = 0;
    while (blown < pub.size() && pub[blown].image[81 + 6] != 3) ++blown;
    ASSERT_LT(blown, pub.size());
    EXPECT_EQ(feed.alarms[0].time, pub[blown].time);  // raised with the first image of the blown fuse
    for (const Alarm& a : feed.alarms) EXPECT_FALSE(a.event.rule.name.empty());

    // Thirty-one days later, retention leaves one image per device: its newest.
    now += 31LL * 86'400'000;
    store->set_retention_days(30);
    store->prune();
    for (const auto& [device, image] : feed.last_saved) {
        const auto rows_left = store->rows(device.first, device.second);
        ASSERT_EQ(rows_left.size(), 1u) << device.second << " " << device.first;
        EXPECT_EQ(rows_left[0].image, image);
    }
    EXPECT_EQ(feed.last_saved.size(), 4u);
    sqlite3_stmt* c = db.prepare("SELECT (SELECT count(*) FROM value_rows) + (SELECT count(*) FROM alarm)");
    ASSERT_EQ(sqlite3_step(c), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int64(c, 0), 0);
    sqlite3_finalize(c);
    store.reset();
    for (const char* s : {"", "-wal", "-shm"}) std::remove((path + s).c_str());
}

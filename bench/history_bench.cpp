// zrt-bench-history: the size of a day of the reference site's history, and the time an
// export and a report take over 30 days of it.
//
// The images are those of the reference site (examples/), taken from real cycles of the
// top device against the simulator; a day of cycles (one every 2.5 s) then goes through
// the history store's own save(), at a simulated clock, once with the plant's values
// jittering as a real site's do and once with the constant example plant. The 30 days are
// the jittering day copied 30 times with the times moved on (SQL), then export and report
// run over them as zrt4600a-host runs them.
//
//   zrt-bench-history [DIR]     DIR for the files (default /tmp); they are removed at the end
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <sqlite3.h>

#include "bench/reference.h"
#include "power/zrt4600a.h"
#include "tools/history/history_export.h"
#include "tools/history/history_store.h"
#include "tools/history/report.h"

namespace {

using zrt::host::HistoryStore;

struct Image {
    uint32_t data_id;
    std::string device_type;
    int record_type;
    std::vector<uint8_t> bytes;
};

struct Capture : devhost::Observer {
    void on_saved(const devhost::ImageEvent& e) override {
        images[{e.data_id, e.device_type}] = Image{e.data_id, e.device_type, e.record_type, e.image};
    }
    std::map<std::pair<uint32_t, std::string>, Image> images;
};

constexpr int64_t kCycleMs = 2500;
constexpr int64_t kDayMs = 86'400'000;
constexpr int64_t kStart = 1'796'083'200'000;  // 2026-12-01T00:00:00Z

float get(const std::vector<uint8_t>& img, size_t at) {
    float v;
    std::memcpy(&v, img.data() + at, 4);
    return v;
}
void set(std::vector<uint8_t>& img, size_t at, float v) { std::memcpy(img.data() + at, &v, 4); }
bool present(const std::vector<uint8_t>& img, size_t at) {
    return !(img[at] != 0 && img[at] == img[at + 1] && img[at + 1] == img[at + 2] && img[at + 2] == img[at + 3]);
}

// A value as the equipment reports it: `step` is its last digit.
float quantize(double v, double step) { return static_cast<float>(std::round(v / step) * step); }

// Moves the measured values of the reference images as a site's do: currents follow a
// daily load curve, voltages wander slowly, and every reading flickers by its last digit.
class Jitter {
public:
    explicit Jitter(uint32_t seed) : rng_(seed) {}
    void apply(Image& im, const Image& ref, int64_t t) {
        const double day = double(t % kDayMs) / double(kDayMs);
        const double load = 1.0 + 0.08 * std::sin(2 * M_PI * (day - 0.3));
        const double wander = std::sin(2 * M_PI * day * 3 + im.data_id);
        auto& b = im.bytes;
        auto measure = [&](size_t at, double scale, double noise, double step) {
            if (!present(ref.bytes, at)) return;
            const double base = get(ref.bytes, at);
            if (base == 0) return;
            set(b, at, quantize(base * scale + noise * flick(), step));
        };
        switch (im.record_type) {
        case 5106: {
            for (size_t k = 0; k < 3; ++k) measure(4 + 4 * k, load, 0.1, 0.1);
            const size_t channels = b[16];
            for (size_t c = 0; c < channels; ++c) {
                const size_t at = 32 + 30 * c;
                for (size_t q = 0; q < 3; ++q) measure(at + 4 * q, 1.0 + 0.006 * wander, 0.1, 0.1);
                measure(at + 12, 1.0, 0.01, 0.01);
            }
            break;
        }
        case 5107: {
            measure(53, 1.0, 0.05, 0.1);
            const size_t modules = b[57];
            for (size_t m = 0; m < modules; ++m) measure(65 + 32 * m, load, 0.1, 0.1);
            break;
        }
        case 5108:
            measure(4, 1.0, 0.05, 0.1);
            measure(8, load, 0.1, 0.1);
            break;
        default: break;
        }
    }

private:
    // -1, 0 or +1 steps, now and then.
    double flick() {
        const int r = static_cast<int>(rng_() % 10);
        return r == 0 ? -1.0 : r == 1 ? 1.0 : 0.0;
    }
    std::mt19937 rng_;
};

int64_t file_bytes(const std::string& path) {
    struct stat st {};
    int64_t n = 0;
    for (const char* s : {"", "-wal"})
        if (stat((path + s).c_str(), &st) == 0) n += st.st_size;
    return n;
}

void exec(sqlite3* db, const std::string& sql) {
    char* err = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
        std::fprintf(stderr, "zrt-bench-history: %s: %s\n", sql.c_str(), err ? err : "?");
        std::exit(1);
    }
}

int64_t count(sqlite3* db, const char* table) {
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, (std::string("SELECT count(*) FROM ") + table).c_str(), -1, &s, nullptr);
    sqlite3_step(s);
    const int64_t n = sqlite3_column_int64(s, 0);
    sqlite3_finalize(s);
    return n;
}

// Folds the write-ahead log into the file and gives the file's size.
int64_t settle(const std::string& path) {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    exec(db, "PRAGMA wal_checkpoint(TRUNCATE)");
    sqlite3_close(db);
    return file_bytes(path);
}

void remove_db(const std::string& path) {
    for (const char* s : {"", "-wal", "-shm"}) std::remove((path + s).c_str());
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

struct DayFigures {
    int64_t bytes = 0, values = 0, images = 0, alarms = 0, cycles = 0;
    double seconds = 0;
};

DayFigures one_day(const std::string& path, const std::vector<Image>& refs, bool jitter) {
    remove_db(path);
    DayFigures f;
    int64_t now = kStart;
    const auto t0 = std::chrono::steady_clock::now();
    {
        HistoryStore store(path, 0);
        store.set_clock([&now] { return now; });
        Jitter j(20261201);
        std::vector<Image> images = refs;
        rule_value fuse;
        fuse.key = "DC_3";
        fuse.signal_id = "06001";
        fuse.level = 1;
        fuse.sequence = 9;
        fuse.name = "电池熔丝故障告警";
        fuse.instance = "直流7电池熔丝故障告警";
        const int64_t cycles = kDayMs / kCycleMs;
        for (int64_t c = 0; c < cycles; ++c) {
            for (size_t k = 0; k < images.size(); ++k) {
                if (jitter) j.apply(images[k], refs[k], now);
                store.save(images[k].data_id, images[k].device_type, images[k].record_type, images[k].bytes);
            }
            store.record_cycle(uint64_t(c + 1), 2300.0 + double(c % 7) * 20.0, c % 997 == 0 ? 1 : 0, 0,
                               c % 997 == 0 ? 1 : 0);
            // A fuse blown for a quarter of an hour four times a day.
            if (c % 8640 == 1000) store.record_alarm(21, "zrt4600a-dc", fuse, true);
            if (c % 8640 == 1360) store.record_alarm(21, "zrt4600a-dc", fuse, false);
            now += kCycleMs;
        }
        now -= kCycleMs;
        store.prune();
    }
    f.seconds = seconds_since(t0);
    f.bytes = settle(path);
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    f.values = count(db, "value");
    f.images = count(db, "history");
    f.alarms = count(db, "alarm");
    f.cycles = count(db, "cycle");
    sqlite3_close(db);
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string dir = argc > 1 ? argv[1] : "/tmp";
    const int figures = zrt::bench::divert_trace_lines();
    FILE* out = figures >= 0 ? fdopen(figures, "w") : stderr;

    // The reference site's images, from real cycles.
    zrt::bench::Rig<zrt4600a> rig(zrt::bench::site_settings(false));
    Capture cap;
    rig.controller->add_observer(&cap);
    for (int k = 0; k < 3; ++k) rig.run_cycle();
    std::vector<Image> refs;
    size_t image_bytes = 0;
    for (const auto& [id, im] : cap.images) {
        refs.push_back(im);
        image_bytes += im.bytes.size();
    }
    std::fprintf(out, "reference site: %zu devices, %zu image bytes a cycle, a cycle every %.1f s (%lld a day)\n",
                 refs.size(), image_bytes, kCycleMs / 1000.0, static_cast<long long>(kDayMs / kCycleMs));

    const std::string day_path = dir + "/zrt-bench-history-day.db";
    for (bool jitter : {false, true}) {
        const DayFigures f = one_day(day_path, refs, jitter);
        std::fprintf(out,
                     "one day, %s plant: %.1f MB (%lld value rows, %lld images, %lld alarm rows, %lld cycle rows), "
                     "written in %.1f s\n",
                     jitter ? "jittering" : "constant", f.bytes / 1e6, static_cast<long long>(f.values),
                     static_cast<long long>(f.images), static_cast<long long>(f.alarms),
                     static_cast<long long>(f.cycles), f.seconds);
    }

    // Thirty days: the jittering day, copied with its times moved on.
    const std::string month = dir + "/zrt-bench-history-30d.db";
    remove_db(month);
    {
        const std::string copy = "cp " + day_path + " " + month;
        if (std::system(copy.c_str()) != 0) return 1;
        sqlite3* db = nullptr;
        sqlite3_open(month.c_str(), &db);
        exec(db, "BEGIN");
        for (int d = 1; d < 30; ++d) {
            const std::string shift = std::to_string(int64_t(d) * kDayMs);
            exec(db, "INSERT INTO value SELECT series, time_ms + " + shift + ", value FROM value WHERE time_ms < " +
                         std::to_string(kStart + kDayMs));
            exec(db, "INSERT INTO alarm (time_ms, data_id, device_type, key, seq, signal_id, name, instance, level,"
                     " state) SELECT time_ms + " + shift + ", data_id, device_type, key, seq, signal_id, name,"
                     " instance, level, state FROM alarm WHERE time_ms < " + std::to_string(kStart + kDayMs));
            exec(db, "INSERT INTO cycle (time_ms, n, duration_ms, errors, bad_frames, timeouts) SELECT time_ms + " +
                         shift + ", n, duration_ms, errors, bad_frames, timeouts FROM cycle WHERE time_ms < " +
                         std::to_string(kStart + kDayMs));
        }
        exec(db, "COMMIT");
        const int64_t values = count(db, "value");
        sqlite3_close(db);
        std::fprintf(out, "30 days (jittering day x 30): %.1f MB, %lld value rows\n", settle(month) / 1e6,
                     static_cast<long long>(values));
    }

    zrt::host::ExportOptions ex;
    ex.history = month;
    ex.out = dir + "/zrt-bench-history.out";
    auto t0 = std::chrono::steady_clock::now();
    uint64_t rows = zrt::host::run_export(ex);
    std::fprintf(out, "export, every value of 30 days as CSV: %.2f s (%llu rows, %.0f MB)\n", seconds_since(t0),
                 static_cast<unsigned long long>(rows), file_bytes(ex.out) / 1e6);
    ex.format = "jsonl";
    t0 = std::chrono::steady_clock::now();
    rows = zrt::host::run_export(ex);
    std::fprintf(out, "export, every value of 30 days as JSON Lines: %.2f s (%llu rows)\n", seconds_since(t0),
                 static_cast<unsigned long long>(rows));
    ex.format = "csv";
    ex.selection.devices = {"21"};
    ex.selection.keys = {"v"};
    t0 = std::chrono::steady_clock::now();
    rows = zrt::host::run_export(ex);
    std::fprintf(out, "export, one screen's DC voltage over 30 days: %.3f s (%llu rows)\n", seconds_since(t0),
                 static_cast<unsigned long long>(rows));
    ex.selection = {};
    ex.alarms = true;
    t0 = std::chrono::steady_clock::now();
    rows = zrt::host::run_export(ex);
    std::fprintf(out, "export, alarms of 30 days: %.3f s (%llu rows)\n", seconds_since(t0),
                 static_cast<unsigned long long>(rows));

    zrt::host::ReportOptions rep;
    rep.history = month;
    rep.out = dir + "/zrt-bench-history.html";
    t0 = std::chrono::steady_clock::now();
    const zrt::host::ReportSummary s = zrt::host::write_report(rep);
    std::fprintf(out, "report over 30 days: %.2f s (%zu charts, %zu series, %llu value rows read, %.1f MB page)\n",
                 seconds_since(t0), s.charts, s.series, static_cast<unsigned long long>(s.value_rows),
                 file_bytes(rep.out) / 1e6);
    std::fflush(out);
    remove_db(day_path);
    remove_db(month);
    std::remove(ex.out.c_str());
    std::remove(rep.out.c_str());
    return 0;
}

// zrt-bench-history: the size of a day of the reference site's history (bytes per stored
// sample, beside the same samples in Prometheus TSDB blocks when promtool is installed: its
// 2-hour blocks, and the one-day block a Prometheus server compacts them into),
// 30 days of it, a year of hourly rollups, and the time an export and a report take over
// 30 days.
//
// The images are those of the reference site (examples/), taken from real cycles of the
// top device against the simulator; a day of cycles (one every 2.5 s) then goes through
// the history store's own save(), at a simulated clock, once with the plant's values
// jittering as a real site's do and once with the constant example plant. The 30 days are
// the jittering day copied 30 times with the times moved on (each chunk re-encoded), a
// year of rollups the day's rollups copied 365 times; export and report run over the 30
// days as zrt4600a-host runs them.
//
// A third day is polled with a real host's timing: each cycle starts 2.5 s plus a normal
// jitter (sigma 4 ms, whole milliseconds) after the one before, and each device's image is
// saved at its place in the cycle (240 ms apart) give or take 3 ms, as the host's history
// jobs save them.
//
//   zrt-bench-history [--day] [--keep] [DIR]
//     DIR      for the files (default /tmp); they are removed at the end unless --keep
//     --day    only the days and the Prometheus figure (no 30 days, export or report)
//   zrt-bench-history --writes [--commit-s N] [DIR]
//     only a jittering day written as the host writes it (a commit every N s, default 60)
//     into DIR (default /var/tmp: storage, not tmpfs), and what the process wrote
//     (write_bytes and wchar of /proc/self/io); `bash scripts/bench.sh writes` counts its
//     fsyncs with strace
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <sqlite3.h>
#include <thread>

#include "bench/reference.h"
#include "bench/site_model.h"
#include "power/zrt4600a.h"
#include "tools/history/history_chunks.h"
#include "tools/history/history_codec.h"
#include "tools/history/history_export.h"
#include "tools/history/history_store.h"
#include "tools/history/report.h"

namespace {

using zrt::host::HistoryStore;

using zrt::bench::Image;
using zrt::bench::Jitter;
using zrt::bench::kCycleMs;
using zrt::bench::kDayMs;
constexpr int64_t kStart = 1'796'083'200'000;  // 2026-12-01T00:00:00Z

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
    int64_t bytes = 0, values = 0, images = 0, alarms = 0, cycles = 0, chunks = 0;
    double seconds = 0;
};

int64_t scalar(sqlite3* db, const std::string& sql) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) != SQLITE_OK) {
        std::fprintf(stderr, "zrt-bench-history: %s: %s\n", sql.c_str(), sqlite3_errmsg(db));
        std::exit(1);
    }
    sqlite3_step(s);
    const int64_t n = sqlite3_column_int64(s, 0);
    sqlite3_finalize(s);
    return n;
}

int64_t dir_bytes(const std::string& dir) {
    int64_t n = 0;
    std::error_code ec;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir, ec))
        if (e.is_regular_file(ec)) n += static_cast<int64_t>(e.file_size(ec));
    return n;
}

long max_rss_kb() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

// How a day's cycles are timed: on an exact 2.5 s grid, or as a real host polls.
enum class Timing { Grid, Host };

DayFigures one_day(const std::string& path, const std::vector<Image>& refs, bool jitter, Timing timing = Timing::Grid,
                   int commit_s = 0) {
    remove_db(path);
    DayFigures f;
    int64_t now = kStart;
    const auto t0 = std::chrono::steady_clock::now();
    std::mt19937 clock_rng(20261209);
    std::normal_distribution<double> cycle_jitter(0.0, 4.0);
    {
        HistoryStore store(path, 0);
        store.set_clock([&now] { return now; });
        store.set_commit_interval(commit_s);
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
            const int64_t cycle_start = now;
            for (size_t k = 0; k < images.size(); ++k) {
                if (timing == Timing::Host)  // each device at its place in the cycle, give or take 3 ms
                    now = cycle_start + int64_t(k) * 240 + int64_t(clock_rng() % 7) - 3;
                if (jitter) j.apply(images[k], refs[k], now);
                store.save(images[k].data_id, images[k].device_type, images[k].record_type, images[k].bytes);
            }
            if (timing == Timing::Host) now = cycle_start + 1'300;  // the cycle ends after its replies
            store.record_cycle(uint64_t(c + 1), 2300.0 + double(c % 7) * 20.0, c % 997 == 0 ? 1 : 0, 0,
                               c % 997 == 0 ? 1 : 0);
            // A fuse blown for a quarter of an hour four times a day.
            if (c % 8640 == 1000) store.record_alarm(21, "zrt4600a-dc", fuse, true);
            if (c % 8640 == 1360) store.record_alarm(21, "zrt4600a-dc", fuse, false);
            if (timing == Timing::Host) {
                // The next cycle starts 2.5 s and a few milliseconds after this one.
                now = cycle_start + kCycleMs + std::llround(cycle_jitter(clock_rng));
                if (now >= kStart + kDayMs) break;
            } else {
                now += kCycleMs;
            }
        }
        if (timing == Timing::Grid) now -= kCycleMs;
        store.prune();
    }
    f.seconds = seconds_since(t0);
    // A writer opening the file again closes the hours the day left open: its last hour
    // joins the day's row, as it does when the next day begins; retention then gives the
    // freed pages back, as its daily pass does.
    {
        HistoryStore reopen(path, 0);
        reopen.set_clock([&now] { return now; });
        reopen.prune();
    }
    f.bytes = settle(path);
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    f.values = scalar(db, "SELECT count(*) FROM value_rows");
    f.chunks = count(db, "chunk");
    f.images = count(db, "history");
    f.alarms = count(db, "alarm");
    f.cycles = scalar(db, "SELECT count(*) FROM cycle_rows");
    sqlite3_close(db);
    return f;
}

// The blocks of a Prometheus TSDB directory: their time range (from meta.json) and bytes.
struct Block {
    int64_t min = 0, max = 0, bytes = 0;
};
std::vector<Block> tsdb_blocks(const std::string& dir) {
    std::vector<Block> out;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
        const std::string name = e.path().filename().string();
        if (!e.is_directory(ec) || name.find(".tmp") != std::string::npos) continue;
        std::ifstream meta(e.path() / "meta.json");
        const std::string text((std::istreambuf_iterator<char>(meta)), std::istreambuf_iterator<char>());
        const size_t lo = text.find("\"minTime\":"), hi = text.find("\"maxTime\":");
        if (lo == std::string::npos || hi == std::string::npos) continue;
        out.push_back(
            {std::stoll(text.substr(lo + 10)), std::stoll(text.substr(hi + 10)), dir_bytes(e.path().string())});
    }
    return out;
}

// Compacts the 2-hour blocks of the day into one block the way a Prometheus server does:
// a server on the directory, with blocks of up to a day, until its one-day block is there
// (it compacts a minute after it starts). The blocks after the day (two single samples)
// let it take the day as complete. Gives the day block's bytes, or -1.
int64_t one_day_block(const std::string& dir, const std::string& config) {
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, 1);
            dup2(null, 2);
        }
        const std::string path = "--storage.tsdb.path=" + dir, cfg = "--config.file=" + config;
        execlp("prometheus", "prometheus", cfg.c_str(), path.c_str(), "--storage.tsdb.min-block-duration=8h",
               "--storage.tsdb.max-block-duration=24h", "--storage.tsdb.retention.time=100y",
               "--web.listen-address=127.0.0.1:0", static_cast<char*>(nullptr));
        _exit(127);
    }
    int64_t bytes = -1;
    for (int s = 0; s < 240 && bytes < 0; ++s) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) return -1;  // it stopped by itself
        int in_day = 0;
        int64_t whole = -1;
        for (const Block& b : tsdb_blocks(dir)) {
            if (b.min >= kStart + kDayMs) continue;
            ++in_day;
            if (b.min <= kStart && b.max >= kStart + kDayMs - 3'600'000) whole = b.bytes;
        }
        if (in_day == 1 && whole >= 0) bytes = whole;
    }
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    return bytes;
}

// Where a file's bytes go: pages per table and index (SQLite's dbstat), free pages.
void breakdown(FILE* out, const std::string& path) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    const int64_t page = scalar(db, "PRAGMA page_size"), freelist = scalar(db, "PRAGMA freelist_count");
    sqlite3_stmt* q = nullptr;
    if (sqlite3_prepare_v2(db,
                           "SELECT name, SUM(pgsize), SUM(payload), SUM(unused), count(*) FROM dbstat GROUP BY name"
                           " ORDER BY SUM(pgsize) DESC",
                           -1, &q, nullptr) != SQLITE_OK) {
        std::fprintf(out, "  (no dbstat in this SQLite: %s)\n", sqlite3_errmsg(db));
        sqlite3_close(db);
        return;
    }
    std::fprintf(out, "  page size %lld, %lld free pages (%.1f KB)\n", static_cast<long long>(page),
                 static_cast<long long>(freelist), double(page * freelist) / 1e3);
    while (sqlite3_step(q) == SQLITE_ROW)
        std::fprintf(out, "  %-22s %8.1f KB in %5lld pages (payload %.1f KB, unused %.1f KB)\n",
                     reinterpret_cast<const char*>(sqlite3_column_text(q, 0)), sqlite3_column_int64(q, 1) / 1e3,
                     static_cast<long long>(sqlite3_column_int64(q, 4)), sqlite3_column_int64(q, 2) / 1e3,
                     sqlite3_column_int64(q, 3) / 1e3);
    sqlite3_finalize(q);
    sqlite3_close(db);
}

}  // namespace

int main(int argc, char** argv) {
    std::string dir;
    bool day_only = false, keep = false, writes = false;
    int commit_s = 60;
    for (int k = 1; k < argc; ++k) {
        const std::string a = argv[k];
        if (a == "--day") day_only = true;
        else if (a == "--keep") keep = true;
        else if (a == "--writes") writes = true;
        else if (a == "--commit-s" && k + 1 < argc) commit_s = std::atoi(argv[++k]);
        else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr, "zrt-bench-history: unknown option %s (--day, --keep, --writes, --commit-s N, DIR)\n",
                         a.c_str());
            return 2;
        } else dir = a;
    }
    if (dir.empty()) dir = writes ? "/var/tmp" : "/tmp";
    const int figures = zrt::bench::divert_trace_lines();
    FILE* out = figures >= 0 ? fdopen(figures, "w") : stderr;

    // The reference site's images, from real cycles.
    const std::vector<Image> refs = zrt::bench::reference_images();
    size_t image_bytes = 0;
    for (const Image& im : refs) image_bytes += im.bytes.size();
    std::fprintf(out, "reference site: %zu devices, %zu image bytes a cycle, a cycle every %.1f s (%lld a day)\n",
                 refs.size(), image_bytes, kCycleMs / 1000.0, static_cast<long long>(kDayMs / kCycleMs));

    zrt::host::register_history_sql();
    if (writes) {
        // What a day costs the storage: the process's own counters around the day.
        auto io = [] {
            std::ifstream in("/proc/self/io");
            std::map<std::string, int64_t> v;
            std::string name;
            int64_t n = 0;
            while (in >> name >> n) v[name] = n;
            return v;
        };
        const std::string path = dir + "/zrt-bench-history-writes.db";
        auto before = io();
        const DayFigures f = one_day(path, refs, true, Timing::Grid, commit_s);
        auto after = io();
        std::fprintf(out,
                     "a jittering day written with a commit every %d s (0: every save) into %s: %.2f MB written to "
                     "storage (write_bytes), %.2f MB handed to write() (wchar); the file holds %.0f KB; written in "
                     "%.1f s\n",
                     commit_s, dir.c_str(), double(after["write_bytes:"] - before["write_bytes:"]) / 1e6,
                     double(after["wchar:"] - before["wchar:"]) / 1e6, f.bytes / 1e3, f.seconds);
        std::fflush(out);
        if (!keep) remove_db(path);
        return 0;
    }
    const std::string day_path = dir + "/zrt-bench-history-day.db";
    int64_t jitter_samples = 0, jitter_bytes = 0;
    for (bool jitter : {false, true}) {
        const DayFigures f = one_day(day_path, refs, jitter);
        if (jitter) jitter_samples = f.values;
        if (jitter) jitter_bytes = f.bytes;
        std::fprintf(out,
                     "one day, %s plant: %.0f KB, %.2f bytes a stored sample (%lld value rows in %lld chunks, "
                     "%lld images, %lld alarm rows, %lld cycle rows), written in %.1f s\n",
                     jitter ? "jittering" : "constant", f.bytes / 1e3, double(f.bytes) / double(f.values),
                     static_cast<long long>(f.values), static_cast<long long>(f.chunks),
                     static_cast<long long>(f.images), static_cast<long long>(f.alarms),
                     static_cast<long long>(f.cycles), f.seconds);
        breakdown(out, day_path);
    }
    {
        const std::string host_path = dir + "/zrt-bench-history-host.db";
        const DayFigures f = one_day(host_path, refs, true, Timing::Host);
        std::fprintf(out,
                     "jittered day (real host timing): %.2f bytes per sample (%.0f KB, %lld value rows in %lld chunks, "
                     "%lld cycle rows)\n",
                     double(f.bytes) / double(f.values), f.bytes / 1e3, static_cast<long long>(f.values),
                     static_cast<long long>(f.chunks), static_cast<long long>(f.cycles));
        breakdown(out, host_path);
        if (!keep) remove_db(host_path);
    }

    // The same samples in a Prometheus TSDB: OpenMetrics text, one series per value (an
    // absent row as NaN), through promtool's backfill.
    if (std::system("command -v promtool >/dev/null 2>&1") == 0) {
        const std::string om = dir + "/zrt-bench-history.om", blocks = dir + "/zrt-bench-history-tsdb";
        std::filesystem::remove_all(blocks);
        {
            std::ofstream text(om);
            text << "# TYPE zrt_value gauge\n";
            sqlite3* db = nullptr;
            sqlite3_open_v2(day_path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
            sqlite3_stmt* q = nullptr;
            sqlite3_prepare_v2(db, "SELECT id, data_id, device_type, key FROM series ORDER BY id", -1, &q, nullptr);
            while (sqlite3_step(q) == SQLITE_ROW) {
                const int64_t id = sqlite3_column_int64(q, 0);
                const std::string labels = "{data_id=\"" + std::to_string(sqlite3_column_int64(q, 1)) + "\",type=\"" +
                                           reinterpret_cast<const char*>(sqlite3_column_text(q, 2)) + "\",key=\"" +
                                           reinterpret_cast<const char*>(sqlite3_column_text(q, 3)) + "\"}";
                zrt::host::for_each_value(db, day_path, id, static_cast<uint32_t>(sqlite3_column_int64(q, 1)),
                                          reinterpret_cast<const char*>(sqlite3_column_text(q, 2)), INT64_MIN,
                                          INT64_MAX, [&](int64_t t, const std::optional<double>& v) {
                                              char line[96];
                                              std::snprintf(line, sizeof line, " %.9g %lld.%03lld\n",
                                                            v ? *v : std::nan(""), static_cast<long long>(t / 1000),
                                                            static_cast<long long>(t % 1000));
                                              text << "zrt_value" << labels << line;
                                          });
            }
            sqlite3_finalize(q);
            sqlite3_close(db);
            // Two samples after the day, in blocks of their own: a server compacts a day only
            // once later blocks exist.
            text << "# TYPE zrt_after gauge\n";
            for (int64_t t : {kStart + kDayMs + 1'800'000, kStart + kDayMs + 3 * 3'600'000})
                text << "zrt_after 0 " << t / 1000 << "\n";
            text << "# EOF\n";
        }
        const std::string cmd = "promtool tsdb create-blocks-from openmetrics --quiet " + om + " " + blocks +
                                " >/dev/null 2>&1";
        if (std::system(cmd.c_str()) == 0) {
            int64_t two_hour = 0;
            for (const Block& b : tsdb_blocks(blocks))
                if (b.min < kStart + kDayMs) two_hour += b.bytes;
            std::fprintf(out,
                         "the same %lld samples of the jittering day in a Prometheus TSDB (promtool backfill, "
                         "its 2-hour blocks): %.0f KB, %.2f bytes a sample\n",
                         static_cast<long long>(jitter_samples), two_hour / 1e3,
                         double(two_hour) / double(jitter_samples));
            if (std::system("command -v prometheus >/dev/null 2>&1") == 0) {
                const std::string config = dir + "/zrt-bench-history-prometheus.yml";
                std::ofstream(config) << "global: {}\n";
                const int64_t day = one_day_block(blocks, config);
                std::remove(config.c_str());
                if (day >= 0)
                    std::fprintf(out,
                                 "  compacted to its one-day block (by a Prometheus server on the blocks): %.0f KB, "
                                 "%.2f bytes a sample; the history file's jittering day above is %.0f %% of it\n",
                                 day / 1e3, double(day) / double(jitter_samples),
                                 100.0 * double(jitter_bytes) / double(day));
                else
                    std::fprintf(out, "  prometheus did not compact the day into one block within 4 minutes\n");
            } else {
                std::fprintf(out, "  prometheus not installed: no one-day block figure\n");
            }
        } else {
            std::fprintf(out, "promtool failed: %s\n", cmd.c_str());
        }
        std::remove(om.c_str());
        std::filesystem::remove_all(blocks);
    } else {
        std::fprintf(out, "promtool not installed: no Prometheus figure\n");
    }

    if (day_only) {
        std::fflush(out);
        if (!keep) remove_db(day_path);
        return 0;
    }

    // A writer opening the file again closes the chunks the day left open, so its rollups
    // hold all 24 hours.
    { HistoryStore reopen(day_path, 0); }

    // Thirty days: the jittering day, copied with its times moved on.
    const std::string month = dir + "/zrt-bench-history-30d.db";
    remove_db(month);
    {
        const std::string copy = "cp " + day_path + " " + month;
        if (std::system(copy.c_str()) != 0) return 1;
        sqlite3* db = nullptr;
        sqlite3_open(month.c_str(), &db);
        exec(db, "BEGIN");
        const std::string day_end = std::to_string(kStart + kDayMs);
        std::vector<std::tuple<int64_t, std::string, std::vector<uint8_t>>> chunks;
        std::vector<std::vector<uint8_t>> cycles;
        {
            sqlite3_stmt* q = nullptr;
            sqlite3_prepare_v2(db, "SELECT data_id, device_type, data FROM chunk", -1, &q, nullptr);
            while (sqlite3_step(q) == SQLITE_ROW) {
                const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(q, 2));
                chunks.emplace_back(sqlite3_column_int64(q, 0), reinterpret_cast<const char*>(sqlite3_column_text(q, 1)),
                                    std::vector<uint8_t>(p, p + sqlite3_column_bytes(q, 2)));
            }
            sqlite3_finalize(q);
            sqlite3_prepare_v2(db, "SELECT data FROM cycle_chunk", -1, &q, nullptr);
            while (sqlite3_step(q) == SQLITE_ROW) {
                const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(q, 0));
                cycles.emplace_back(p, p + sqlite3_column_bytes(q, 0));
            }
            sqlite3_finalize(q);
        }
        sqlite3_stmt* ins = nullptr;
        sqlite3_prepare_v2(db, "INSERT INTO chunk (data_id, device_type, t_min, t_max, open, data) VALUES (?, ?, ?, ?, 0, ?)",
                           -1, &ins, nullptr);
        sqlite3_stmt* ins_cycles = nullptr;
        sqlite3_prepare_v2(db, "INSERT INTO cycle_chunk (t_min, t_max, rows, open, data, errors, bad_frames, timeouts,"
                               " duration_ms, covered_ms) VALUES (?, ?, ?, 0, ?, ?, ?, ?, ?, ?)",
                           -1, &ins_cycles, nullptr);
        for (int d = 1; d < 30; ++d) {
            const int64_t shift = int64_t(d) * kDayMs;
            const std::string shift_text = std::to_string(shift);
            for (const auto& [data_id, type, blob] : chunks) {
                zrt::host::codec::ParsedChunk c;
                bool ok = zrt::host::codec::parse_chunk(blob.data(), blob.size(), c);
                const std::vector<uint8_t> moved = zrt::host::codec::trim_chunk(c, INT64_MIN, ok, shift);
                zrt::host::codec::parse_chunk(moved.data(), moved.size(), c);
                sqlite3_bind_int64(ins, 1, data_id);
                sqlite3_bind_text(ins, 2, type.c_str(), -1, SQLITE_TRANSIENT);
                sqlite3_bind_int64(ins, 3, *std::min_element(c.polls.begin(), c.polls.end()));
                sqlite3_bind_int64(ins, 4, *std::max_element(c.polls.begin(), c.polls.end()));
                sqlite3_bind_blob(ins, 5, moved.data(), static_cast<int>(moved.size()), SQLITE_TRANSIENT);
                sqlite3_step(ins);
                sqlite3_reset(ins);
            }
            for (const auto& blob : cycles) {
                std::vector<zrt::host::codec::CycleRow> rows;
                zrt::host::codec::decode_cycles(blob.data(), blob.size(), rows);
                zrt::host::codec::CycleEncoder e;
                for (auto r : rows) {
                    r.time_ms += shift;
                    e.add(r);
                }
                const std::vector<uint8_t> moved = e.blob();
                sqlite3_bind_int64(ins_cycles, 1, rows.front().time_ms + shift);
                sqlite3_bind_int64(ins_cycles, 2, rows.back().time_ms + shift);
                sqlite3_bind_int64(ins_cycles, 3, static_cast<sqlite3_int64>(rows.size()));
                sqlite3_bind_blob(ins_cycles, 4, moved.data(), static_cast<int>(moved.size()), SQLITE_TRANSIENT);
                sqlite3_bind_int64(ins_cycles, 5, static_cast<sqlite3_int64>(e.sums().errors));
                sqlite3_bind_int64(ins_cycles, 6, static_cast<sqlite3_int64>(e.sums().bad_frames));
                sqlite3_bind_int64(ins_cycles, 7, static_cast<sqlite3_int64>(e.sums().timeouts));
                sqlite3_bind_double(ins_cycles, 8, e.sums().duration_ms);
                sqlite3_bind_double(ins_cycles, 9, e.sums().covered_ms);
                sqlite3_step(ins_cycles);
                sqlite3_reset(ins_cycles);
            }
            exec(db, "INSERT INTO alarm (time_ms, data_id, device_type, key, seq, signal_id, name, instance, level,"
                     " state) SELECT time_ms + " + shift_text + ", data_id, device_type, key, seq, signal_id, name,"
                     " instance, level, state FROM alarm WHERE time_ms < " + day_end);
            exec(db, "INSERT INTO rollup SELECT data_id, device_type, day_ms + " + shift_text +
                         ", data FROM rollup WHERE day_ms < " + day_end);
            // The hourly images of the day (the newest of each device stays the newest).
            exec(db, "INSERT INTO history (data_id, device_type, record_type, time, image) SELECT data_id,"
                     " device_type, record_type, strftime('%Y-%m-%dT%H:%M:%fZ', time, '+" + std::to_string(d) +
                         " days'), image FROM history WHERE time < '2026-12-02'");
        }
        sqlite3_finalize(ins);
        sqlite3_finalize(ins_cycles);
        exec(db, "COMMIT");
        const int64_t values = scalar(db, "SELECT count(*) FROM value_rows");
        sqlite3_close(db);
        std::fprintf(out, "30 days (jittering day x 30): %.2f MB, %lld value rows\n", settle(month) / 1e6,
                     static_cast<long long>(values));
    }

    // A year of hourly rollups: the day's rollups of every device, 365 times.
    {
        const std::string year = dir + "/zrt-bench-history-year.db";
        remove_db(year);
        sqlite3* db = nullptr;
        sqlite3_open(year.c_str(), &db);
        exec(db, "ATTACH '" + day_path + "' AS day");
        exec(db, "CREATE TABLE rollup (data_id INTEGER NOT NULL, device_type TEXT NOT NULL, day_ms INTEGER NOT"
                     " NULL, data BLOB NOT NULL, PRIMARY KEY (data_id, device_type, day_ms)) WITHOUT ROWID");
        exec(db, "BEGIN");
        for (int d = 0; d < 365; ++d)
            exec(db, "INSERT INTO rollup SELECT data_id, device_type, day_ms + " + std::to_string(int64_t(d) * kDayMs) +
                         ", data FROM day.rollup");
        exec(db, "COMMIT");
        const int64_t hours = scalar(db, "SELECT count(*) FROM day.rollup");
        exec(db, "DETACH day");
        sqlite3_close(db);
        std::fprintf(out, "a year of hourly rollups (%lld device-days): %.2f MB\n",
                     static_cast<long long>(hours * 365), settle(year) / 1e6);
        remove_db(year);
    }

    zrt::host::ExportOptions ex;
    ex.history = month;
    ex.out = dir + "/zrt-bench-history.out";
    ex.selection.devices = {"21"};
    ex.selection.keys = {"v"};
    auto t0 = std::chrono::steady_clock::now();
    uint64_t rows = zrt::host::run_export(ex);
    std::fprintf(out, "export, one screen's DC voltage over 30 days: %.3f s (%llu rows)\n", seconds_since(t0),
                 static_cast<unsigned long long>(rows));
    ex.selection = {};
    const long rss_before = max_rss_kb();
    t0 = std::chrono::steady_clock::now();
    rows = zrt::host::run_export(ex);
    std::fprintf(out,
                 "export, every value of 30 days as CSV: %.2f s (%llu rows, %.0f MB), peak memory grew by %ld KB\n",
                 seconds_since(t0), static_cast<unsigned long long>(rows), file_bytes(ex.out) / 1e6,
                 max_rss_kb() - rss_before);
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
    if (keep) return 0;
    remove_db(day_path);
    remove_db(month);
    std::remove(ex.out.c_str());
    std::remove(rep.out.c_str());
    return 0;
}

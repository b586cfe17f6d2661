// The decoded part of the history store: values, alarm transitions, cycles, and the
// retention rules. The schema is documented in the README (History store).
#include <chrono>
#include <cmath>
#include <ctime>
#include <memory>

#include <fmt/format.h>
#include <sqlite3.h>

#include "tools/history/history_store.h"
#include "tools/core/host_error.h"
#include "tools/history/sqlite_util.h"
#include "tools/core/image_decode.h"

namespace zrt::host {
namespace {

void step_done(sqlite3* db, sqlite3_stmt* s) {
    if (sqlite3_step(s) != SQLITE_DONE) throw HostError(kExitHistory, std::string("history: ") + sqlite3_errmsg(db));
    sqlite3_reset(s);
}

const char* kind_text(ValueKind k) {
    switch (k) {
    case ValueKind::Measure: return "measure";
    case ValueKind::Setting: return "setting";
    case ValueKind::State: return "state";
    case ValueKind::Count: return "count";
    }
    return "measure";
}

// How far a measured value may move before it is written again: the equipment's last digit
// flickers, and a row per flicker would fill a day with noise.
double dead_band(const DecodedValue& v) {
    if (v.kind != ValueKind::Measure) return 0.0;
    if (v.unit == "V" || v.unit == "A") return 0.15;
    if (v.unit == "Hz") return 0.05;
    return 0.0;
}

const char* const kSchema =
    "CREATE TABLE IF NOT EXISTS series ("
    " id INTEGER PRIMARY KEY,"
    " data_id INTEGER NOT NULL,"
    " device_type TEXT NOT NULL,"
    " record_type INTEGER NOT NULL,"
    " key TEXT NOT NULL,"
    " label TEXT NOT NULL,"
    " unit TEXT NOT NULL,"
    " kind TEXT NOT NULL,"
    " UNIQUE (data_id, device_type, record_type, key));"
    "CREATE TABLE IF NOT EXISTS value ("
    " series INTEGER NOT NULL,"
    " time_ms INTEGER NOT NULL,"
    " value REAL,"
    " PRIMARY KEY (series, time_ms)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS alarm ("
    " id INTEGER PRIMARY KEY,"
    " time_ms INTEGER NOT NULL,"
    " data_id INTEGER NOT NULL,"
    " device_type TEXT NOT NULL,"
    " key TEXT NOT NULL,"
    " seq INTEGER NOT NULL,"
    " signal_id TEXT NOT NULL,"
    " name TEXT NOT NULL,"
    " instance TEXT NOT NULL,"
    " level INTEGER NOT NULL,"
    " state INTEGER NOT NULL);"
    "CREATE INDEX IF NOT EXISTS alarm_time ON alarm (time_ms);"
    "CREATE INDEX IF NOT EXISTS alarm_device ON alarm (data_id, device_type, time_ms);"
    "CREATE TABLE IF NOT EXISTS cycle ("
    " id INTEGER PRIMARY KEY,"
    " time_ms INTEGER NOT NULL,"
    " n INTEGER NOT NULL,"
    " duration_ms REAL NOT NULL,"
    " errors INTEGER NOT NULL,"
    " bad_frames INTEGER NOT NULL,"
    " timeouts INTEGER NOT NULL);"
    "CREATE INDEX IF NOT EXISTS cycle_time ON cycle (time_ms);"
    "CREATE INDEX IF NOT EXISTS history_time ON history (time);"
    "CREATE VIEW IF NOT EXISTS value_v AS"
    " SELECT strftime('%Y-%m-%dT%H:%M:%fZ', v.time_ms / 1000.0, 'unixepoch') AS time, v.time_ms,"
    " s.data_id, s.device_type, s.record_type, s.key, s.label, s.unit, s.kind, v.value"
    " FROM value v JOIN series s ON s.id = v.series;"
    "CREATE VIEW IF NOT EXISTS alarm_v AS"
    " SELECT strftime('%Y-%m-%dT%H:%M:%fZ', time_ms / 1000.0, 'unixepoch') AS time, time_ms, data_id,"
    " device_type, key, seq, signal_id, name, instance, level,"
    " CASE state WHEN 1 THEN 'raised' ELSE 'cleared' END AS state FROM alarm;"
    "CREATE VIEW IF NOT EXISTS cycle_v AS"
    " SELECT strftime('%Y-%m-%dT%H:%M:%fZ', time_ms / 1000.0, 'unixepoch') AS time, time_ms, n, duration_ms,"
    " errors, bad_frames, timeouts FROM cycle;";

}  // namespace

std::string utc_text(int64_t ms) {
    int64_t secs = ms / 1000, rem = ms % 1000;
    if (rem < 0) {
        rem += 1000;
        --secs;
    }
    const std::time_t t = static_cast<std::time_t>(secs);
    std::tm tm{};
    gmtime_r(&t, &tm);
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}Z", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                       tm.tm_hour, tm.tm_min, tm.tm_sec, rem);
}

void HistoryStore::create_decoded_tables() {
    exec(kSchema);
    // Existing series keep their ids; reading them back here lets a restarted host go on
    // with the same rows.
    Stmt q = prepare(db_, "SELECT id, data_id, device_type, record_type, key FROM series");
    while (sqlite3_step(q.get()) == SQLITE_ROW) {
        series_[{static_cast<uint32_t>(sqlite3_column_int64(q.get(), 1)),
                 reinterpret_cast<const char*>(sqlite3_column_text(q.get(), 2)), sqlite3_column_int(q.get(), 3),
                 reinterpret_cast<const char*>(sqlite3_column_text(q.get(), 4))}] = sqlite3_column_int64(q.get(), 0);
    }
}

int64_t HistoryStore::now_ms() const {
    if (clock_) return clock_();
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void HistoryStore::set_clock(std::function<int64_t()> now_ms) {
    std::lock_guard<std::mutex> lock(mu_);
    clock_ = std::move(now_ms);
}

void HistoryStore::set_retention_days(int days) {
    std::lock_guard<std::mutex> lock(mu_);
    retention_days_ = days < 0 ? 0 : days;
    last_prune_ = 0;  // apply the new rule with the next save
}

int64_t HistoryStore::series_id_locked(uint32_t data_id, const std::string& device_type, int record_type,
                                       const std::string& key, const std::string& label, const std::string& unit,
                                       int kind) {
    auto name = std::make_tuple(data_id, device_type, record_type, key);
    auto it = series_.find(name);
    if (it != series_.end()) return it->second;
    Stmt ins = prepare(db_,
                       "INSERT INTO series (data_id, device_type, record_type, key, label, unit, kind)"
                       " VALUES (?, ?, ?, ?, ?, ?, ?)");
    sqlite3_bind_int64(ins.get(), 1, data_id);
    sqlite3_bind_text(ins.get(), 2, device_type.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(ins.get(), 3, record_type);
    sqlite3_bind_text(ins.get(), 4, key.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(ins.get(), 5, label.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(ins.get(), 6, unit.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(ins.get(), 7, kind_text(static_cast<ValueKind>(kind)), -1, SQLITE_STATIC);
    step_done(db_, ins.get());
    const int64_t id = sqlite3_last_insert_rowid(db_);
    // Kept only if the transaction commits: save() forgets it again on a rollback.
    pending_series_.push_back(name);
    series_.emplace(std::move(name), id);
    return id;
}

void HistoryStore::record_values_locked(int64_t now, uint32_t data_id, const std::string& device_type,
                                        int record_type, const std::vector<uint8_t>& image) {
    const DecodedImage d = decode_image(record_type, image);
    if (!d.valid) return;
    Stmt ins;
    for (const DecodedValue& v : d.values) {
        const int64_t id = series_id_locked(data_id, device_type, record_type, v.key, v.label, v.unit,
                                            static_cast<int>(v.kind));
        auto it = last_.find(id);
        bool write = it == last_.end();
        if (!write) {
            const Last& l = it->second;
            const int64_t refresh = v.kind == ValueKind::Measure ? kRefreshMs : kSlowRefreshMs;
            if (now - l.time >= refresh || now < l.time) write = true;
            else if (l.value.has_value() != v.value.has_value()) write = true;
            else if (v.value && std::fabs(*v.value - *l.value) > dead_band(v)) write = true;
            else if (v.value && dead_band(v) == 0.0 && *v.value != *l.value) write = true;
        }
        if (!write) continue;
        if (!ins) ins = prepare(db_, "INSERT OR REPLACE INTO value (series, time_ms, value) VALUES (?, ?, ?)");
        sqlite3_bind_int64(ins.get(), 1, id);
        sqlite3_bind_int64(ins.get(), 2, now);
        // An absent value is a row with NULL: the chart shows a gap, never a made-up number.
        if (v.value) sqlite3_bind_double(ins.get(), 3, *v.value);
        else sqlite3_bind_null(ins.get(), 3);
        step_done(db_, ins.get());
        pending_.push_back({id, Last{v.value, now}});
    }
}

void HistoryStore::record_alarm(uint32_t data_id, const std::string& device_type, const rule_value& r, bool raised) {
    std::lock_guard<std::mutex> lock(mu_);
    Stmt ins = prepare(db_,
                       "INSERT INTO alarm (time_ms, data_id, device_type, key, seq, signal_id, name, instance, level,"
                       " state) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    sqlite3_bind_int64(ins.get(), 1, now_ms());
    sqlite3_bind_int64(ins.get(), 2, data_id);
    sqlite3_bind_text(ins.get(), 3, device_type.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(ins.get(), 4, r.key.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(ins.get(), 5, r.sequence);
    sqlite3_bind_text(ins.get(), 6, r.signal_id.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(ins.get(), 7, r.name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(ins.get(), 8, r.instance.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(ins.get(), 9, r.level);
    sqlite3_bind_int(ins.get(), 10, raised ? 1 : 0);
    step_done(db_, ins.get());
}

void HistoryStore::record_cycle(uint64_t n, double duration_ms, uint64_t errors, uint64_t bad_frames,
                                uint64_t timeouts) {
    std::lock_guard<std::mutex> lock(mu_);
    Stmt ins = prepare(db_,
                       "INSERT INTO cycle (time_ms, n, duration_ms, errors, bad_frames, timeouts)"
                       " VALUES (?, ?, ?, ?, ?, ?)");
    sqlite3_bind_int64(ins.get(), 1, now_ms());
    sqlite3_bind_int64(ins.get(), 2, static_cast<sqlite3_int64>(n));
    sqlite3_bind_double(ins.get(), 3, duration_ms);
    sqlite3_bind_int64(ins.get(), 4, static_cast<sqlite3_int64>(errors));
    sqlite3_bind_int64(ins.get(), 5, static_cast<sqlite3_int64>(bad_frames));
    sqlite3_bind_int64(ins.get(), 6, static_cast<sqlite3_int64>(timeouts));
    step_done(db_, ins.get());
}

void HistoryStore::prune() {
    std::lock_guard<std::mutex> lock(mu_);
    prune_locked(now_ms());
}

void HistoryStore::prune_locked(int64_t now) {
    last_prune_ = now;
    exec("BEGIN");
    try {
        if (retention_days_ > 0) {
            const int64_t cut = now - int64_t(retention_days_) * 86'400'000;
            const std::string cut_text = utc_text(cut);
            // Values go series by series, along the primary key.
            Stmt del_value = prepare(db_, "DELETE FROM value WHERE series = ? AND time_ms < ?");
            for (const auto& [name, id] : series_) {
                sqlite3_bind_int64(del_value.get(), 1, id);
                sqlite3_bind_int64(del_value.get(), 2, cut);
                step_done(db_, del_value.get());
            }
            for (const char* sql : {"DELETE FROM alarm WHERE time_ms < ?", "DELETE FROM cycle WHERE time_ms < ?"}) {
                Stmt del = prepare(db_, sql);
                sqlite3_bind_int64(del.get(), 1, cut);
                step_done(db_, del.get());
            }
            // Images: every device keeps its newest one, however old, for the next start.
            Stmt del_image = prepare(db_,
                                     "DELETE FROM history WHERE time < ?1 AND id NOT IN"
                                     " (SELECT MAX(id) FROM history GROUP BY data_id, device_type)");
            sqlite3_bind_text(del_image.get(), 1, cut_text.c_str(), -1, SQLITE_TRANSIENT);
            step_done(db_, del_image.get());
        }
        // Images older than an hour are thinned to the first of each device in every ten
        // minutes (the decoded values keep the detail); only the part not thinned before is
        // looked at. Without a cap on the count, a day of images would otherwise weigh tens
        // of megabytes.
        if (retention_ == 0) {
            const std::string upto = utc_text(now - kThinAfterMs);
            Stmt thin = prepare(db_,
                                "DELETE FROM history WHERE time >= ?1 AND time < ?2 AND id NOT IN"
                                " (SELECT MIN(id) FROM history WHERE time >= ?1 AND time < ?2"
                                "  GROUP BY data_id, device_type, substr(time, 1, 15))"
                                " AND id NOT IN (SELECT MAX(id) FROM history GROUP BY data_id, device_type)");
            // Start at the ten-minute mark the last pass reached, so a bucket cut in two by
            // the previous pass is completed, not thinned twice.
            const std::string from = thinned_to_.size() >= 15 ? thinned_to_.substr(0, 15) : std::string();
            sqlite3_bind_text(thin.get(), 1, from.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(thin.get(), 2, upto.c_str(), -1, SQLITE_TRANSIENT);
            step_done(db_, thin.get());
            thinned_to_ = upto;
        }
        exec("COMMIT");
    } catch (const std::exception& e) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw HostError(kExitHistory, std::string("retention: ") + e.what());
    }
}

}  // namespace zrt::host

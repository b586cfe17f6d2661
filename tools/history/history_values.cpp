// The decoded part of the history store: values (packed per device and day), alarm
// transitions, cycles (packed per hour) and rollups; the retention rules are in
// history_retention.cpp. The schema is documented in docs/history.md (History store). The
// tables `value` and `cycle` hold rows of
// files written by older versions; they are read as they are and go by age.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <memory>

#include <fmt/format.h>
#include <sqlite3.h>

#include "tools/history/history_store.h"
#include "tools/history/history_chunks.h"
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
    " kind TEXT NOT NULL);"
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
    "CREATE VIEW IF NOT EXISTS alarm_v AS"
    " SELECT strftime('%Y-%m-%dT%H:%M:%fZ', time_ms / 1000.0, 'unixepoch') AS time, time_ms, data_id,"
    " device_type, key, seq, signal_id, name, instance, level,"
    " CASE state WHEN 1 THEN 'raised' ELSE 'cleared' END AS state FROM alarm;";

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
    exec(kChunkSchema);
    exec(kLogSchema);
    // Files of older versions have cycle chunks without their system: they read as 0.
    {
        bool has_system = false;
        Stmt q = prepare(db_, "PRAGMA table_info(cycle_chunk)");
        while (sqlite3_step(q.get()) == SQLITE_ROW)
            has_system = has_system || std::string(reinterpret_cast<const char*>(sqlite3_column_text(q.get(), 1))) == "system";
        if (!has_system) exec("ALTER TABLE cycle_chunk ADD COLUMN system INTEGER NOT NULL DEFAULT 0");
    }
    // Chunks a run left open (it stopped, or was killed) are complete as they stand: the
    // next save starts a new one.
    exec("BEGIN");
    try {
        recover_log_locked();
        std::vector<int64_t> open;
        {
            Stmt q = prepare(db_, "SELECT id FROM chunk WHERE open = 1");
            while (sqlite3_step(q.get()) == SQLITE_ROW) open.push_back(sqlite3_column_int64(q.get(), 0));
        }
        for (int64_t id : open) close_chunk_locked(id);
        exec("UPDATE cycle_chunk SET open = 0 WHERE open = 1");
        exec("COMMIT");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    // Existing series keep their ids; reading them back here lets a restarted host go on
    // with the same rows.
    Stmt q = prepare(db_, "SELECT id, data_id, device_type, record_type, key FROM series");
    while (sqlite3_step(q.get()) == SQLITE_ROW) {
        next_series_id_ = std::max<int64_t>(next_series_id_, sqlite3_column_int64(q.get(), 0) + 1);
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

void HistoryStore::set_rollup_days(int days) {
    std::lock_guard<std::mutex> lock(mu_);
    rollup_days_ = days < 0 ? 0 : days;
    last_prune_ = 0;
}

void HistoryStore::close_chunk_locked(int64_t id, int64_t next_day) {
    uint32_t data_id = 0;
    std::string type;
    std::vector<std::pair<int64_t, codec::Rollup>> rolled;
    {
        Stmt q = prepare(db_, "SELECT data_id, device_type, data FROM chunk WHERE id = ?");
        sqlite3_bind_int64(q.get(), 1, id);
        if (sqlite3_step(q.get()) != SQLITE_ROW) return;
        data_id = static_cast<uint32_t>(sqlite3_column_int64(q.get(), 0));
        type = text_col(q.get(), 1);
        codec::ParsedChunk c;
        const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(q.get(), 2));
        // A chunk that does not decode is left as it is, rolled up or not: closing it must
        // not stop the host.
        if (codec::parse_chunk(p, static_cast<size_t>(sqlite3_column_bytes(q.get(), 2)), c)) {
            try {
                rolled = roll_up_chunk(c, "");
            } catch (const HostError&) {
                rolled.clear();
            }
        }
    }
    std::map<int64_t, std::vector<codec::Rollup>> by_day;
    for (auto& [day, r] : rolled) by_day[day].push_back(r);
    for (auto& [day, add] : by_day) {
        std::map<std::pair<int64_t, int>, codec::Rollup> rows;
        {
            Stmt q = prepare(db_, "SELECT data FROM rollup WHERE data_id = ? AND device_type = ? AND day_ms = ?");
            sqlite3_bind_int64(q.get(), 1, data_id);
            sqlite3_bind_text(q.get(), 2, type.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_int64(q.get(), 3, day);
            std::vector<codec::Rollup> old;
            if (sqlite3_step(q.get()) == SQLITE_ROW &&
                codec::decode_rollups(static_cast<const uint8_t*>(sqlite3_column_blob(q.get(), 0)),
                                      static_cast<size_t>(sqlite3_column_bytes(q.get(), 0)), old))
                for (const codec::Rollup& r : old) rows[{r.series, r.hour}] = r;
        }
        for (const codec::Rollup& r : add) {
            auto [it, fresh] = rows.try_emplace({r.series, r.hour}, r);
            if (!fresh) codec::merge_rollup(it->second, r);
        }
        std::vector<codec::Rollup> all;
        for (auto& [k, r] : rows) all.push_back(r);
        const std::vector<uint8_t> blob = codec::encode_rollups(all);
        Stmt up = prepare(db_, "INSERT OR REPLACE INTO rollup (data_id, device_type, day_ms, data) VALUES (?, ?, ?, ?)");
        sqlite3_bind_int64(up.get(), 1, data_id);
        sqlite3_bind_text(up.get(), 2, type.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(up.get(), 3, day);
        sqlite3_bind_blob(up.get(), 4, blob.data(), static_cast<int>(blob.size()), SQLITE_TRANSIENT);
        step_done(db_, up.get());
    }
    Stmt done = prepare(db_, "UPDATE chunk SET open = 0 WHERE id = ?");
    sqlite3_bind_int64(done.get(), 1, id);
    step_done(db_, done.get());
    // A day is complete when its last hour closes, or when an hour of a later day does (the
    // device was silent at the end of the day, or the host did not run).
    Stmt q = prepare(db_, "SELECT t_min, t_max FROM chunk WHERE id = ?");
    sqlite3_bind_int64(q.get(), 1, id);
    if (sqlite3_step(q.get()) == SQLITE_ROW) {
        const int64_t t = sqlite3_column_int64(q.get(), 0), t_max = sqlite3_column_int64(q.get(), 1);
        q.reset();
        const int64_t day = t / 86'400'000 * 86'400'000 - (t % 86'400'000 < 0 ? 86'400'000 : 0);
        const int64_t hour_end = (t_max / 3'600'000 - (t_max % 3'600'000 < 0 ? 1 : 0) + 1) * 3'600'000;
        int64_t upto = hour_end == day + 86'400'000 ? hour_end : day;
        if (next_day > day) upto = std::max(upto, next_day);
        auto it = joined_day_.find({data_id, type});
        if (it == joined_day_.end() || it->second < upto) {
            join_days_locked(data_id, type, upto);
            joined_day_[{data_id, type}] = upto;
        }
    }
}

// A device's hours of a UTC day are rows of their own while the day runs (each written once,
// when it closes) and are joined into one row when the day is over: one row a day fills its
// pages, and the series run on without a header and a first value every hour; the day's row
// is written once. Where anything does not fit (a clock step, a row that does not decode, too
// many polls), the rows stay as they are: readers take them just as well.
void HistoryStore::join_days_locked(uint32_t data_id, const std::string& type, int64_t day) {
    struct Part {
        int64_t id, t_min, t_max;
        std::vector<uint8_t> blob;
    };
    std::map<int64_t, std::vector<Part>> by_day;
    {
        // Only the days since the last row that is a day's already (retention keeps 30).
        Stmt q = prepare(db_, "SELECT id, t_min, t_max, data FROM chunk WHERE data_id = ? AND device_type = ?"
                              " AND open = 0 AND t_max < ? AND t_min >= ? ORDER BY t_min, id");
        sqlite3_bind_int64(q.get(), 1, data_id);
        sqlite3_bind_text(q.get(), 2, type.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(q.get(), 3, day);
        sqlite3_bind_int64(q.get(), 4, day - 7 * int64_t(86'400'000));  // a week back at most
        while (sqlite3_step(q.get()) == SQLITE_ROW) {
            Part p{sqlite3_column_int64(q.get(), 0), sqlite3_column_int64(q.get(), 1), sqlite3_column_int64(q.get(), 2),
                   blob_col(q.get(), 3)};
            const int64_t d = p.t_min / 86'400'000 * 86'400'000 - (p.t_min % 86'400'000 < 0 ? 86'400'000 : 0);
            if (p.t_max >= d + 86'400'000) continue;  // not within one day
            by_day[d].push_back(std::move(p));
        }
    }
    for (auto& [d, all] : by_day) {
        // In time order; a row that goes back in time (a clock step) stays a row of its own.
        std::vector<Part> parts;
        std::vector<codec::ParsedChunk> parsed;
        size_t polls = 0;
        for (Part& p : all) {
            codec::ParsedChunk c;
            if (!codec::parse_chunk(p.blob.data(), p.blob.size(), c) || c.polls.empty()) continue;
            const int64_t first = *std::min_element(c.polls.begin(), c.polls.end());
            if (!parsed.empty() && first <= *std::max_element(parsed.back().polls.begin(), parsed.back().polls.end()))
                continue;
            if (polls + c.polls.size() > codec::kMaxJoinedPolls) break;
            polls += c.polls.size();
            parts.push_back(std::move(p));
            parsed.push_back(std::move(c));
        }
        if (parts.size() < 2) continue;
        std::vector<const codec::ParsedChunk*> ptrs;
        for (const auto& c : parsed) ptrs.push_back(&c);
        bool ok = false;
        const std::vector<uint8_t> joined = codec::rechunk(ptrs, INT64_MIN, ok);
        if (!ok || joined.empty()) continue;
        Stmt up = prepare(db_, "UPDATE chunk SET t_min = ?, t_max = ?, data = ? WHERE id = ?");
        sqlite3_bind_int64(up.get(), 1, parts.front().t_min);
        sqlite3_bind_int64(up.get(), 2, parts.back().t_max);
        sqlite3_bind_blob(up.get(), 3, joined.data(), static_cast<int>(joined.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int64(up.get(), 4, parts.front().id);
        step_done(db_, up.get());
        Stmt del = prepare(db_, "DELETE FROM chunk WHERE id = ?");
        for (size_t k = 1; k < parts.size(); ++k) {
            sqlite3_bind_int64(del.get(), 1, parts[k].id);
            step_done(db_, del.get());
        }
    }
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
    // The id is given here (the chunks use it at once); the row is written by the next commit.
    const int64_t id = next_series_id_++;
    ops_.push_back([this, id, data_id, device_type, record_type, key, label, unit, kind] {
        Stmt ins = prepare(db_,
                           "INSERT INTO series (id, data_id, device_type, record_type, key, label, unit, kind)"
                           " VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
        sqlite3_bind_int64(ins.get(), 1, id);
        sqlite3_bind_int64(ins.get(), 2, data_id);
        sqlite3_bind_text(ins.get(), 3, device_type.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(ins.get(), 4, record_type);
        sqlite3_bind_text(ins.get(), 5, key.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(ins.get(), 6, label.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(ins.get(), 7, unit.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(ins.get(), 8, kind_text(static_cast<ValueKind>(kind)), -1, SQLITE_STATIC);
        step_done(db_, ins.get());
    });
    series_.emplace(std::move(name), id);
    return id;
}

void HistoryStore::record_values_locked(int64_t now, uint32_t data_id, const std::string& device_type,
                                        int record_type, const DecodedImage& d) {
    if (!d.valid) return;
    // The device's chunk of this hour: a new hour (or a clock step into another) closes the
    // chunk before.
    const int64_t hour = now / 3'600'000 - (now % 3'600'000 < 0 ? 1 : 0);
    const auto key = std::make_pair(data_id, device_type);
    OpenChunk& oc = chunks_[key];
    if (!oc.enc.empty() && oc.hour != hour) {
        const int64_t day = now / 86'400'000 * 86'400'000 - (now % 86'400'000 < 0 ? 86'400'000 : 0);
        if (day > oc.t_max) oc.next_day = day;
        closed_.emplace_back(key, std::move(oc));
        oc = OpenChunk{};
    }
    if (oc.enc.empty()) {
        oc.hour = hour;
        oc.t_min = oc.t_max = now;
    }
    oc.dirty = true;
    // Every answer is a poll of the chunk: a value not written at a poll held unchanged.
    oc.enc.add_poll(now);
    oc.t_min = std::min(oc.t_min, now);
    oc.t_max = std::max(oc.t_max, now);
    for (const DecodedValue& v : d.values) {
        const int64_t id = series_id_locked(data_id, device_type, record_type, v.key, v.label, v.unit,
                                            static_cast<int>(v.kind));
        const int64_t refresh = v.kind == ValueKind::Measure ? kRefreshMs : kSlowRefreshMs;
        auto it = last_.find(id);
        bool write = it == last_.end();
        if (!write) {
            const Last& l = it->second;
            if (now - l.time >= refresh || now < l.time) write = true;
            else if (l.value.has_value() != v.value.has_value()) write = true;
            else if (v.value && std::fabs(*v.value - *l.value) > dead_band(v)) write = true;
            else if (v.value && dead_band(v) == 0.0 && *v.value != *l.value) write = true;
        }
        if (!write) continue;
        // An absent value is written as absent: the chart shows a gap, never a made-up number.
        oc.enc.stream(id, refresh).add(oc.enc.polls(), v.value);
        last_[id] = Last{v.value, now};
    }
}

namespace {

// Writes a chunk's row: a new one (id 0) or its row again. Returns its id.
int64_t write_chunk_row(sqlite3* db, int64_t id, uint32_t data_id, const std::string& type, int64_t t_min,
                        int64_t t_max, const std::vector<uint8_t>& blob) {
    Stmt q = prepare(db, id == 0 ? "INSERT INTO chunk (t_min, t_max, data, data_id, device_type, open)"
                                   " VALUES (?1, ?2, ?3, ?5, ?6, 1)"
                                 : "UPDATE chunk SET t_min = ?1, t_max = ?2, data = ?3 WHERE id = ?4");
    sqlite3_bind_int64(q.get(), 1, t_min);
    sqlite3_bind_int64(q.get(), 2, t_max);
    sqlite3_bind_blob(q.get(), 3, blob.data(), static_cast<int>(blob.size()), SQLITE_TRANSIENT);
    if (id != 0) {
        sqlite3_bind_int64(q.get(), 4, id);
    } else {
        sqlite3_bind_int64(q.get(), 5, data_id);
        sqlite3_bind_text(q.get(), 6, type.c_str(), -1, SQLITE_TRANSIENT);
    }
    step_done(db, q.get());
    return id != 0 ? id : sqlite3_last_insert_rowid(db);
}

// The same for a cycle chunk.
int64_t write_cycle_row(sqlite3* db, int64_t id, uint32_t system, int64_t t_min, int64_t t_max,
                        const codec::CycleEncoder& enc, bool open) {
    Stmt q = prepare(db, id == 0 ? "INSERT INTO cycle_chunk (t_min, t_max, rows, data, errors, bad_frames, timeouts,"
                                   " duration_ms, covered_ms, open, system) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8,"
                                   " ?9, ?11, ?12)"
                                 : "UPDATE cycle_chunk SET t_min = ?1, t_max = ?2, rows = ?3, data = ?4, errors = ?5,"
                                   " bad_frames = ?6, timeouts = ?7, duration_ms = ?8, covered_ms = ?9, open = ?11"
                                   " WHERE id = ?10");
    const std::vector<uint8_t> blob = enc.blob();
    const codec::CycleSums& sums = enc.sums();
    sqlite3_bind_int64(q.get(), 1, t_min);
    sqlite3_bind_int64(q.get(), 2, t_max);
    sqlite3_bind_int64(q.get(), 3, static_cast<sqlite3_int64>(enc.rows()));
    sqlite3_bind_blob(q.get(), 4, blob.data(), static_cast<int>(blob.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int64(q.get(), 5, static_cast<sqlite3_int64>(sums.errors));
    sqlite3_bind_int64(q.get(), 6, static_cast<sqlite3_int64>(sums.bad_frames));
    sqlite3_bind_int64(q.get(), 7, static_cast<sqlite3_int64>(sums.timeouts));
    sqlite3_bind_double(q.get(), 8, sums.duration_ms);
    sqlite3_bind_double(q.get(), 9, sums.covered_ms);
    if (id != 0) sqlite3_bind_int64(q.get(), 10, id);
    sqlite3_bind_int(q.get(), 11, open ? 1 : 0);
    if (id == 0) sqlite3_bind_int64(q.get(), 12, system);
    step_done(db, q.get());
    return id != 0 ? id : sqlite3_last_insert_rowid(db);
}

}  // namespace

int64_t HistoryStore::write_cycles_locked(uint32_t system, const OpenCycles& c, bool open) {
    return write_cycle_row(db_, c.id, system, c.t_min, c.t_max, c.enc, open);
}

void HistoryStore::write_held_locked(int64_t now, bool images, bool all,
                                     std::map<std::pair<uint32_t, std::string>, int64_t>& chunk_ids,
                                     std::map<uint32_t, int64_t>& cycle_ids) {
    (void)now;
    for (const auto& op : ops_) op();
    images_now_.clear();
    for (size_t k = 0; k < images_.size(); ++k) {
        const HeldImage& i = images_[k];
        if (!images && images_written_.count({i.data_id, i.device_type})) continue;
        save_image_locked(i.time, i.data_id, i.device_type, i.record_type, i.image);
        images_now_.push_back(k);
    }
    // Hours closed since the last commit: written whole once, rolled up, closed.
    for (const auto& [key, c] : closed_) {
        const int64_t id = write_chunk_row(db_, c.id, key.first, key.second, c.t_min, c.t_max, c.enc.blob());
        close_chunk_locked(id, c.next_day);
    }
    if (commit_ms_ > 0) {
        // Closed hours are written whole above; the open ones go to the log.
        for (const auto& [system, c] : closed_cycles_)
            write_cycle_row(db_, c.id, system, c.t_min, c.t_max, c.enc, false);
        log_open_locked(all);
        return;
    }
    for (const auto& [key, c] : chunks_) {
        if (!c.dirty || c.enc.empty()) continue;
        const int64_t id = write_chunk_row(db_, c.id, key.first, key.second, c.t_min, c.t_max, c.enc.blob());
        if (c.id == 0) chunk_ids[key] = id;
    }
    for (const auto& [system, c] : closed_cycles_)
        write_cycle_row(db_, c.id, system, c.t_min, c.t_max, c.enc, false);
    if (cycles_.dirty) {
        const int64_t id = write_cycle_row(db_, cycles_.id, cycles_system_, cycles_.t_min, cycles_.t_max, cycles_.enc, true);
        if (cycles_.id == 0) cycle_ids[cycles_system_] = id;
    }
    for (const auto& [system, c] : parked_cycles_) {
        if (!c.dirty) continue;
        const int64_t id = write_cycle_row(db_, c.id, system, c.t_min, c.t_max, c.enc, true);
        if (c.id == 0) cycle_ids[system] = id;
    }
}

void HistoryStore::record_alarm(uint32_t data_id, const std::string& device_type, const rule_value& r, bool raised) {
    std::lock_guard<std::mutex> lock(mu_);
    if (mode_ == Mode::ReadOnly) return;
    const int64_t now = now_ms();
    ops_.push_back([this, now, data_id, device_type, r, raised] {
    Stmt ins = prepare(db_,
                       "INSERT INTO alarm (time_ms, data_id, device_type, key, seq, signal_id, name, instance, level,"
                       " state) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    sqlite3_bind_int64(ins.get(), 1, now);
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
    });
    if (commit_ms_ == 0) commit_locked(now);
}

void HistoryStore::record_cycle(uint64_t n, double duration_ms, uint64_t errors, uint64_t bad_frames,
                                uint64_t timeouts, uint32_t system) {
    std::lock_guard<std::mutex> lock(mu_);
    if (mode_ == Mode::ReadOnly) return;
    if (system != cycles_system_) {
        // Another system's cycle: its own open chunk.
        parked_cycles_[cycles_system_] = std::move(cycles_);
        cycles_ = std::move(parked_cycles_[system]);
        parked_cycles_.erase(system);
        cycles_system_ = system;
    }
    const int64_t now = now_ms();
    const int64_t hour = now / 3'600'000 - (now % 3'600'000 < 0 ? 1 : 0);
    if (cycles_.enc.rows() != 0 && cycles_.hour != hour) {
        closed_cycles_.emplace_back(system, std::move(cycles_));
        cycles_ = OpenCycles{};
    }
    if (cycles_.enc.rows() == 0) {
        cycles_.hour = hour;
        cycles_.t_min = cycles_.t_max = now;
    }
    codec::CycleRow r;
    r.time_ms = now;
    r.n = n;
    // Kept to a tenth of a millisecond, as the cycle line shows it: the clock's
    // nanoseconds would cost some 60 bits a cycle and say nothing.
    r.duration_ms = std::isfinite(duration_ms) && std::fabs(duration_ms) < 1e15
                        ? static_cast<double>(std::llround(duration_ms * 10)) / 10
                        : duration_ms;
    r.errors = errors;
    r.bad_frames = bad_frames;
    r.timeouts = timeouts;
    cycles_.enc.add(r);
    cycles_.t_min = std::min(cycles_.t_min, now);
    cycles_.t_max = std::max(cycles_.t_max, now);
    cycles_.dirty = true;
    if (commit_ms_ == 0 && (!state_.failing || now - last_attempt_ >= 5'000 || now < last_attempt_))
        commit_locked(now);
}

}  // namespace zrt::host

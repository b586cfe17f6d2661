// The decoded part of the history store: values (packed per device and day), alarm
// transitions, cycles (packed per hour), rollups, and the retention rules. The schema is
// documented in the README (History store). The tables `value` and `cycle` hold rows of
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

void HistoryStore::close_chunk_locked(int64_t id) {
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
    join_day_locked(id, data_id, type);
}

// A closed hour joins the device's chunk of the same UTC day when that chunk is the one just
// before it: one row a day fills its pages, and the series run on without a header and a
// first value every hour. Where anything does not fit (a clock step, a chunk that does not
// decode, too many polls), the hour stays a row of its own, as readers take it just as well.
void HistoryStore::join_day_locked(int64_t id, uint32_t data_id, const std::string& type) {
    int64_t t_min = 0, t_max = 0;
    std::vector<uint8_t> hour_blob;
    {
        Stmt q = prepare(db_, "SELECT t_min, t_max, data FROM chunk WHERE id = ?");
        sqlite3_bind_int64(q.get(), 1, id);
        if (sqlite3_step(q.get()) != SQLITE_ROW) return;
        t_min = sqlite3_column_int64(q.get(), 0);
        t_max = sqlite3_column_int64(q.get(), 1);
        hour_blob = blob_col(q.get(), 2);
    }
    const int64_t day = t_min / 86'400'000 * 86'400'000 - (t_min % 86'400'000 < 0 ? 86'400'000 : 0);
    if (t_max >= day + 86'400'000) return;
    int64_t prev_id = 0, prev_min = 0;
    std::vector<uint8_t> prev_blob;
    {
        // The device's latest chunk before this one.
        Stmt q = prepare(db_, "SELECT id, t_min, data FROM chunk WHERE data_id = ? AND device_type = ? AND id != ?"
                              " AND open = 0 AND t_max >= ? ORDER BY t_max DESC LIMIT 1");
        sqlite3_bind_int64(q.get(), 1, data_id);
        sqlite3_bind_text(q.get(), 2, type.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(q.get(), 3, id);
        sqlite3_bind_int64(q.get(), 4, day);
        if (sqlite3_step(q.get()) != SQLITE_ROW) return;
        prev_id = sqlite3_column_int64(q.get(), 0);
        prev_min = sqlite3_column_int64(q.get(), 1);
        prev_blob = blob_col(q.get(), 2);
    }
    if (prev_min < day) return;
    codec::ParsedChunk a, b;
    if (!codec::parse_chunk(prev_blob.data(), prev_blob.size(), a) ||
        !codec::parse_chunk(hour_blob.data(), hour_blob.size(), b) || a.polls.empty() || b.polls.empty() ||
        *std::max_element(a.polls.begin(), a.polls.end()) >= *std::min_element(b.polls.begin(), b.polls.end()) ||
        a.polls.size() + b.polls.size() > codec::kMaxJoinedPolls)
        return;
    bool ok = false;
    const std::vector<uint8_t> joined = codec::rechunk({&a, &b}, INT64_MIN, ok);
    if (!ok || joined.empty()) return;
    Stmt up = prepare(db_, "UPDATE chunk SET t_max = ?, data = ? WHERE id = ?");
    sqlite3_bind_int64(up.get(), 1, t_max);
    sqlite3_bind_blob(up.get(), 2, joined.data(), static_cast<int>(joined.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int64(up.get(), 3, prev_id);
    step_done(db_, up.get());
    Stmt del = prepare(db_, "DELETE FROM chunk WHERE id = ?");
    sqlite3_bind_int64(del.get(), 1, id);
    step_done(db_, del.get());
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
    // The device's chunk of this hour: a new hour (or a clock step into another) closes the
    // chunk before.
    const int64_t hour = now / 3'600'000 - (now % 3'600'000 < 0 ? 1 : 0);
    OpenChunk& oc = chunks_[{data_id, device_type}];
    if (oc.id != 0 && oc.hour != hour) {
        close_chunk_locked(oc.id);
        oc = OpenChunk{};
    }
    if (oc.id == 0) {
        Stmt ins = prepare(db_, "INSERT INTO chunk (data_id, device_type, t_min, t_max, open, data)"
                                " VALUES (?, ?, ?, ?, 1, x'')");
        sqlite3_bind_int64(ins.get(), 1, data_id);
        sqlite3_bind_text(ins.get(), 2, device_type.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(ins.get(), 3, now);
        sqlite3_bind_int64(ins.get(), 4, now);
        step_done(db_, ins.get());
        oc.id = sqlite3_last_insert_rowid(db_);
        oc.hour = hour;
        oc.t_min = oc.t_max = now;
    }
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
        pending_.push_back({id, Last{v.value, now}});
    }
    const std::vector<uint8_t> blob = oc.enc.blob();
    Stmt up = prepare(db_, "UPDATE chunk SET t_min = ?, t_max = ?, data = ? WHERE id = ?");
    sqlite3_bind_int64(up.get(), 1, oc.t_min);
    sqlite3_bind_int64(up.get(), 2, oc.t_max);
    sqlite3_bind_blob(up.get(), 3, blob.data(), static_cast<int>(blob.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int64(up.get(), 4, oc.id);
    step_done(db_, up.get());
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
    const OpenCycles before = cycles_;
    exec("BEGIN");
    try {
        if (cycles_.id != 0 && cycles_.hour != hour) {
            Stmt done = prepare(db_, "UPDATE cycle_chunk SET open = 0 WHERE id = ?");
            sqlite3_bind_int64(done.get(), 1, cycles_.id);
            step_done(db_, done.get());
            cycles_ = OpenCycles{};
        }
        if (cycles_.id == 0) {
            Stmt ins = prepare(db_, "INSERT INTO cycle_chunk (t_min, t_max, rows, open, data, system)"
                                    " VALUES (?, ?, 0, 1, x'', ?)");
            sqlite3_bind_int64(ins.get(), 1, now);
            sqlite3_bind_int64(ins.get(), 2, now);
            sqlite3_bind_int64(ins.get(), 3, system);
            step_done(db_, ins.get());
            cycles_.id = sqlite3_last_insert_rowid(db_);
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
        const std::vector<uint8_t> blob = cycles_.enc.blob();
        Stmt up = prepare(db_, "UPDATE cycle_chunk SET t_min = ?, t_max = ?, rows = ?, data = ?, errors = ?,"
                               " bad_frames = ?, timeouts = ?, duration_ms = ?, covered_ms = ? WHERE id = ?");
        const codec::CycleSums& sums = cycles_.enc.sums();
        sqlite3_bind_int64(up.get(), 1, cycles_.t_min);
        sqlite3_bind_int64(up.get(), 2, cycles_.t_max);
        sqlite3_bind_int64(up.get(), 3, static_cast<sqlite3_int64>(cycles_.enc.rows()));
        sqlite3_bind_blob(up.get(), 4, blob.data(), static_cast<int>(blob.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int64(up.get(), 5, static_cast<sqlite3_int64>(sums.errors));
        sqlite3_bind_int64(up.get(), 6, static_cast<sqlite3_int64>(sums.bad_frames));
        sqlite3_bind_int64(up.get(), 7, static_cast<sqlite3_int64>(sums.timeouts));
        sqlite3_bind_double(up.get(), 8, sums.duration_ms);
        sqlite3_bind_double(up.get(), 9, sums.covered_ms);
        sqlite3_bind_int64(up.get(), 10, cycles_.id);
        step_done(db_, up.get());
        exec("COMMIT");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        cycles_ = before;
        throw;
    }
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
            // Chunks still open but older than the cut (a device that stopped answering):
            // rolled up and closed first, so that they can go.
            for (auto it = chunks_.begin(); it != chunks_.end();) {
                if (it->second.id != 0 && it->second.t_max < cut) {
                    close_chunk_locked(it->second.id);
                    it = chunks_.erase(it);
                } else {
                    ++it;
                }
            }
            if (cycles_.id != 0 && cycles_.t_max < cut) {
                Stmt done = prepare(db_, "UPDATE cycle_chunk SET open = 0 WHERE id = ?");
                sqlite3_bind_int64(done.get(), 1, cycles_.id);
                step_done(db_, done.get());
                cycles_ = OpenCycles{};
            }
            // Values go series by series, along the primary key.
            Stmt del_value = prepare(db_, "DELETE FROM value WHERE series = ? AND time_ms < ?");
            for (const auto& [name, id] : series_) {
                sqlite3_bind_int64(del_value.get(), 1, id);
                sqlite3_bind_int64(del_value.get(), 2, cut);
                step_done(db_, del_value.get());
            }
            for (const char* sql : {"DELETE FROM alarm WHERE time_ms < ?", "DELETE FROM cycle WHERE time_ms < ?",
                                    "DELETE FROM chunk WHERE t_max < ? AND open = 0",
                                    "DELETE FROM cycle_chunk WHERE t_max < ? AND open = 0"}) {
                Stmt del = prepare(db_, sql);
                sqlite3_bind_int64(del.get(), 1, cut);
                step_done(db_, del.get());
            }
            // The chunks the cut runs through lose their rows before it.
            {
                std::vector<std::pair<int64_t, std::vector<uint8_t>>> trimmed;
                Stmt q = prepare(db_, "SELECT id, data FROM chunk WHERE t_min < ?1 AND t_max >= ?1 AND open = 0");
                sqlite3_bind_int64(q.get(), 1, cut);
                while (sqlite3_step(q.get()) == SQLITE_ROW) {
                    codec::ParsedChunk c;
                    bool ok = codec::parse_chunk(static_cast<const uint8_t*>(sqlite3_column_blob(q.get(), 1)),
                                                 static_cast<size_t>(sqlite3_column_bytes(q.get(), 1)), c);
                    std::vector<uint8_t> blob;
                    if (ok) blob = codec::trim_chunk(c, cut, ok);
                    if (ok) trimmed.emplace_back(sqlite3_column_int64(q.get(), 0), std::move(blob));
                }
                q.reset();
                for (const auto& [id, blob] : trimmed) {
                    Stmt up = prepare(db_, blob.empty() ? "DELETE FROM chunk WHERE id = ?2"
                                                        : "UPDATE chunk SET t_min = ?3, data = ?1 WHERE id = ?2");
                    if (!blob.empty()) {
                        codec::ParsedChunk c;
                        codec::parse_chunk(blob.data(), blob.size(), c);
                        sqlite3_bind_blob(up.get(), 1, blob.data(), static_cast<int>(blob.size()), SQLITE_TRANSIENT);
                        sqlite3_bind_int64(up.get(), 3, *std::min_element(c.polls.begin(), c.polls.end()));
                    }
                    sqlite3_bind_int64(up.get(), 2, id);
                    step_done(db_, up.get());
                }
            }
            {
                std::vector<std::pair<int64_t, codec::CycleEncoder>> trimmed;
                Stmt q = prepare(db_, "SELECT id, data FROM cycle_chunk WHERE t_min < ?1 AND t_max >= ?1 AND open = 0");
                sqlite3_bind_int64(q.get(), 1, cut);
                while (sqlite3_step(q.get()) == SQLITE_ROW) {
                    std::vector<codec::CycleRow> rows;
                    if (!codec::decode_cycles(static_cast<const uint8_t*>(sqlite3_column_blob(q.get(), 1)),
                                              static_cast<size_t>(sqlite3_column_bytes(q.get(), 1)), rows))
                        continue;
                    codec::CycleEncoder e;
                    for (const codec::CycleRow& r : rows)
                        if (r.time_ms >= cut) e.add(r);
                    trimmed.emplace_back(sqlite3_column_int64(q.get(), 0), std::move(e));
                }
                q.reset();
                for (const auto& [id, e] : trimmed) {
                    Stmt up = prepare(db_, "UPDATE cycle_chunk SET t_min = ?1, rows = ?2, data = ?3, errors = ?5,"
                                           " bad_frames = ?6, timeouts = ?7, duration_ms = ?8, covered_ms = ?9"
                                           " WHERE id = ?4");
                    const std::vector<uint8_t> blob = e.blob();
                    sqlite3_bind_int64(up.get(), 5, static_cast<sqlite3_int64>(e.sums().errors));
                    sqlite3_bind_int64(up.get(), 6, static_cast<sqlite3_int64>(e.sums().bad_frames));
                    sqlite3_bind_int64(up.get(), 7, static_cast<sqlite3_int64>(e.sums().timeouts));
                    sqlite3_bind_double(up.get(), 8, e.sums().duration_ms);
                    sqlite3_bind_double(up.get(), 9, e.sums().covered_ms);
                    sqlite3_bind_int64(up.get(), 1, cut);
                    sqlite3_bind_int64(up.get(), 2, static_cast<sqlite3_int64>(e.rows()));
                    sqlite3_bind_blob(up.get(), 3, blob.data(), static_cast<int>(blob.size()), SQLITE_TRANSIENT);
                    sqlite3_bind_int64(up.get(), 4, id);
                    step_done(db_, up.get());
                }
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
        if (rollup_days_ > 0) {
            Stmt del = prepare(db_, "DELETE FROM rollup WHERE day_ms + 86400000 <= ?");
            sqlite3_bind_int64(del.get(), 1, now - int64_t(rollup_days_) * 86'400'000);
            step_done(db_, del.get());
        }
        exec("COMMIT");
    } catch (const std::exception& e) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw HostError(kExitHistory, std::string("retention: ") + e.what());
    }
    // The pages freed go back to the file system (files made by this version).
    sqlite3_exec(db_, "PRAGMA incremental_vacuum", nullptr, nullptr, nullptr);
}

}  // namespace zrt::host

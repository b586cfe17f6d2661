#include "tools/history/history_chunks.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <optional>
#include <mutex>

#include <sqlite3.h>

#include "tools/core/host_error.h"
#include "tools/history/sqlite_util.h"

namespace zrt::host {

const char* const kLogSchema = "CREATE TABLE IF NOT EXISTS chunk_log (id INTEGER PRIMARY KEY, seq INTEGER NOT NULL, data BLOB NOT NULL)";

const char* const kChunkSchema =
    "CREATE TABLE IF NOT EXISTS chunk ("
    " id INTEGER PRIMARY KEY,"
    " data_id INTEGER NOT NULL,"
    " device_type TEXT NOT NULL,"
    " t_min INTEGER NOT NULL,"
    " t_max INTEGER NOT NULL,"
    " open INTEGER NOT NULL,"
    " data BLOB NOT NULL);"
    "CREATE INDEX IF NOT EXISTS chunk_device ON chunk (data_id, device_type, t_max);"
    "CREATE TABLE IF NOT EXISTS cycle_chunk ("
    " id INTEGER PRIMARY KEY,"
    " t_min INTEGER NOT NULL,"
    " t_max INTEGER NOT NULL,"
    " rows INTEGER NOT NULL,"
    " open INTEGER NOT NULL,"
    " data BLOB NOT NULL,"
    " errors INTEGER NOT NULL DEFAULT 0,"
    " bad_frames INTEGER NOT NULL DEFAULT 0,"
    " timeouts INTEGER NOT NULL DEFAULT 0,"
    " duration_ms REAL NOT NULL DEFAULT 0,"
    " covered_ms REAL NOT NULL DEFAULT 0,"
    " system INTEGER NOT NULL DEFAULT 0);"
    "CREATE TABLE IF NOT EXISTS rollup ("
    " data_id INTEGER NOT NULL,"
    " device_type TEXT NOT NULL,"
    " day_ms INTEGER NOT NULL,"
    " data BLOB NOT NULL,"
    " PRIMARY KEY (data_id, device_type, day_ms)) WITHOUT ROWID;"
    "DROP VIEW IF EXISTS value_v;"
    "CREATE VIEW value_v AS"
    " SELECT strftime('%Y-%m-%dT%H:%M:%fZ', v.time_ms / 1000.0, 'unixepoch') AS time, v.time_ms,"
    " s.data_id, s.device_type, s.record_type, s.key, s.label, s.unit, s.kind, v.value"
    " FROM value_rows v JOIN series s ON s.id = v.series;"
    "DROP VIEW IF EXISTS cycle_v;"
    "CREATE VIEW cycle_v AS"
    " SELECT strftime('%Y-%m-%dT%H:%M:%fZ', time_ms / 1000.0, 'unixepoch') AS time, time_ms, n, duration_ms,"
    " errors, bad_frames, timeouts, system FROM cycle_rows;";

namespace {

constexpr int64_t kHourMs = 3'600'000;
constexpr int64_t kDayMs = 86'400'000;

int64_t floor_to(int64_t t, int64_t unit) {
    int64_t q = t / unit;
    if (t % unit != 0 && t < 0) --q;
    return q * unit;
}

[[noreturn]] void damaged(const std::string& what, const char* table) {
    throw HostError(kExitHistory, "history file " + what + ": a row of table " + table + " does not decode");
}

void parse_or_throw(sqlite3_stmt* q, int col, const std::string& what, codec::ParsedChunk& c) {
    const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(q, col));
    const size_t n = static_cast<size_t>(sqlite3_column_bytes(q, col));
    if (!codec::parse_chunk(p, n, c)) damaged(what, "chunk");
}

void check_done(sqlite3* db, int rc, const std::string& what) {
    if (rc != SQLITE_DONE) throw HostError(kExitHistory, "history file " + what + ": " + sqlite3_errmsg(db));
}

// The chunks of one device that may hold rows in [from, to], oldest first. A chunk being
// filled under the commit log (open = 2) is rebuilt from its entries; its row keeps the
// times of its first commit, so it is taken whatever its t_max.
void each_chunk(sqlite3* db, const std::string& what, uint32_t data_id, const std::string& device_type, int64_t from,
                int64_t to, bool open_only, const std::function<void(const codec::ParsedChunk&)>& f) {
    if (!db_has_table(db, "chunk")) return;
    Stmt q = prepare(db, open_only ? "SELECT data, open, id FROM chunk WHERE data_id = ? AND device_type = ?"
                                     " AND (t_max >= ? OR open = 2) AND t_min <= ? AND open <> 0 ORDER BY t_min, id"
                                   : "SELECT data, open, id FROM chunk WHERE data_id = ? AND device_type = ?"
                                     " AND (t_max >= ? OR open = 2) AND t_min <= ? ORDER BY t_min, id");
    sqlite3_bind_int64(q.get(), 1, data_id);
    sqlite3_bind_text(q.get(), 2, device_type.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(q.get(), 3, from);
    sqlite3_bind_int64(q.get(), 4, to);
    codec::ParsedChunk c;
    std::optional<LoggedChunks> logged;
    int rc;
    while ((rc = sqlite3_step(q.get())) == SQLITE_ROW) {
        if (sqlite3_column_int(q.get(), 1) == 2) {
            if (!logged) logged = logged_chunks(db, what);
            const auto it = logged->chunks.find(sqlite3_column_int64(q.get(), 2));
            if (it == logged->chunks.end()) continue;  // its first entry is not committed yet
            if (!codec::parse_chunk(it->second.data(), it->second.size(), c)) damaged(what, "chunk_log");
        } else {
            parse_or_throw(q.get(), 0, what, c);
        }
        f(c);
    }
    check_done(db, rc, what);
}

}  // namespace

bool db_has_table(sqlite3* db, const char* name) {
    Stmt q = prepare(db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?");
    sqlite3_bind_text(q.get(), 1, name, -1, SQLITE_TRANSIENT);
    return sqlite3_step(q.get()) == SQLITE_ROW;
}

LoggedChunks logged_chunks(sqlite3* db, const std::string& what) {
    LoggedChunks out;
    if (!db_has_table(db, "chunk_log")) return out;
    std::map<int64_t, codec::ChunkLog> chunks;
    std::map<int64_t, codec::CycleLog> cycles;
    Stmt q = prepare(db, "SELECT data FROM chunk_log ORDER BY seq");
    int rc;
    while ((rc = sqlite3_step(q.get())) == SQLITE_ROW) {
        const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(q.get(), 0));
        const bool ok = codec::for_each_log_entry(
            p, static_cast<size_t>(sqlite3_column_bytes(q.get(), 0)),
            [&](codec::LogKind kind, int64_t id, codec::BitReader& r) {
                return kind == codec::LogKind::Chunk ? chunks[id].apply(r) : cycles[id].apply(r);
            });
        if (!ok) damaged(what, "chunk_log");
    }
    check_done(db, rc, what);
    for (const auto& [id, c] : chunks)
        if (c.started()) out.chunks[id] = c.blob();
    for (const auto& [id, c] : cycles)
        if (c.started()) out.cycles[id] = c.blob();
    return out;
}

void for_each_value(sqlite3* db, const std::string& what, int64_t series, uint32_t data_id,
                    const std::string& device_type, int64_t from, int64_t to, const ValueFn& f) {
    if (db_has_table(db, "value")) {
        Stmt q = prepare(db, "SELECT time_ms, value FROM value WHERE series = ? AND time_ms BETWEEN ? AND ?"
                             " ORDER BY time_ms");
        sqlite3_bind_int64(q.get(), 1, series);
        sqlite3_bind_int64(q.get(), 2, from);
        sqlite3_bind_int64(q.get(), 3, to);
        int rc;
        while ((rc = sqlite3_step(q.get())) == SQLITE_ROW) {
            std::optional<double> v;
            if (sqlite3_column_type(q.get(), 1) != SQLITE_NULL) v = sqlite3_column_double(q.get(), 1);
            f(sqlite3_column_int64(q.get(), 0), v);
        }
        check_done(db, rc, what);
    }
    std::vector<codec::Sample> samples;
    each_chunk(db, what, data_id, device_type, from, to, false, [&](const codec::ParsedChunk& c) {
        for (const codec::ChunkStream& s : c.streams) {
            if (s.series != series) continue;
            samples.clear();
            if (!codec::decode_stream(c, s, samples)) damaged(what, "chunk");
            for (const codec::Sample& x : samples) {
                const int64_t t = c.polls[x.poll];
                if (t >= from && t <= to) f(t, x.value);
            }
        }
    });
}

void for_each_device_value(sqlite3* db, const std::string& what, uint32_t data_id, const std::string& device_type,
                           const std::vector<int64_t>& series, int64_t from, int64_t to,
                           const std::function<void(int64_t, int64_t, const std::optional<double>&)>& f) {
    if (db_has_table(db, "value")) {
        for (int64_t id : series)
            for_each_value(db, what, id, 0, std::string(), from, to,
                           [&](int64_t t, const std::optional<double>& v) { f(id, t, v); });
        // (the empty device type finds no chunk: only the older rows are read here)
    }
    std::vector<codec::Sample> samples;
    each_chunk(db, what, data_id, device_type, from, to, false, [&](const codec::ParsedChunk& c) {
        for (int64_t id : series) {
            for (const codec::ChunkStream& s : c.streams) {
                if (s.series != id) continue;
                samples.clear();
                if (!codec::decode_stream(c, s, samples)) damaged(what, "chunk");
                for (const codec::Sample& x : samples) {
                    const int64_t t = c.polls[x.poll];
                    if (t >= from && t <= to) f(id, t, x.value);
                }
            }
        }
    });
}

std::vector<int64_t> device_polls(sqlite3* db, const std::string& what, uint32_t data_id,
                                  const std::string& device_type, int64_t from, int64_t to) {
    std::vector<int64_t> out;
    each_chunk(db, what, data_id, device_type, from, to, false, [&](const codec::ParsedChunk& c) {
        for (int64_t t : c.polls)
            if (t >= from && t <= to) out.push_back(t);
    });
    return out;
}

bool db_has_column(sqlite3* db, const char* table, const char* column) {
    Stmt q = prepare(db, (std::string("PRAGMA table_info(") + table + ")").c_str());
    while (sqlite3_step(q.get()) == SQLITE_ROW)
        if (text_col(q.get(), 1) == column) return true;
    return false;
}

void for_each_cycle(sqlite3* db, const std::string& what, int64_t from, int64_t to,
                    const std::function<void(const codec::CycleRow&, uint32_t system)>& f, bool chunks) {
    int rc;
    if (db_has_table(db, "cycle")) {
        Stmt q = prepare(db, "SELECT time_ms, n, duration_ms, errors, bad_frames, timeouts FROM cycle"
                             " WHERE time_ms BETWEEN ? AND ? ORDER BY time_ms, id");
        sqlite3_bind_int64(q.get(), 1, from);
        sqlite3_bind_int64(q.get(), 2, to);
        while ((rc = sqlite3_step(q.get())) == SQLITE_ROW) {
            codec::CycleRow r;
            r.time_ms = sqlite3_column_int64(q.get(), 0);
            r.n = static_cast<uint64_t>(sqlite3_column_int64(q.get(), 1));
            r.duration_ms = sqlite3_column_double(q.get(), 2);
            r.errors = static_cast<uint64_t>(sqlite3_column_int64(q.get(), 3));
            r.bad_frames = static_cast<uint64_t>(sqlite3_column_int64(q.get(), 4));
            r.timeouts = static_cast<uint64_t>(sqlite3_column_int64(q.get(), 5));
            f(r, 0);
        }
        check_done(db, rc, what);
    }
    if (!db_has_table(db, "cycle_chunk")) return;
    // Files of older versions have cycle chunks without their system: it reads as 0. The
    // chunks being filled under the commit log (open = 2: their row's totals are 0) are
    // rebuilt from it, and read even when only the rows are asked for.
    const bool by_system = db_has_column(db, "cycle_chunk", "system");
    std::string sql = std::string("SELECT data, ") + (by_system ? "system" : "0") +
                      ", open, id FROM cycle_chunk WHERE (t_max >= ? OR open = 2) AND t_min <= ?" +
                      (chunks ? "" : " AND open = 2") + " ORDER BY t_min, id";
    Stmt q = prepare(db, sql.c_str());
    sqlite3_bind_int64(q.get(), 1, from);
    sqlite3_bind_int64(q.get(), 2, to);
    std::vector<codec::CycleRow> rows;
    std::optional<LoggedChunks> logged;
    while ((rc = sqlite3_step(q.get())) == SQLITE_ROW) {
        rows.clear();
        const auto system = static_cast<uint32_t>(sqlite3_column_int64(q.get(), 1));
        const uint8_t* p = static_cast<const uint8_t*>(sqlite3_column_blob(q.get(), 0));
        size_t n = static_cast<size_t>(sqlite3_column_bytes(q.get(), 0));
        if (sqlite3_column_int(q.get(), 2) == 2) {
            if (!logged) logged = logged_chunks(db, what);
            const auto it = logged->cycles.find(sqlite3_column_int64(q.get(), 3));
            if (it == logged->cycles.end()) continue;
            p = it->second.data();
            n = it->second.size();
        }
        if (!codec::decode_cycles(p, n, rows)) damaged(what, "cycle_chunk");
        for (const codec::CycleRow& r : rows)
            if (r.time_ms >= from && r.time_ms <= to) f(r, system);
    }
    check_done(db, rc, what);
}

int64_t logged_newest(sqlite3* db, const std::string& what) {
    int64_t newest = INT64_MIN;
    const LoggedChunks logged = logged_chunks(db, what);
    for (const auto& [id, blob] : logged.chunks) {
        codec::ParsedChunk c;
        if (codec::parse_chunk(blob.data(), blob.size(), c))
            for (int64_t t : c.polls) newest = std::max(newest, t);
    }
    for (const auto& [id, blob] : logged.cycles) {
        std::vector<codec::CycleRow> rows;
        if (codec::decode_cycles(blob.data(), blob.size(), rows))
            for (const codec::CycleRow& r : rows) newest = std::max(newest, r.time_ms);
    }
    return newest;
}

std::vector<std::pair<int64_t, codec::Rollup>> roll_up_chunk(const codec::ParsedChunk& c, const std::string& what) {
    struct Sum {
        codec::Rollup r;
        double sum = 0;
    };
    std::map<std::pair<int64_t, int64_t>, Sum> by;  // (series, hour start)
    std::vector<codec::Sample> samples;
    for (const codec::ChunkStream& s : c.streams) {
        samples.clear();
        if (!codec::decode_stream(c, s, samples)) damaged(what, "chunk");
        for (const codec::Sample& x : samples) {
            const int64_t hour = floor_to(c.polls[x.poll], kHourMs);
            Sum& a = by[{s.series, hour}];
            a.r.series = s.series;
            if (!x.value) {
                ++a.r.absent;
                continue;
            }
            const double v = *x.value;
            if (!a.r.count || v < a.r.min) a.r.min = v;
            if (!a.r.count || v > a.r.max) a.r.max = v;
            a.sum += v;
            ++a.r.count;
        }
    }
    std::vector<std::pair<int64_t, codec::Rollup>> out;
    for (auto& [key, a] : by) {
        const int64_t day = floor_to(key.second, kDayMs);
        a.r.hour = static_cast<int>((key.second - day) / kHourMs);
        if (a.r.count) a.r.mean = a.sum / double(a.r.count);
        out.push_back({day, a.r});
    }
    return out;
}

void for_each_rollup(sqlite3* db, const std::string& what, uint32_t data_id, const std::string& device_type,
                     int64_t from, int64_t to, bool open_too,
                     const std::function<void(int64_t, const codec::Rollup&)>& f) {
    if (!db_has_table(db, "rollup")) return;
    Stmt q = prepare(db, "SELECT day_ms, data FROM rollup WHERE data_id = ? AND device_type = ? AND day_ms BETWEEN ?"
                         " AND ? ORDER BY day_ms");
    sqlite3_bind_int64(q.get(), 1, data_id);
    sqlite3_bind_text(q.get(), 2, device_type.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(q.get(), 3, from <= INT64_MIN + kDayMs ? INT64_MIN : floor_to(from, kDayMs));
    sqlite3_bind_int64(q.get(), 4, to);
    std::vector<codec::Rollup> rows;
    int rc;
    while ((rc = sqlite3_step(q.get())) == SQLITE_ROW) {
        const int64_t day = sqlite3_column_int64(q.get(), 0);
        rows.clear();
        if (!codec::decode_rollups(static_cast<const uint8_t*>(sqlite3_column_blob(q.get(), 1)),
                                   static_cast<size_t>(sqlite3_column_bytes(q.get(), 1)), rows))
            damaged(what, "rollup");
        for (const codec::Rollup& r : rows) {
            const int64_t hour = day + r.hour * kHourMs;
            if (hour >= from && hour <= to) f(hour, r);
        }
    }
    check_done(db, rc, what);
    if (!open_too) return;
    each_chunk(db, what, data_id, device_type, from, to, true, [&](const codec::ParsedChunk& c) {
        for (const auto& [day, r] : roll_up_chunk(c, what)) {
            const int64_t hour = day + r.hour * kHourMs;
            if (hour >= from && hour <= to) f(hour, r);
        }
    });
}

// ---- table functions for ad-hoc SQL

namespace {

struct ValueTab {
    sqlite3_vtab base{};
    sqlite3* db = nullptr;
    bool cycles = false;
};

struct Row {
    int64_t series = 0, time = 0;
    std::optional<double> value;
    codec::CycleRow cycle;
    uint32_t system = 0;  // a cycle's power system (its top device's data id)
};

struct ValueCursor {
    sqlite3_vtab_cursor base{};
    std::vector<Row> rows;  // of the series being read
    std::vector<std::tuple<int64_t, uint32_t, std::string>> todo;  // series still to read
    size_t next_series = 0, at = 0;
    int64_t from = INT64_MIN, to = INT64_MAX;
};

int connect(sqlite3* db, void* aux, int, const char* const*, sqlite3_vtab** out, char**) {
    const bool cycles = aux != nullptr;
    const int rc = sqlite3_declare_vtab(
        db, cycles ? "CREATE TABLE x(time_ms INTEGER, n INTEGER, duration_ms REAL, errors INTEGER,"
                     " bad_frames INTEGER, timeouts INTEGER, system INTEGER)"
                   : "CREATE TABLE x(series INTEGER, time_ms INTEGER, value REAL)");
    if (rc != SQLITE_OK) return rc;
    auto* t = new ValueTab;
    t->db = db;
    t->cycles = cycles;
    *out = &t->base;
    return SQLITE_OK;
}

int disconnect(sqlite3_vtab* v) {
    delete reinterpret_cast<ValueTab*>(v);
    return SQLITE_OK;
}

// idxNum bits: 1 series given, 2 a lowest time, 4 a highest time, 8 one time (arguments in
// that order).
int best_index(sqlite3_vtab* v, sqlite3_index_info* info) {
    const bool cycles = reinterpret_cast<ValueTab*>(v)->cycles;
    const int time_col = cycles ? 0 : 1;
    int series = -1, lo = -1, hi = -1, eq = -1;
    for (int k = 0; k < info->nConstraint; ++k) {
        const auto& c = info->aConstraint[k];
        if (!c.usable) continue;
        if (!cycles && c.iColumn == 0 && c.op == SQLITE_INDEX_CONSTRAINT_EQ) series = k;
        if (c.iColumn != time_col) continue;
        if (c.op == SQLITE_INDEX_CONSTRAINT_EQ) eq = k;
        if (c.op == SQLITE_INDEX_CONSTRAINT_GE || c.op == SQLITE_INDEX_CONSTRAINT_GT) lo = k;
        if (c.op == SQLITE_INDEX_CONSTRAINT_LE || c.op == SQLITE_INDEX_CONSTRAINT_LT) hi = k;
    }
    int arg = 0, num = 0;
    double cost = cycles ? 1e5 : 1e7;
    if (series >= 0) {
        info->aConstraintUsage[series].argvIndex = ++arg;
        info->aConstraintUsage[series].omit = 1;
        num |= 1;
        cost /= 1000;
    }
    // The time bounds narrow what is decoded; SQLite checks them again on every row.
    if (eq >= 0) {
        info->aConstraintUsage[eq].argvIndex = ++arg;
        num |= 8;
        cost /= 100;
    } else {
        if (lo >= 0) {
            info->aConstraintUsage[lo].argvIndex = ++arg;
            num |= 2;
            cost /= 4;
        }
        if (hi >= 0) {
            info->aConstraintUsage[hi].argvIndex = ++arg;
            num |= 4;
            cost /= 4;
        }
    }
    info->idxNum = num;
    info->estimatedCost = cost;
    return SQLITE_OK;
}

int open_cursor(sqlite3_vtab*, sqlite3_vtab_cursor** out) {
    *out = &(new ValueCursor)->base;
    return SQLITE_OK;
}

int close_cursor(sqlite3_vtab_cursor* c) {
    delete reinterpret_cast<ValueCursor*>(c);
    return SQLITE_OK;
}

std::string file_of(sqlite3* db) {
    const char* f = sqlite3_db_filename(db, "main");
    return f && *f ? f : ":memory:";
}

// Reads series until one has rows (or none is left).
void load(ValueTab* t, ValueCursor* c) {
    c->rows.clear();
    c->at = 0;
    while (c->rows.empty() && c->next_series < c->todo.size()) {
        const auto& [id, data_id, type] = c->todo[c->next_series++];
        for_each_value(t->db, file_of(t->db), id, data_id, type, c->from, c->to,
                       [&](int64_t time, const std::optional<double>& v) { c->rows.push_back({id, time, v, {}}); });
    }
}

// A reading that failed: SQLite takes the reason from the table's message.
int fail(ValueTab* t, const std::exception& e) {
    sqlite3_free(t->base.zErrMsg);
    t->base.zErrMsg = sqlite3_mprintf("%s", e.what());
    return SQLITE_ERROR;
}

int filter(sqlite3_vtab_cursor* cur, int num, const char*, int argc, sqlite3_value** argv) {
    auto* c = reinterpret_cast<ValueCursor*>(cur);
    auto* t = reinterpret_cast<ValueTab*>(cur->pVtab);
    int arg = 0;
    std::optional<int64_t> series;
    if ((num & 1) && arg < argc) series = sqlite3_value_int64(argv[arg++]);
    // Widened by one: a bound given as "<" or ">" is checked again by SQLite.
    auto bound = [&](int64_t add, int64_t none) {
        if (arg >= argc) return none;
        const double v = sqlite3_value_double(argv[arg++]);
        if (!(v > -9.0e18 && v < 9.0e18)) return v > 0 ? INT64_MAX : INT64_MIN;
        return static_cast<int64_t>(std::floor(v)) + add;
    };
    c->from = INT64_MIN;
    c->to = INT64_MAX;
    if (num & 8) {
        const int at = arg;
        c->from = bound(-1, INT64_MIN);
        arg = at;
        c->to = bound(1, INT64_MAX);
    }
    if (num & 2) c->from = bound(-1, INT64_MIN);
    if (num & 4) c->to = bound(1, INT64_MAX);
    c->todo.clear();
    c->next_series = 0;
    c->rows.clear();
    c->at = 0;
    try {
        if (t->cycles) {
            for_each_cycle(t->db, file_of(t->db), c->from, c->to,
                           [&](const codec::CycleRow& r, uint32_t system) {
                               c->rows.push_back({0, r.time_ms, std::nullopt, r, system});
                           });
            return SQLITE_OK;
        }
        if (!db_has_table(t->db, "series")) return SQLITE_OK;
        Stmt q = prepare(t->db, series ? "SELECT id, data_id, device_type FROM series WHERE id = ?"
                                       : "SELECT id, data_id, device_type FROM series ORDER BY id");
        if (series) sqlite3_bind_int64(q.get(), 1, *series);
        while (sqlite3_step(q.get()) == SQLITE_ROW)
            c->todo.emplace_back(sqlite3_column_int64(q.get(), 0),
                                 static_cast<uint32_t>(sqlite3_column_int64(q.get(), 1)), text_col(q.get(), 2));
        load(t, c);
    } catch (const std::exception& e) {
        return fail(t, e);
    }
    return SQLITE_OK;
}

int next(sqlite3_vtab_cursor* cur) {
    auto* c = reinterpret_cast<ValueCursor*>(cur);
    auto* t = reinterpret_cast<ValueTab*>(cur->pVtab);
    if (++c->at < c->rows.size() || t->cycles) return SQLITE_OK;
    try {
        load(t, c);
    } catch (const std::exception& e) {
        return fail(t, e);
    }
    return SQLITE_OK;
}

int eof(sqlite3_vtab_cursor* cur) {
    auto* c = reinterpret_cast<ValueCursor*>(cur);
    return c->at >= c->rows.size();
}

int column(sqlite3_vtab_cursor* cur, sqlite3_context* ctx, int col) {
    auto* c = reinterpret_cast<ValueCursor*>(cur);
    const Row& r = c->rows[c->at];
    if (reinterpret_cast<ValueTab*>(cur->pVtab)->cycles) {
        switch (col) {
        case 0: sqlite3_result_int64(ctx, r.cycle.time_ms); break;
        case 1: sqlite3_result_int64(ctx, static_cast<sqlite3_int64>(r.cycle.n)); break;
        case 2: sqlite3_result_double(ctx, r.cycle.duration_ms); break;
        case 3: sqlite3_result_int64(ctx, static_cast<sqlite3_int64>(r.cycle.errors)); break;
        case 4: sqlite3_result_int64(ctx, static_cast<sqlite3_int64>(r.cycle.bad_frames)); break;
        case 6: sqlite3_result_int64(ctx, r.system); break;
        default: sqlite3_result_int64(ctx, static_cast<sqlite3_int64>(r.cycle.timeouts)); break;
        }
        return SQLITE_OK;
    }
    if (col == 0) sqlite3_result_int64(ctx, r.series);
    else if (col == 1) sqlite3_result_int64(ctx, r.time);
    else if (r.value) sqlite3_result_double(ctx, *r.value);
    else sqlite3_result_null(ctx);
    return SQLITE_OK;
}

int rowid(sqlite3_vtab_cursor* cur, sqlite_int64* out) {
    *out = static_cast<sqlite_int64>(reinterpret_cast<ValueCursor*>(cur)->at);
    return SQLITE_OK;
}

sqlite3_module make_module() {
    sqlite3_module m{};
    m.iVersion = 0;
    m.xCreate = nullptr;  // eponymous only: used by name, never created
    m.xConnect = connect;
    m.xBestIndex = best_index;
    m.xDisconnect = disconnect;
    m.xDestroy = disconnect;
    m.xOpen = open_cursor;
    m.xClose = close_cursor;
    m.xFilter = filter;
    m.xNext = next;
    m.xEof = eof;
    m.xColumn = column;
    m.xRowid = rowid;
    return m;
}

const sqlite3_module kModule = make_module();
int kCycles = 1;

int auto_register(sqlite3* db, const char**, const sqlite3_api_routines*) { return register_history_sql_on(db); }

}  // namespace

int register_history_sql_on(sqlite3* db) {
    int rc = sqlite3_create_module(db, "value_rows", &kModule, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_create_module(db, "cycle_rows", &kModule, &kCycles);
    return rc;
}

void register_history_sql() {
    static std::once_flag once;
    std::call_once(once, [] {
        sqlite3_auto_extension(reinterpret_cast<void (*)()>(auto_register));
    });
}

}  // namespace zrt::host

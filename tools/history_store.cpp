#include "tools/history_store.h"

#include <memory>

#include <sqlite3.h>

#include "tools/host_error.h"

namespace zrt::host {
namespace {

struct StmtDeleter {
    void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Stmt = std::unique_ptr<sqlite3_stmt, StmtDeleter>;

Stmt prepare(sqlite3* db, const char* sql) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK)
        throw HostError(kExitHistory, std::string("history: ") + sqlite3_errmsg(db));
    return Stmt(s);
}

}  // namespace

HistoryStore::HistoryStore(const std::string& path, int retention) : retention_(retention < 0 ? 0 : retention) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        std::string err = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw HostError(kExitHistory, "cannot open the history store " + path + ": " + err);
    }
    sqlite3_busy_timeout(db_, 5000);
    try {
        if (path != ":memory:") exec("PRAGMA journal_mode=WAL");
        exec("CREATE TABLE IF NOT EXISTS history ("
             " id INTEGER PRIMARY KEY AUTOINCREMENT,"
             " data_id INTEGER NOT NULL,"
             " device_type TEXT NOT NULL,"
             " record_type INTEGER NOT NULL,"
             " time TEXT NOT NULL,"
             " image BLOB NOT NULL)");
        exec("CREATE INDEX IF NOT EXISTS history_device ON history (data_id, device_type, id)");
        create_decoded_tables();
    } catch (const HostError& e) {
        sqlite3_close(db_);
        db_ = nullptr;
        throw HostError(kExitHistory, "cannot use the history store " + path + ": " + e.what());
    }
}

HistoryStore::~HistoryStore() { sqlite3_close(db_); }

void HistoryStore::exec(const char* sql) {
    char* err = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &err) != SQLITE_OK) {
        std::string msg = err ? err : sqlite3_errmsg(db_);
        sqlite3_free(err);
        throw HostError(kExitHistory, msg);
    }
}

void HistoryStore::save(uint32_t data_id, const std::string& device_type, int record_type,
                        const std::vector<uint8_t>& image) {
    std::lock_guard<std::mutex> lock(mu_);
    const int64_t now = now_ms();
    const std::string time = utc_text(now);
    exec("BEGIN");
    try {
        Stmt ins = prepare(db_,
                           "INSERT INTO history (data_id, device_type, record_type, time, image) VALUES (?, ?, ?, ?, ?)");
        sqlite3_bind_int64(ins.get(), 1, data_id);
        sqlite3_bind_text(ins.get(), 2, device_type.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(ins.get(), 3, record_type);
        sqlite3_bind_text(ins.get(), 4, time.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_blob(ins.get(), 5, image.data(), static_cast<int>(image.size()), SQLITE_TRANSIENT);
        if (sqlite3_step(ins.get()) != SQLITE_DONE) throw HostError(kExitHistory, sqlite3_errmsg(db_));

        record_values_locked(now, data_id, device_type, record_type, image);

        // Keep the newest `retention_` rows of this device.
        if (retention_ > 0) {
            Stmt del = prepare(db_,
                               "DELETE FROM history WHERE data_id = ?1 AND device_type = ?2 AND id <= ("
                               " SELECT id FROM history WHERE data_id = ?1 AND device_type = ?2"
                               " ORDER BY id DESC LIMIT 1 OFFSET ?3)");
            sqlite3_bind_int64(del.get(), 1, data_id);
            sqlite3_bind_text(del.get(), 2, device_type.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_int(del.get(), 3, retention_);
            if (sqlite3_step(del.get()) != SQLITE_DONE) throw HostError(kExitHistory, sqlite3_errmsg(db_));
        }
        exec("COMMIT");
        for (auto& [id, last] : pending_) last_[id] = last;
        pending_.clear();
        pending_series_.clear();
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        pending_.clear();
        for (const auto& name : pending_series_) series_.erase(name);
        pending_series_.clear();
        throw;
    }
    if (now - last_prune_ >= kPruneEveryMs) prune_locked(now);
}

std::optional<std::vector<uint8_t>> HistoryStore::last(uint32_t data_id, const std::string& device_type) {
    std::lock_guard<std::mutex> lock(mu_);
    Stmt q = prepare(db_, "SELECT image FROM history WHERE data_id = ? AND device_type = ? ORDER BY id DESC LIMIT 1");
    sqlite3_bind_int64(q.get(), 1, data_id);
    sqlite3_bind_text(q.get(), 2, device_type.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(q.get()) != SQLITE_ROW) return std::nullopt;
    const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(q.get(), 0));
    const int n = sqlite3_column_bytes(q.get(), 0);
    return std::vector<uint8_t>(p, p + n);
}

std::vector<HistoryRow> HistoryStore::rows(uint32_t data_id, const std::string& device_type) {
    std::lock_guard<std::mutex> lock(mu_);
    Stmt q = prepare(db_,
                     "SELECT record_type, time, image FROM history WHERE data_id = ? AND device_type = ? ORDER BY id");
    sqlite3_bind_int64(q.get(), 1, data_id);
    sqlite3_bind_text(q.get(), 2, device_type.c_str(), -1, SQLITE_TRANSIENT);
    std::vector<HistoryRow> out;
    while (sqlite3_step(q.get()) == SQLITE_ROW) {
        HistoryRow r;
        r.data_id = data_id;
        r.device_type = device_type;
        r.record_type = sqlite3_column_int(q.get(), 0);
        r.time = reinterpret_cast<const char*>(sqlite3_column_text(q.get(), 1));
        const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(q.get(), 2));
        r.image.assign(p, p + sqlite3_column_bytes(q.get(), 2));
        out.push_back(std::move(r));
    }
    return out;
}

}  // namespace zrt::host

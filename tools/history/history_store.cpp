#include "tools/history/history_store.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <cerrno>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tools/core/host_error.h"
#include "tools/history/history_chunks.h"
#include "tools/history/history_read.h"
#include "tools/history/sqlite_util.h"

namespace zrt::host {
HistoryStore::HistoryStore(const std::string& path, int retention, Mode mode)
    : retention_(retention < 0 ? 0 : retention), mode_(path == ":memory:" ? Mode::Write : mode) {
    if (mode_ == Mode::ReadOnly) {
        open_read_only(path);
        return;
    }
    if (path != ":memory:") {
        // One writer per file: a second one would interleave its rows with ours. The lock
        // goes with the process, so a killed writer leaves none behind.
        lock_fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (lock_fd_ < 0)
            throw HostError(kExitHistory, "cannot open the history store " + path + ": " + std::strerror(errno));
        if (::flock(lock_fd_, LOCK_EX | LOCK_NB) != 0) {
            const int err = errno;
            ::close(lock_fd_);
            lock_fd_ = -1;
            if (err == EWOULDBLOCK)
                throw HostError(kExitHistory, "the history store " + path + " is in use by another writer");
            throw HostError(kExitHistory, "cannot lock the history store " + path + ": " + std::strerror(err));
        }
    }
    register_history_sql();  // the table functions the views read
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        std::string err = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        if (lock_fd_ >= 0) ::close(lock_fd_);
        throw HostError(kExitHistory, "cannot open the history store " + path + ": " + err);
    }
    sqlite3_busy_timeout(db_, 5000);
    try {
        // A new file gives freed pages back (prune() does); an existing one keeps its setting.
        exec("PRAGMA page_size=1024");  // small pages: less slack around the packed rows
        exec("PRAGMA auto_vacuum=INCREMENTAL");
        if (path != ":memory:") exec("PRAGMA journal_mode=WAL");
        exec("CREATE TABLE IF NOT EXISTS history ("
             " id INTEGER PRIMARY KEY AUTOINCREMENT,"
             " data_id INTEGER NOT NULL,"
             " device_type TEXT NOT NULL,"
             " record_type INTEGER NOT NULL,"
             " time TEXT NOT NULL,"
             " image BLOB NOT NULL)");
        exec("CREATE INDEX IF NOT EXISTS history_device ON history (data_id, device_type, id)");
        exec("CREATE TABLE IF NOT EXISTS active_alarm ("
             " data_id INTEGER NOT NULL,"
             " device_type TEXT NOT NULL,"
             " key TEXT NOT NULL,"
             " seq INTEGER NOT NULL,"
             " level INTEGER NOT NULL,"
             " signal_id TEXT NOT NULL,"
             " name TEXT NOT NULL,"
             " instance TEXT NOT NULL,"
             " since TEXT NOT NULL,"
             " PRIMARY KEY (data_id, device_type, key, seq))");
        create_decoded_tables();
    } catch (const HostError& e) {
        sqlite3_close(db_);
        db_ = nullptr;
        if (lock_fd_ >= 0) ::close(lock_fd_);
        lock_fd_ = -1;
        throw HostError(kExitHistory, "cannot use the history store " + path + ": " + e.what());
    }
}

void HistoryStore::open_read_only(const std::string& path) {
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0)
        throw HostError(kExitHistory, "cannot open the history store " + path + ": " + std::strerror(errno));
    std::string error;
    bool immutable = false;
    db_ = open_read_only_db(path, error, immutable);
    if (!db_) throw HostError(kExitHistory, "cannot read the history store " + path + ": " + error);
    if (!has_table("history")) {
        sqlite3_close(db_);
        db_ = nullptr;
        throw HostError(kExitHistory, "the history store " + path + " holds no history table");
    }
}

bool HistoryStore::has_table(const char* name) {
    Stmt q = prepare(db_, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?");
    sqlite3_bind_text(q.get(), 1, name, -1, SQLITE_TRANSIENT);
    return sqlite3_step(q.get()) == SQLITE_ROW;
}

HistoryStore::~HistoryStore() {
    sqlite3_close(db_);
    // After the database is closed: closing another descriptor of the file earlier would
    // drop SQLite's own locks on it.
    if (lock_fd_ >= 0) ::close(lock_fd_);
}

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
    if (mode_ == Mode::ReadOnly) throw HostError(kExitHistory, "history: the store is open read-only");
    const int64_t now = now_ms();
    // Restored when the transaction fails: memory stays as the file is.
    const auto key = std::make_pair(data_id, device_type);
    const auto chunk_it = chunks_.find(key);
    const std::optional<OpenChunk> chunk_before =
        chunk_it == chunks_.end() ? std::nullopt : std::optional<OpenChunk>(chunk_it->second);
    const auto image_before = newest_image_;
    exec("BEGIN");
    try {
        save_image_locked(now, data_id, device_type, record_type, image);
        record_values_locked(now, data_id, device_type, record_type, image);
        exec("COMMIT");
        for (auto& [id, last] : pending_) last_[id] = last;
        pending_.clear();
        pending_series_.clear();
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        if (chunk_before) chunks_[key] = *chunk_before;
        else chunks_.erase(key);
        newest_image_ = image_before;
        pending_.clear();
        for (const auto& name : pending_series_) series_.erase(name);
        pending_series_.clear();
        throw;
    }
    if (now - last_prune_ >= kPruneEveryMs) prune_locked(now);
}

void HistoryStore::save_image_locked(int64_t now, uint32_t data_id, const std::string& device_type, int record_type,
                                     const std::vector<uint8_t>& image) {
    const std::string time = utc_text(now);
    const auto key = std::make_pair(data_id, device_type);
    auto it = newest_image_.find(key);
    if (retention_ == 0 && it == newest_image_.end()) {
        Stmt q = prepare(db_, "SELECT id, time FROM history WHERE data_id = ? AND device_type = ? ORDER BY id DESC LIMIT 1");
        sqlite3_bind_int64(q.get(), 1, data_id);
        sqlite3_bind_text(q.get(), 2, device_type.c_str(), -1, SQLITE_TRANSIENT);
        if (sqlite3_step(q.get()) == SQLITE_ROW)
            it = newest_image_.emplace(key, std::make_pair(sqlite3_column_int64(q.get(), 0), text_col(q.get(), 1))).first;
    }
    // Within the six hours (UTC) of the device's newest image, the new image takes its place.
    bool same_period = false;
    if (retention_ == 0 && it != newest_image_.end()) {
        try {
            same_period = parse_utc_time(it->second.second, "time") / kImagePeriodMs == now / kImagePeriodMs;
        } catch (const HostError&) {
            same_period = false;  // a row of an older version, in local time
        }
    }
    if (same_period) {
        Stmt up = prepare(db_, "UPDATE history SET record_type = ?, time = ?, image = ? WHERE id = ?");
        sqlite3_bind_int(up.get(), 1, record_type);
        sqlite3_bind_text(up.get(), 2, time.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_blob(up.get(), 3, image.data(), static_cast<int>(image.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int64(up.get(), 4, it->second.first);
        if (sqlite3_step(up.get()) != SQLITE_DONE) throw HostError(kExitHistory, sqlite3_errmsg(db_));
        if (sqlite3_changes(db_) == 1) {
            it->second.second = time;
            return;
        }
    }
    Stmt ins = prepare(db_,
                       "INSERT INTO history (data_id, device_type, record_type, time, image) VALUES (?, ?, ?, ?, ?)");
    sqlite3_bind_int64(ins.get(), 1, data_id);
    sqlite3_bind_text(ins.get(), 2, device_type.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(ins.get(), 3, record_type);
    sqlite3_bind_text(ins.get(), 4, time.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_blob(ins.get(), 5, image.data(), static_cast<int>(image.size()), SQLITE_TRANSIENT);
    if (sqlite3_step(ins.get()) != SQLITE_DONE) throw HostError(kExitHistory, sqlite3_errmsg(db_));
    if (retention_ == 0) newest_image_[key] = {sqlite3_last_insert_rowid(db_), time};

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
}

std::optional<std::vector<uint8_t>> HistoryStore::last(uint32_t data_id, const std::string& device_type) {
    auto row = last_row(data_id, device_type);
    if (!row) return std::nullopt;
    return std::move(row->image);
}

std::optional<HistoryRow> HistoryStore::last_row(uint32_t data_id, const std::string& device_type) {
    std::lock_guard<std::mutex> lock(mu_);
    Stmt q = prepare(db_,
                     "SELECT record_type, time, image FROM history WHERE data_id = ? AND device_type = ?"
                     " ORDER BY id DESC LIMIT 1");
    sqlite3_bind_int64(q.get(), 1, data_id);
    sqlite3_bind_text(q.get(), 2, device_type.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(q.get()) != SQLITE_ROW) return std::nullopt;
    HistoryRow r;
    r.data_id = data_id;
    r.device_type = device_type;
    r.record_type = sqlite3_column_int(q.get(), 0);
    r.time = text_col(q.get(), 1);
    r.image = blob_col(q.get(), 2);
    return r;
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
        r.time = text_col(q.get(), 1);
        r.image = blob_col(q.get(), 2);
        out.push_back(std::move(r));
    }
    return out;
}

void HistoryStore::alarm_raised(const StoredAlarm& a) {
    std::lock_guard<std::mutex> lock(mu_);
    if (mode_ == Mode::ReadOnly) return;
    Stmt q = prepare(db_,
                     "INSERT OR REPLACE INTO active_alarm (data_id, device_type, key, seq, level, signal_id, name,"
                     " instance, since) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)");
    sqlite3_bind_int64(q.get(), 1, a.data_id);
    sqlite3_bind_text(q.get(), 2, a.device_type.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(q.get(), 3, a.key.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(q.get(), 4, a.sequence);
    sqlite3_bind_int64(q.get(), 5, a.level);
    sqlite3_bind_text(q.get(), 6, a.signal_id.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(q.get(), 7, a.name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(q.get(), 8, a.instance.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(q.get(), 9, a.since.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(q.get()) != SQLITE_DONE) throw HostError(kExitHistory, sqlite3_errmsg(db_));
}

void HistoryStore::alarm_cleared(uint32_t data_id, const std::string& device_type, const std::string& key,
                                 uint32_t sequence) {
    std::lock_guard<std::mutex> lock(mu_);
    if (mode_ == Mode::ReadOnly) return;
    Stmt q = prepare(db_, "DELETE FROM active_alarm WHERE data_id = ? AND device_type = ? AND key = ? AND seq = ?");
    sqlite3_bind_int64(q.get(), 1, data_id);
    sqlite3_bind_text(q.get(), 2, device_type.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(q.get(), 3, key.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(q.get(), 4, sequence);
    if (sqlite3_step(q.get()) != SQLITE_DONE) throw HostError(kExitHistory, sqlite3_errmsg(db_));
}

std::vector<StoredAlarm> HistoryStore::active_alarms() {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<StoredAlarm> out;
    if (!has_table("active_alarm")) return out;  // a file of an older host
    Stmt q = prepare(db_,
                     "SELECT data_id, device_type, key, seq, level, signal_id, name, instance, since"
                     " FROM active_alarm ORDER BY data_id, device_type, seq, key");
    while (sqlite3_step(q.get()) == SQLITE_ROW) {
        StoredAlarm a;
        a.data_id = static_cast<uint32_t>(sqlite3_column_int64(q.get(), 0));
        a.device_type = text_col(q.get(), 1);
        a.key = text_col(q.get(), 2);
        a.sequence = static_cast<uint32_t>(sqlite3_column_int64(q.get(), 3));
        a.level = static_cast<uint32_t>(sqlite3_column_int64(q.get(), 4));
        a.signal_id = text_col(q.get(), 5);
        a.name = text_col(q.get(), 6);
        a.instance = text_col(q.get(), 7);
        a.since = text_col(q.get(), 8);
        out.push_back(std::move(a));
    }
    return out;
}

}  // namespace zrt::host

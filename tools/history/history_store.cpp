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
    : retention_(retention < 0 ? 0 : retention), path_(path), mode_(path == ":memory:" ? Mode::Write : mode) {
    if (mode_ == Mode::ReadOnly) {
        open_read_only(path);
        return;
    }
    lock_file(path);
    register_history_sql();  // the table functions the views read
    std::string why;
    if (open_write(path, why)) return;
    // The file is not history SQLite can read (not a database, cut short, pages that do not
    // check): it is kept aside, with its log, for whoever wants to look, and a new file
    // takes its place so that polling goes on.
    const std::string aside = aside_name(path);
    for (const char* part : {"", "-wal", "-shm"}) {
        const std::string from = path + part, to = aside + part;
        if (::rename(from.c_str(), to.c_str()) != 0 && errno != ENOENT) {
            const std::string err = std::strerror(errno);
            unlock_file();
            throw HostError(kExitHistory, "the history store " + path + " cannot be used (" + why +
                                              ") and cannot be moved aside to " + to + ": " + err);
        }
    }
    notice_ = "the history store " + path + " cannot be used (" + why + "); it is kept as " + aside +
              " (with its -wal and -shm files, if any) and a new " + path + " is started";
    unlock_file();
    lock_file(path);
    if (!open_write(path, why)) {
        unlock_file();
        throw HostError(kExitHistory, "cannot use the new history store " + path + ": " + why);
    }
}

std::string HistoryStore::aside_name(const std::string& path) {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &tm);
    std::string aside = path + ".damaged-" + stamp;
    struct stat st{};
    for (int n = 2; ::stat(aside.c_str(), &st) == 0; ++n) aside = path + ".damaged-" + stamp + "-" + std::to_string(n);
    return aside;
}

void HistoryStore::lock_file(const std::string& path) {
    if (path == ":memory:") return;
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

void HistoryStore::unlock_file() {
    if (lock_fd_ >= 0) ::close(lock_fd_);
    lock_fd_ = -1;
}

bool HistoryStore::open_write(const std::string& path, std::string& why) {
    // Damage is what SQLite calls a file that is no database or a corrupt one; anything else
    // (no permission, an I/O error) is no reason to move the file.
    auto damaged = [](int rc) {
        rc &= 0xff;
        return rc == SQLITE_NOTADB || rc == SQLITE_CORRUPT;
    };
    auto close_db = [this] {
        sqlite3_close(db_);
        db_ = nullptr;
    };
    if (path != ":memory:") {
        // A file that is not empty must start as an SQLite file does; SQLite itself would
        // delete a -wal file beside one that does not, and the log goes aside with it.
        char head[16] = {};
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        const ssize_t n = fd >= 0 ? ::read(fd, head, sizeof head) : -1;
        if (fd >= 0) ::close(fd);
        if (n > 0 && (n < ssize_t(sizeof head) || std::memcmp(head, "SQLite format 3", 16) != 0)) {
            why = "not an SQLite file";
            return false;
        }
    }
    const int rc = sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                                   nullptr);
    if (rc != SQLITE_OK) {
        std::string err = db_ ? sqlite3_errmsg(db_) : "out of memory";
        close_db();
        if (damaged(rc)) {
            why = err;
            return false;
        }
        unlock_file();
        throw HostError(kExitHistory, "cannot open the history store " + path + ": " + err);
    }
    sqlite3_busy_timeout(db_, 5000);
    struct stat st{};
    if (path != ":memory:" && ::stat(path.c_str(), &st) == 0 && st.st_size > 0) {
        // An existing file is checked whole before anything is written to it.
        std::vector<std::string> problems;
        char* err = nullptr;
        const int crc = sqlite3_exec(
            db_, "PRAGMA integrity_check(5)",
            [](void* out, int, char** v, char**) {
                if (v[0] && std::strcmp(v[0], "ok") != 0) static_cast<std::vector<std::string>*>(out)->push_back(v[0]);
                return 0;
            },
            &problems, &err);
        const std::string msg = err ? err : sqlite3_errmsg(db_);
        sqlite3_free(err);
        if (crc != SQLITE_OK || !problems.empty()) {
            if (crc != SQLITE_OK && !damaged(crc) && !damaged(sqlite3_errcode(db_))) {
                close_db();
                unlock_file();
                throw HostError(kExitHistory, "cannot read the history store " + path + ": " + msg);
            }
            why = crc != SQLITE_OK ? msg : "integrity_check: " + problems.front();
            close_db();
            return false;
        }
    }
    try {
        // A new file gives freed pages back (prune() does); an existing one keeps its setting.
        // Small pages: less slack around the packed rows, and a commit (mostly one page of the
        // log) dirties little more than the 512 bytes it changes.
        exec("PRAGMA page_size=512");
        exec("PRAGMA auto_vacuum=INCREMENTAL");
        if (path != ":memory:") exec("PRAGMA journal_mode=WAL");
        // The log is copied into the file after 2000 pages of it (1 MB in new files), so a
        // page written by many commits in between is copied once.
        exec("PRAGMA wal_autocheckpoint=2000");
        // Each commit reaches the medium before it counts (a power cut loses at most the
        // commit interval).
        exec("PRAGMA synchronous=FULL");
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
        const int code = sqlite3_errcode(db_);
        close_db();
        if (damaged(code)) {
            why = e.what();
            return false;
        }
        unlock_file();
        throw HostError(kExitHistory, "cannot use the history store " + path + ": " + e.what());
    }
    return true;
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
    // What is held is written before the file closes (a clean stop loses nothing).
    if (db_ && mode_ == Mode::Write) {
        std::lock_guard<std::mutex> lock(mu_);
        if (held_locked()) commit_locked(now_ms(), true);
    }
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

bool HistoryStore::save(uint32_t data_id, const std::string& device_type, int record_type,
                        const std::vector<uint8_t>& image, const DecodedImage& decoded) {
    std::lock_guard<std::mutex> lock(mu_);
    if (mode_ == Mode::ReadOnly) throw HostError(kExitHistory, "history: the store is open read-only");
    const int64_t now = now_ms();
    if (state_.failing && state_.held_bytes >= kHoldBytes) {
        // The file has not been writable for long: try once more, else refuse.
        if (now - last_attempt_ < 5'000 || !commit_locked(now)) {
            WriteState s = state_;
            ++s.refused;
            set_state_locked(s);
            return false;
        }
    }
    if (retention_ == 0) {
        // Only the last image of a device and six hours is kept: a held one of the same six
        // hours gives way.
        for (auto it = images_.begin(); it != images_.end(); ++it)
            if (it->data_id == data_id && it->device_type == device_type &&
                it->time / kImagePeriodMs == now / kImagePeriodMs) {
                images_.erase(it);
                break;
            }
    }
    images_.push_back({data_id, device_type, record_type, now, image});
    record_values_locked(now, data_id, device_type, record_type, decoded);
    if (now - last_prune_ >= kPruneEveryMs) prune_due_ = true;
    const bool first_image = !images_written_.count({data_id, device_type});
    if (first_image || commit_ms_ == 0 || last_commit_ == INT64_MIN || now - last_commit_ >= commit_ms_ ||
        now < last_commit_) {
        if (!state_.failing || now - last_attempt_ >= 5'000 || now < last_attempt_) commit_locked(now);
    }
    return true;
}

void HistoryStore::set_commit_interval(int seconds) {
    std::lock_guard<std::mutex> lock(mu_);
    commit_ms_ = seconds <= 0 ? 0 : int64_t(seconds) * 1000;
}

bool HistoryStore::commit() {
    std::lock_guard<std::mutex> lock(mu_);
    if (mode_ == Mode::ReadOnly) return true;
    return commit_locked(now_ms(), true);
}

void HistoryStore::commit_if_due(int64_t late_ms) {
    std::unique_lock<std::mutex> lock(mu_, std::try_to_lock);
    if (!lock.owns_lock() || mode_ == Mode::ReadOnly || !held_locked()) return;
    const int64_t now = now_ms();
    if (state_.failing) {
        if (now - last_attempt_ >= 5'000 || now < last_attempt_) commit_locked(now);
        return;
    }
    if (last_commit_ == INT64_MIN || now - last_commit_ >= commit_ms_ + late_ms || now < last_commit_)
        commit_locked(now);
}

HistoryStore::WriteState HistoryStore::write_state() const {
    std::lock_guard<std::mutex> lock(state_mu_);
    return state_;
}

void HistoryStore::set_state_locked(const WriteState& s) {
    std::lock_guard<std::mutex> lock(state_mu_);
    state_ = s;
}

bool HistoryStore::held_locked() const {
    if (!ops_.empty() || !images_.empty() || !closed_.empty() || !closed_cycles_.empty() || cycles_.dirty) return true;
    for (const auto& [key, c] : chunks_)
        if (c.dirty) return true;
    for (const auto& [system, c] : parked_cycles_)
        if (c.dirty) return true;
    return false;
}

size_t HistoryStore::held_bytes_locked() const {
    size_t n = ops_.size() * 256;
    for (const HeldImage& i : images_) n += i.image.size() + 64;
    // Closed hours stay in memory whole (their poll times and bit streams).
    for (const auto& [key, c] : closed_) n += c.enc.polls().size() * sizeof(int64_t) + c.enc.blob().size();
    for (const auto& [system, c] : closed_cycles_) n += c.enc.blob().size() + 64;
    return n;
}

bool HistoryStore::commit_locked(int64_t now, bool all) {
    last_attempt_ = now;
    if (!held_locked() && !prune_due_) {
        last_commit_ = now;
        return true;
    }
    if (!db_) return false;
    const auto image_before = newest_image_;
    const auto joined_before = joined_day_;
    std::map<std::pair<uint32_t, std::string>, int64_t> chunk_ids;
    std::map<uint32_t, int64_t> cycle_ids;
    const bool prune = prune_due_;
    // Every save's image when each is kept (a cap), else the newest now and then.
    const bool images = all || commit_ms_ == 0 || retention_ > 0 || last_images_ == INT64_MIN ||
                        now - last_images_ >= kImageEveryMs || now < last_images_;
    // With a commit interval the open chunks' rows, ids and log marks change in place: a
    // commit that fails puts them back.
    const bool logging = commit_ms_ > 0;
    if (logging) close_past_hours_locked(now);
    std::map<std::pair<uint32_t, std::string>, OpenChunk> chunks_before;
    OpenCycles cycles_before;
    std::map<uint32_t, OpenCycles> parked_before;
    if (logging) {
        chunks_before = chunks_;
        cycles_before = cycles_;
        parked_before = parked_cycles_;
    }
    try {
        if (prune) close_stale_locked(now);
        exec("BEGIN");
        write_held_locked(now, images, all, chunk_ids, cycle_ids);
        if (prune) prune_locked(now);
        exec("COMMIT");
    } catch (const std::exception& e) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        newest_image_ = image_before;
        joined_day_ = joined_before;
        if (logging) {
            // Only the rows' state: what was added since stays (the saves went on).
            auto restore = [](auto& now_c, const auto& before) {
                now_c.id = before.id;
                now_c.mark = before.mark;
                now_c.first_log = before.first_log;
                now_c.logged = before.logged;
            };
            for (auto& [key, c] : chunks_) {
                auto it = chunks_before.find(key);
                if (it != chunks_before.end()) restore(c, it->second);
            }
            restore(cycles_, cycles_before);
            for (auto& [system, c] : parked_cycles_) {
                auto it = parked_before.find(system);
                if (it != parked_before.end()) restore(c, it->second);
            }
        }
        WriteState s = state_;
        ++s.errors;
        s.failing = true;
        s.error = e.what();
        s.held_bytes = held_bytes_locked();
        set_state_locked(s);
        return false;
    }
    // Written: what was held goes, the new rows' ids are known.
    for (const auto& [key, id] : chunk_ids) {
        auto it = chunks_.find(key);
        if (it != chunks_.end()) it->second.id = id;
    }
    for (auto& [key, c] : chunks_) c.dirty = false;
    for (const auto& [system, id] : cycle_ids) {
        if (system == cycles_system_) cycles_.id = id;
        else parked_cycles_[system].id = id;
    }
    cycles_.dirty = false;
    for (auto& [system, c] : parked_cycles_) c.dirty = false;
    ops_.clear();
    for (size_t k : images_now_) images_written_.insert({images_[k].data_id, images_[k].device_type});
    for (auto it = images_now_.rbegin(); it != images_now_.rend(); ++it) images_.erase(images_.begin() + long(*it));
    images_now_.clear();
    if (images) last_images_ = now;
    closed_.clear();
    closed_cycles_.clear();
    last_commit_ = now;
    if (prune) {
        last_prune_ = now;
        prune_due_ = false;
    }
    WriteState s = state_;
    ++s.commits;
    s.failing = false;
    s.error.clear();
    s.held_bytes = 0;
    set_state_locked(s);
    if (vacuum_due_) {
        // The pages freed go back to the file system (files made by this version).
        vacuum_due_ = false;
        sqlite3_exec(db_, "PRAGMA incremental_vacuum", nullptr, nullptr, nullptr);
    }
    return true;
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
    if (mode_ == Mode::Write && held_locked()) commit_locked(now_ms(), true);  // what is held is read too
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
    if (mode_ == Mode::Write && held_locked()) commit_locked(now_ms(), true);
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
    ops_.push_back([this, a] {
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
    });
    if (commit_ms_ == 0) commit_locked(now_ms());
}

void HistoryStore::alarm_cleared(uint32_t data_id, const std::string& device_type, const std::string& key,
                                 uint32_t sequence) {
    std::lock_guard<std::mutex> lock(mu_);
    if (mode_ == Mode::ReadOnly) return;
    ops_.push_back([this, data_id, device_type, key, sequence] {
        Stmt q = prepare(db_, "DELETE FROM active_alarm WHERE data_id = ? AND device_type = ? AND key = ? AND seq = ?");
        sqlite3_bind_int64(q.get(), 1, data_id);
        sqlite3_bind_text(q.get(), 2, device_type.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(q.get(), 3, key.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(q.get(), 4, sequence);
        if (sqlite3_step(q.get()) != SQLITE_DONE) throw HostError(kExitHistory, sqlite3_errmsg(db_));
    });
    if (commit_ms_ == 0) commit_locked(now_ms());
}

std::vector<StoredAlarm> HistoryStore::active_alarms() {
    std::lock_guard<std::mutex> lock(mu_);
    if (mode_ == Mode::Write && held_locked()) commit_locked(now_ms(), true);
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

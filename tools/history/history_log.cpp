// The history store's commit log. With a commit interval, a commit does not write the chunks
// being filled whole: each gets a placeholder row (open = 2) when it starts, and every commit
// writes one row of `chunk_log` holding what each such chunk gained since the commit before
// (a few hundred bytes: mostly one page of the file). The chunk is written whole once, when
// its hour closes. Readers rebuild the chunks being filled from the log; a writer opening the
// file writes them whole from it.
#include <algorithm>

#include <sqlite3.h>

#include "tools/core/host_error.h"
#include "tools/history/history_chunks.h"
#include "tools/history/history_store.h"
#include "tools/history/sqlite_util.h"

namespace zrt::host {
namespace {

void step_done(sqlite3* db, sqlite3_stmt* s) {
    if (sqlite3_step(s) != SQLITE_DONE) throw HostError(kExitHistory, std::string("history: ") + sqlite3_errmsg(db));
    sqlite3_reset(s);
}

int64_t hour_of(int64_t t) { return t / 3'600'000 - (t % 3'600'000 < 0 ? 1 : 0); }

int64_t day_of(int64_t t) { return t / 86'400'000 * 86'400'000 - (t % 86'400'000 < 0 ? 86'400'000 : 0); }

const char* const kCycleTotalsZero = "rows = 0, errors = 0, bad_frames = 0, timeouts = 0, duration_ms = 0, covered_ms = 0";

}  // namespace

void HistoryStore::close_past_hours_locked(int64_t now) {
    const int64_t hour = hour_of(now);
    for (auto it = chunks_.begin(); it != chunks_.end();) {
        OpenChunk& c = it->second;
        if (!c.enc.empty() && c.hour < hour) {
            const int64_t day = day_of(now);
            if (day > c.t_max) c.next_day = day;
            closed_.emplace_back(it->first, std::move(c));
            it = chunks_.erase(it);
        } else {
            ++it;
        }
    }
    if (cycles_.enc.rows() != 0 && cycles_.hour < hour) {
        closed_cycles_.emplace_back(cycles_system_, std::move(cycles_));
        cycles_ = OpenCycles{};
    }
    for (auto it = parked_cycles_.begin(); it != parked_cycles_.end();) {
        if (it->second.enc.rows() != 0 && it->second.hour < hour) {
            closed_cycles_.emplace_back(it->first, std::move(it->second));
            it = parked_cycles_.erase(it);
        } else {
            ++it;
        }
    }
}

// Inside write_held_locked()'s transaction: a placeholder row for each chunk that starts,
// one log row with every open chunk's entry and, for `all` (a stop, a reader in this
// process), each open chunk written whole as well.
void HistoryStore::log_open_locked(bool all) {
    std::vector<uint8_t> row = codec::log_row_start();
    std::vector<int64_t*> first;
    bool any = false;
    for (auto& [key, c] : chunks_) {
        if (!c.dirty || c.enc.empty()) continue;
        if (c.id == 0) {
            Stmt q = prepare(db_, "INSERT INTO chunk (t_min, t_max, data, data_id, device_type, open)"
                                  " VALUES (?, ?, x'', ?, ?, 2)");
            sqlite3_bind_int64(q.get(), 1, c.t_min);
            sqlite3_bind_int64(q.get(), 2, c.t_max);
            sqlite3_bind_int64(q.get(), 3, key.first);
            sqlite3_bind_text(q.get(), 4, key.second.c_str(), -1, SQLITE_TRANSIENT);
            step_done(db_, q.get());
            c.id = sqlite3_last_insert_rowid(db_);
            first.push_back(&c.first_log);
        } else if (!c.logged) {
            Stmt q = prepare(db_, "UPDATE chunk SET open = 2, data = x'' WHERE id = ?");
            sqlite3_bind_int64(q.get(), 1, c.id);
            step_done(db_, q.get());
        }
        c.logged = true;
        codec::BitWriter e;
        codec::log_chunk(c.enc, c.mark, e);
        codec::put_log_entry(row, codec::LogKind::Chunk, c.id, e);
        any = true;
        if (all) {
            const std::vector<uint8_t> blob = c.enc.blob();
            Stmt q = prepare(db_, "UPDATE chunk SET t_min = ?, t_max = ?, data = ?, open = 1 WHERE id = ?");
            sqlite3_bind_int64(q.get(), 1, c.t_min);
            sqlite3_bind_int64(q.get(), 2, c.t_max);
            sqlite3_bind_blob(q.get(), 3, blob.data(), static_cast<int>(blob.size()), SQLITE_TRANSIENT);
            sqlite3_bind_int64(q.get(), 4, c.id);
            step_done(db_, q.get());
            c.logged = false;
        }
    }
    auto cycles = [&](uint32_t system, OpenCycles& c) {
        if (!c.dirty || c.enc.rows() == 0) return;
        if (c.id == 0) {
            Stmt q = prepare(db_, (std::string("INSERT INTO cycle_chunk (t_min, t_max, data, open, system, ") +
                                   "rows, errors, bad_frames, timeouts, duration_ms, covered_ms)"
                                   " VALUES (?, ?, x'', 2, ?, 0, 0, 0, 0, 0, 0)")
                                      .c_str());
            sqlite3_bind_int64(q.get(), 1, c.t_min);
            sqlite3_bind_int64(q.get(), 2, c.t_max);
            sqlite3_bind_int64(q.get(), 3, system);
            step_done(db_, q.get());
            c.id = sqlite3_last_insert_rowid(db_);
            first.push_back(&c.first_log);
        } else if (!c.logged) {
            Stmt q = prepare(db_, (std::string("UPDATE cycle_chunk SET open = 2, data = x'', ") + kCycleTotalsZero +
                                   " WHERE id = ?")
                                      .c_str());
            sqlite3_bind_int64(q.get(), 1, c.id);
            step_done(db_, q.get());
        }
        c.logged = true;
        codec::BitWriter e;
        codec::log_cycles(c.enc, c.mark, e);
        codec::put_log_entry(row, codec::LogKind::Cycles, c.id, e);
        any = true;
        if (all) {
            write_cycles_locked(system, c, true);
            c.logged = false;
        }
    };
    cycles(cycles_system_, cycles_);
    for (auto& [system, c] : parked_cycles_) cycles(system, c);
    if (!any) return;
    // The rows of the log are slots used in turn: the oldest one no open chunk needs is
    // written over (its page is rewritten, nothing is allocated); a new one is added only
    // while every slot is needed.
    const int64_t seq = next_log_seq_++;
    const int64_t keep = log_keep_locked();
    if (!log_slots_.empty() && log_slots_.front().second < keep) {
        const int64_t slot = log_slots_.front().first;
        Stmt q = prepare(db_, "UPDATE chunk_log SET seq = ?, data = ? WHERE id = ?");
        sqlite3_bind_int64(q.get(), 1, seq);
        sqlite3_bind_blob(q.get(), 2, row.data(), static_cast<int>(row.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int64(q.get(), 3, slot);
        step_done(db_, q.get());
        log_slots_.pop_front();
        log_slots_.emplace_back(slot, seq);
    } else {
        Stmt q = prepare(db_, "INSERT INTO chunk_log (seq, data) VALUES (?, ?)");
        sqlite3_bind_int64(q.get(), 1, seq);
        sqlite3_bind_blob(q.get(), 2, row.data(), static_cast<int>(row.size()), SQLITE_TRANSIENT);
        step_done(db_, q.get());
        log_slots_.emplace_back(sqlite3_last_insert_rowid(db_), seq);
    }
    for (int64_t* f : first) *f = seq;
}

// The oldest log entry an open chunk needs (its first); INT64_MAX: none.
int64_t HistoryStore::log_keep_locked() const {
    int64_t keep = INT64_MAX;
    for (const auto& [key, c] : chunks_)
        if (c.first_log) keep = std::min(keep, c.first_log);
    if (cycles_.first_log) keep = std::min(keep, cycles_.first_log);
    for (const auto& [system, c] : parked_cycles_)
        if (c.first_log) keep = std::min(keep, c.first_log);
    return keep;
}

// A run that stopped without writing its open chunks whole (killed, a power cut) left them
// in the log: they are written whole from it, and closed with the others after.
void HistoryStore::recover_log_locked() {
    LoggedChunks logged;
    try {
        logged = logged_chunks(db_, path_);
    } catch (const HostError&) {
        // A log that does not parse: its chunks are lost, the rest of the file is kept.
    }
    for (const auto& [id, blob] : logged.chunks) {
        codec::ParsedChunk c;
        if (!codec::parse_chunk(blob.data(), blob.size(), c) || c.polls.empty()) continue;
        Stmt q = prepare(db_, "UPDATE chunk SET t_min = ?, t_max = ?, data = ?, open = 1 WHERE id = ? AND open = 2");
        sqlite3_bind_int64(q.get(), 1, *std::min_element(c.polls.begin(), c.polls.end()));
        sqlite3_bind_int64(q.get(), 2, *std::max_element(c.polls.begin(), c.polls.end()));
        sqlite3_bind_blob(q.get(), 3, blob.data(), static_cast<int>(blob.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int64(q.get(), 4, id);
        step_done(db_, q.get());
    }
    for (const auto& [id, blob] : logged.cycles) {
        std::vector<codec::CycleRow> rows;
        if (!codec::decode_cycles(blob.data(), blob.size(), rows) || rows.empty()) continue;
        OpenCycles c;
        c.id = id;
        c.t_min = c.t_max = rows.front().time_ms;
        for (const codec::CycleRow& r : rows) {
            c.enc.add(r);
            c.t_min = std::min(c.t_min, r.time_ms);
            c.t_max = std::max(c.t_max, r.time_ms);
        }
        write_cycles_locked(0, c, true);
    }
    // Placeholders whose first entry never committed hold nothing.
    exec("DELETE FROM chunk WHERE open = 2");
    exec("DELETE FROM cycle_chunk WHERE open = 2");
    exec("DELETE FROM chunk_log");
    log_slots_.clear();
}

}  // namespace zrt::host

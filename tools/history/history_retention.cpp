// The retention rules of the history store: whole UTC days of values, alarms and cycles go
// after "history_days", rollups after their own days, and images are thinned; the newest
// image of each device always stays.
#include <algorithm>

#include <sqlite3.h>

#include "tools/core/host_error.h"
#include "tools/history/history_store.h"
#include "tools/history/sqlite_util.h"

namespace zrt::host {
namespace {

void step_done(sqlite3* db, sqlite3_stmt* s) {
    if (sqlite3_step(s) != SQLITE_DONE) throw HostError(kExitHistory, std::string("history: ") + sqlite3_errmsg(db));
    sqlite3_reset(s);
}

}  // namespace

void HistoryStore::prune() {
    std::lock_guard<std::mutex> lock(mu_);
    if (mode_ == Mode::ReadOnly) return;
    prune_due_ = true;
    vacuum_due_ = true;
    if (!commit_locked(now_ms(), true)) throw HostError(kExitHistory, "retention: " + state_.error);
}

// Whole UTC days go: the cut is the start of the oldest day kept, so no row (an hour's or a
// day's) straddles it and nothing is re-encoded.
static int64_t retention_cut(int64_t now, int days) {
    const int64_t t = now - int64_t(days) * 86'400'000;
    return t / 86'400'000 * 86'400'000 - (t % 86'400'000 < 0 ? 86'400'000 : 0);
}

void HistoryStore::close_stale_locked(int64_t now) {
    if (retention_days_ <= 0) return;
    const int64_t cut = retention_cut(now, retention_days_);
    // Chunks still open but older than the cut (a device that stopped answering): written,
    // rolled up and closed by the commit, so that they can go.
    for (auto it = chunks_.begin(); it != chunks_.end();) {
        if (!it->second.enc.empty() && it->second.t_max < cut) {
            closed_.emplace_back(it->first, std::move(it->second));
            it = chunks_.erase(it);
        } else {
            ++it;
        }
    }
    if (cycles_.enc.rows() != 0 && cycles_.t_max < cut) {
        closed_cycles_.emplace_back(cycles_system_, std::move(cycles_));
        cycles_ = OpenCycles{};
    }
}

void HistoryStore::prune_locked(int64_t now) {
    const int64_t changes_before = sqlite3_total_changes64(db_);
    {
        if (retention_days_ > 0) {
            const int64_t cut = retention_cut(now, retention_days_);
            const std::string cut_text = utc_text(cut);
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
    }
    // Something went: the freed pages go back to the file system after the commit.
    if (sqlite3_total_changes64(db_) != changes_before) vacuum_due_ = true;
}

}  // namespace zrt::host

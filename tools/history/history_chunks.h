#pragma once
// Reading the compact tables of the history file, for every reader alike (the store's own
// start-up, export, report, and ad-hoc SQL): a series' rows, a device's chunks, the cycle
// rows and the hourly rollups. Rows of the older row-per-value tables (`value`, `cycle`)
// are read as they are, before the compact ones.
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tools/history/history_codec.h"

struct sqlite3;

namespace zrt::host {

// The compact tables (created by the writer; a reader finds them or not).
extern const char* const kChunkSchema;
// The commit log of the chunks being filled (see HistoryStore).
extern const char* const kLogSchema;

bool db_has_table(sqlite3* db, const char* name);

using ValueFn = std::function<void(int64_t time_ms, const std::optional<double>& value)>;

// Every row of one series with from <= time <= to, oldest chunk first. Throws HostError
// (kExitHistory) naming `what` (the file) for a chunk that does not decode.
void for_each_value(sqlite3* db, const std::string& what, int64_t series, uint32_t data_id,
                    const std::string& device_type, int64_t from, int64_t to, const ValueFn& f);

// The rows of many series of one device: `f` gets the series id with each row, chunk by
// chunk (within a chunk series by series, each in time order). `series` empty: all.
void for_each_device_value(sqlite3* db, const std::string& what, uint32_t data_id, const std::string& device_type,
                           const std::vector<int64_t>& series, int64_t from, int64_t to,
                           const std::function<void(int64_t series, int64_t time_ms, const std::optional<double>&)>& f);

// The times the device answered (its polls) in [from, to], from the chunks.
std::vector<int64_t> device_polls(sqlite3* db, const std::string& what, uint32_t data_id,
                                  const std::string& device_type, int64_t from, int64_t to);

bool db_has_column(sqlite3* db, const char* table, const char* column);

// The chunks being filled as the commit log holds them (rows with open = 2), rebuilt: their
// blobs by row id, device chunks and cycle chunks. Empty when the file has no log. Throws
// HostError (kExitHistory) naming `what` for a log row that does not parse.
struct LoggedChunks {
    std::map<int64_t, std::vector<uint8_t>> chunks, cycles;
};
LoggedChunks logged_chunks(sqlite3* db, const std::string& what);
// The newest poll or cycle of those chunks (their rows keep the times of their first
// commit); INT64_MIN when there is none.
int64_t logged_newest(sqlite3* db, const std::string& what);

// Each cycle in [from, to] with its power system (the top device's data id; 0 in files of
// older versions). `chunks` false: only the rows of older versions.
void for_each_cycle(sqlite3* db, const std::string& what, int64_t from, int64_t to,
                    const std::function<void(const codec::CycleRow&, uint32_t system)>& f, bool chunks = true);

// The hourly rollups of one device whose hour starts in [from, to]; `hour_ms` is the
// hour's start. `open_too`: also the figures of the chunks not yet rolled up (the hour
// being written), computed from their rows.
void for_each_rollup(sqlite3* db, const std::string& what, uint32_t data_id, const std::string& device_type,
                     int64_t from, int64_t to, bool open_too,
                     const std::function<void(int64_t hour_ms, const codec::Rollup&)>& f);

// The hourly figures of a chunk's rows, keyed by day (ms of its start).
std::vector<std::pair<int64_t, codec::Rollup>> roll_up_chunk(const codec::ParsedChunk& c, const std::string& what);

// Makes the table functions `value_rows(series, time_ms, value)` and `cycle_rows(time_ms,
// n, duration_ms, errors, bad_frames, timeouts)` known to every connection this process
// opens from now on (the views `value_v` and `cycle_v` read them).
void register_history_sql();
// The same for one connection (the loadable extension calls this).
int register_history_sql_on(sqlite3* db);

}  // namespace zrt::host

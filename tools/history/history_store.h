#pragma once
// The history store, SQLite in write-ahead-log mode: the newest image of each device (what
// start-up hands back to it) and one older image per device and six hours, the decoded values of
// those images written when they change, packed per device and hour into a chunk (a
// closed hour joins its day's chunk: one row per device and day), every alarm transition, the cycle statistics packed per hour, and hourly rollups of every value.
// The chunk being filled is rewritten with every save, in the save's transaction, so a
// crash loses nothing that save() returned for. Chunks and cycles go after "history_days",
// rollups after the rollup days; the newest image of each device always stays.
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "host/rule_value.h"
#include "tools/history/history_codec.h"

struct sqlite3;

namespace zrt::host {

struct HistoryRow {
    uint32_t data_id = 0;
    std::string device_type;
    int record_type = 0;
    std::string time;  // UTC, "YYYY-MM-DDTHH:MM:SS.mmmZ" (rows of older versions: local time without a zone)
    std::vector<uint8_t> image;
};

// One raised alarm as the store keeps it between runs.
struct StoredAlarm {
    uint32_t data_id = 0;
    std::string device_type;
    std::string key;
    uint32_t sequence = 0;
    uint32_t level = 0;
    std::string signal_id, name, instance;
    std::string since;  // when it was raised, ISO 8601 UTC
};

class HistoryStore {
public:
    enum class Mode {
        Write,     // the one writer: takes an exclusive lock on the file
        ReadOnly,  // a reader: no lock, nothing written; works on a read-only copy too
    };
    // `path` ":memory:" keeps the history in memory. `retention` caps the images kept per
    // device; 0: no cap (images go by age only). Throws HostError (kExitHistory), also when
    // another writer holds the file.
    HistoryStore(const std::string& path, int retention, Mode mode = Mode::Write);
    ~HistoryStore();
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    // Stores an image and its decoded values, drops the device's images beyond the cap,
    // and now and then the rows older than the retention time. Throws HostError
    // (kExitHistory) when the write fails.
    void save(uint32_t data_id, const std::string& device_type, int record_type, const std::vector<uint8_t>& image);
    // The device's newest image.
    std::optional<std::vector<uint8_t>> last(uint32_t data_id, const std::string& device_type);
    // The device's newest row, with the time it was stored.
    std::optional<HistoryRow> last_row(uint32_t data_id, const std::string& device_type);
    // The device's rows, oldest first.
    std::vector<HistoryRow> rows(uint32_t data_id, const std::string& device_type);

    // The active alarm table: a raised alarm is kept until it clears, so that a restart
    // knows what was raised. Throws HostError (kExitHistory) when the write fails.
    void alarm_raised(const StoredAlarm& a);
    void alarm_cleared(uint32_t data_id, const std::string& device_type, const std::string& key, uint32_t sequence);
    std::vector<StoredAlarm> active_alarms();

    bool read_only() const { return mode_ == Mode::ReadOnly; }


    // Decoded history. Times are milliseconds since 1970-01-01 UTC.
    //
    // The clock for every row written from now on (tests and benchmarks pass their own).
    void set_clock(std::function<int64_t()> now_ms);
    // Rows older than this many days go (values, alarms, cycles, images but the newest of
    // each device); 0 keeps everything.
    void set_retention_days(int days);
    // Hourly rollups older than this many days go; 0 keeps them all.
    void set_rollup_days(int days);
    // One alarm transition (raised or cleared) of a device.
    void record_alarm(uint32_t data_id, const std::string& device_type, const rule_value& rule, bool raised);
    // One complete polling cycle of a power system on the line; `system` is its top device's
    // data id (0 where the caller does not say). Each system's cycles go into chunks of
    // their own.
    void record_cycle(uint64_t n, double duration_ms, uint64_t errors, uint64_t bad_frames, uint64_t timeouts,
                      uint32_t system = 0);
    // Applies the retention rules now (save() does so every ten minutes of its clock).
    void prune();

    // A measured value is written again when it moves by more than its dead band from the
    // last value written, or when this long has passed; states, counts and settings on any
    // change, or after kSlowRefreshMs.
    static constexpr int64_t kRefreshMs = 60'000;
    static constexpr int64_t kSlowRefreshMs = 600'000;
    static constexpr int64_t kPruneEveryMs = 600'000;
    // Rows of files of older versions: images older than this are thinned to one per
    // device and ten minutes. Images are now kept one per device and six hours of UTC (the
    // newest replaces the one before it within its six hours).
    static constexpr int64_t kThinAfterMs = 3'600'000;
    static constexpr int64_t kImagePeriodMs = 6 * 3'600'000;
    static constexpr int kDefaultRollupDays = 400;

private:
    void exec(const char* sql);
    // The decoded tables, made by the constructor after the image table.
    void create_decoded_tables();
    // Writes the values of an image that changed; inside save()'s transaction.
    void record_values_locked(int64_t now, uint32_t data_id, const std::string& device_type, int record_type,
                              const std::vector<uint8_t>& image);
    int64_t series_id_locked(uint32_t data_id, const std::string& device_type, int record_type,
                             const std::string& key, const std::string& label, const std::string& unit, int kind);
    void prune_locked(int64_t now);
    void save_image_locked(int64_t now, uint32_t data_id, const std::string& device_type, int record_type,
                           const std::vector<uint8_t>& image);
    // Marks a chunk complete and adds its rows to the rollups.
    void close_chunk_locked(int64_t id);
    void join_day_locked(int64_t id, uint32_t data_id, const std::string& type);
    int64_t now_ms() const;

    std::mutex mu_;
    sqlite3* db_ = nullptr;
    int retention_;

    struct Last {
        std::optional<double> value;
        int64_t time = 0;
    };
    std::function<int64_t()> clock_;
    int retention_days_ = 30;
    int64_t last_prune_ = 0;
    std::string thinned_to_;  // images before this time are thinned already
    std::map<std::tuple<uint32_t, std::string, int, std::string>, int64_t> series_;
    std::unordered_map<int64_t, Last> last_;     // per series: the last value written
    std::vector<std::pair<int64_t, Last>> pending_;  // written in the open transaction
    std::vector<std::tuple<uint32_t, std::string, int, std::string>> pending_series_;
    // The chunk being filled, per device (data id, device type); its row is rewritten with
    // every save.
    struct OpenChunk {
        int64_t id = 0, hour = 0, t_min = 0, t_max = 0;
        codec::ChunkEncoder enc;
    };
    std::map<std::pair<uint32_t, std::string>, OpenChunk> chunks_;
    struct OpenCycles {
        int64_t id = 0, hour = 0, t_min = 0, t_max = 0;
        codec::CycleEncoder enc;
    };
    OpenCycles cycles_;  // of cycles_system_; the other systems' open chunks wait in parked_cycles_
    uint32_t cycles_system_ = 0;
    std::map<uint32_t, OpenCycles> parked_cycles_;
    // Per device: the row id and time of its newest image.
    std::map<std::pair<uint32_t, std::string>, std::pair<int64_t, std::string>> newest_image_;
    int rollup_days_ = kDefaultRollupDays;
    void open_read_only(const std::string& path);
    bool has_table(const char* name);
    Mode mode_;
    int lock_fd_ = -1;  // the writer's lock on the file
};

// Milliseconds since 1970-01-01 UTC as "YYYY-MM-DDTHH:MM:SS.mmmZ".
std::string utc_text(int64_t ms);

}  // namespace zrt::host

#pragma once
// The history store, SQLite in write-ahead-log mode: the newest image of each device (what
// start-up hands back to it) and one older image per device and six hours, the decoded values of
// those images written when they change, packed per device and hour into a chunk (the
// hours of a day that is over are joined: one row per device and day), every alarm transition, the cycle statistics packed per hour, and hourly rollups of every value.
// What is being filled is kept in memory and written on a schedule (set_commit_interval):
// each commit is one transaction, so after a crash the file holds everything up to the last
// commit. A commit that fails (a full disk) keeps what it held in memory, up to kHoldBytes,
// and the next one writes it. Chunks and cycles go after "history_days" (whole UTC days),
// rollups after the rollup days; the newest image of each device always stays.
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "host/rule_value.h"
#include "tools/core/image_decode.h"
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

    // Takes an image and its decoded values (written with the next commit), drops the
    // device's images beyond the cap, and now and then the rows older than the retention
    // time. Returns false when the image was not taken: the file has not been writable for
    // so long that kHoldBytes are held already. A failed write is no exception: see
    // write_state().
    // `decoded`: the image's values as the core decoded them when it was published.
    bool save(uint32_t data_id, const std::string& device_type, int record_type, const std::vector<uint8_t>& image,
              const DecodedImage& decoded);
    // An image without its values at hand (a stored one, a test's): decoded through the core.
    bool save(uint32_t data_id, const std::string& device_type, int record_type, const std::vector<uint8_t>& image) {
        return save(data_id, device_type, record_type, image, decode_stored(record_type, image));
    }

    // Writing on a schedule. 0 (the default here; the host's default is 60): every save,
    // alarm and cycle is its own transaction.
    void set_commit_interval(int seconds);
    // Writes everything held now, in one transaction. Returns false when that failed (what
    // was held stays held). Never throws.
    bool commit();
    // Commits when the interval has passed since the last commit by `late_ms` more (the
    // host calls it every second with a few seconds' grace, so that a quiet line does not
    // keep data back while the saves commit on their own thread), or, after a failure, every
    // few seconds. Returns at once when another thread is writing.
    void commit_if_due(int64_t late_ms = 0);
    struct WriteState {
        uint64_t errors = 0;      // failed commits since the store was opened
        bool failing = false;     // the last commit failed
        std::string error;        // its reason, as SQLite gave it
        size_t held_bytes = 0;    // held in memory after it (about)
        uint64_t refused = 0;     // images not taken since the hold was full
        uint64_t commits = 0;     // commits that wrote something
    };
    // Never waits for a commit to end.
    WriteState write_state() const;
    const std::string& path() const { return path_; }
    // At most this much is held in memory while the file cannot be written (about four days
    // of the reference site); beyond it new images are refused.
    static constexpr size_t kHoldBytes = 8u << 20;
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
    // What opening the file had to say: a damaged file kept aside (its new name) and a new
    // one started; empty when nothing happened.
    const std::string& notice() const { return notice_; }


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
    // Applies the retention rules now, after a commit (the commits do so every ten minutes
    // of the store's clock), and gives the freed pages back to the file system.
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
    // With a commit interval, the newest images (start-up's cache; the values are in the
    // chunks) are written this often, and at every stop: each time rewrites their pages.
    static constexpr int64_t kImageEveryMs = 3'600'000;

private:
    void exec(const char* sql);
    // `all`: the held images too, however recently they were written (a stop, a reader).
    bool commit_locked(int64_t now, bool all = false);
    // The rows held in memory written; inside commit_locked()'s transaction.
    void write_held_locked(int64_t now, bool images, bool all, std::map<std::pair<uint32_t, std::string>, int64_t>& chunk_ids,
                           std::map<uint32_t, int64_t>& cycle_ids);
    size_t held_bytes_locked() const;
    bool held_locked() const;
    // The decoded tables, made by the constructor after the image table.
    void create_decoded_tables();
    // Writes the values of an image that changed; inside save()'s transaction.
    void record_values_locked(int64_t now, uint32_t data_id, const std::string& device_type, int record_type,
                              const DecodedImage& decoded);
    int64_t series_id_locked(uint32_t data_id, const std::string& device_type, int record_type,
                             const std::string& key, const std::string& label, const std::string& unit, int kind);
    // The retention rules' deletions, inside a commit's transaction; when something went,
    // the commit gives the freed pages back to the file system afterwards.
    void prune_locked(int64_t now);
    // Open chunks older than the retention cut (a device that stopped answering) are closed.
    void close_stale_locked(int64_t now);
    void save_image_locked(int64_t now, uint32_t data_id, const std::string& device_type, int record_type,
                           const std::vector<uint8_t>& image);
    // Marks a chunk complete and adds its rows to the rollups. `next_day`: the start of the
    // day of the save that closed it, when that is a later day (its day is over then).
    void close_chunk_locked(int64_t id, int64_t next_day = INT64_MIN);
    // Joins the device's hour rows of each UTC day before `day` into one row per day.
    void join_days_locked(uint32_t data_id, const std::string& type, int64_t day);
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
    // The chunk being filled, per device (data id, device type); its row (id 0: none yet) is
    // written by the next commit after it changed.
    // With a commit interval, a chunk's row is a placeholder (open = 2) while its hour runs:
    // each commit appends what was added to it since the commit before to the commit log
    // (`mark`: what is logged), and the chunk is written whole when its hour closes.
    struct OpenChunk {
        int64_t id = 0, hour = 0, t_min = 0, t_max = 0;
        codec::ChunkEncoder enc;
        bool dirty = false;
        int64_t next_day = INT64_MIN;  // closed by a save of a later day: that day's start
        codec::ChunkLogMark mark;
        int64_t first_log = 0;  // the commit (log sequence number) of its first entry
        bool logged = false;    // its row is the placeholder
    };
    std::map<std::pair<uint32_t, std::string>, OpenChunk> chunks_;
    // Hours closed since the last commit, in order: written, rolled up and closed by it.
    std::vector<std::pair<std::pair<uint32_t, std::string>, OpenChunk>> closed_;
    struct OpenCycles {
        int64_t id = 0, hour = 0, t_min = 0, t_max = 0;
        codec::CycleEncoder enc;
        bool dirty = false;
        codec::CycleLogMark mark;
        int64_t first_log = 0;
        bool logged = false;
    };
    // With a commit interval: the chunks whose hour is over are closed by the commit (a
    // device that went silent would otherwise keep its hour, and the log, open).
    void close_past_hours_locked(int64_t now);
    // The chunks being filled as the commit log left them, written whole (opening a file).
    void recover_log_locked();
    int64_t log_keep_locked() const;
    // The log's rows (slots): row id and the sequence number of the commit that wrote it,
    // oldest first.
    std::deque<std::pair<int64_t, int64_t>> log_slots_;
    int64_t next_log_seq_ = 1;
    // Logs the open chunks; inside write_held_locked()'s transaction.
    void log_open_locked(bool all);
    // Writes a cycle chunk's row whole: a new one (id 0) or its row again. Returns its id.
    int64_t write_cycles_locked(uint32_t system, const OpenCycles& c, bool open);
    std::vector<std::pair<uint32_t, OpenCycles>> closed_cycles_;
    // Images taken since the last commit (with retention_ 0 only the last of each device
    // and six hours).
    struct HeldImage {
        uint32_t data_id = 0;
        std::string device_type;
        int record_type = 0;
        int64_t time = 0;
        std::vector<uint8_t> image;
    };
    std::vector<HeldImage> images_;
    // Statements held for the next commit, in order (new series, alarm rows).
    std::vector<std::function<void()>> ops_;
    int64_t next_series_id_ = 1;
    int64_t commit_ms_ = 0;
    int64_t last_commit_ = INT64_MIN;  // of the store's clock; INT64_MIN: none yet
    int64_t last_attempt_ = INT64_MIN;
    int64_t last_images_ = INT64_MIN;  // the held images were last written
    // Devices whose image this run has written: a device's first image is written at once
    // (start-up and readers beside the writer need it), later ones every kImageEveryMs.
    std::set<std::pair<uint32_t, std::string>> images_written_;
    std::vector<size_t> images_now_;  // the held images the running commit writes
    bool prune_due_ = false, vacuum_due_ = false;
    WriteState state_;
    mutable std::mutex state_mu_;  // state_ is read beside a commit
    void set_state_locked(const WriteState& s);
    std::string path_;
    std::map<std::pair<uint32_t, std::string>, int64_t> joined_day_;  // per device: the last day joined
    OpenCycles cycles_;  // of cycles_system_; the other systems' open chunks wait in parked_cycles_
    uint32_t cycles_system_ = 0;
    std::map<uint32_t, OpenCycles> parked_cycles_;
    // Per device: the row id and time of its newest image.
    std::map<std::pair<uint32_t, std::string>, std::pair<int64_t, std::string>> newest_image_;
    int rollup_days_ = kDefaultRollupDays;
    void open_read_only(const std::string& path);
    // Opens (or makes) the file for writing. False, with `why`, when the file is damaged;
    // throws HostError for any other failure.
    bool open_write(const std::string& path, std::string& why);
    void lock_file(const std::string& path);
    void unlock_file();
    static std::string aside_name(const std::string& path);
    std::string notice_;
    bool has_table(const char* name);
    Mode mode_;
    int lock_fd_ = -1;  // the writer's lock on the file
};

// Milliseconds since 1970-01-01 UTC as "YYYY-MM-DDTHH:MM:SS.mmmZ".
std::string utc_text(int64_t ms);

}  // namespace zrt::host

#pragma once
// The history store: one SQLite table (write-ahead log) with a row per saved image, and a
// retention limit per device. A device's last image is what start-up hands back to it.
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace zrt::host {

struct HistoryRow {
    uint32_t data_id = 0;
    std::string device_type;
    int record_type = 0;
    std::string time;  // local time, "YYYY-MM-DD HH:MM:SS.mmm"
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
    // `path` ":memory:" keeps the history in memory. `retention` is the number of rows
    // kept per device (at least 1). Throws HostError (kExitHistory), also when another
    // writer holds the file.
    HistoryStore(const std::string& path, int retention, Mode mode = Mode::Write);
    ~HistoryStore();
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    // Stores an image and drops the device's rows beyond the retention limit. Throws
    // HostError (kExitHistory) when the write fails.
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

private:
    void exec(const char* sql);
    void open_read_only(const std::string& path);
    bool has_table(const char* name);
    std::mutex mu_;
    sqlite3* db_ = nullptr;
    int retention_;
    Mode mode_;
    int lock_fd_ = -1;  // the writer's lock on the file
};

}  // namespace zrt::host

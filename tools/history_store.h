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

class HistoryStore {
public:
    // `path` ":memory:" keeps the history in memory. `retention` is the number of rows
    // kept per device (at least 1). Throws HostError (kExitHistory).
    HistoryStore(const std::string& path, int retention);
    ~HistoryStore();
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    // Stores an image and drops the device's rows beyond the retention limit. Throws
    // HostError (kExitHistory) when the write fails.
    void save(uint32_t data_id, const std::string& device_type, int record_type, const std::vector<uint8_t>& image);
    // The device's newest image.
    std::optional<std::vector<uint8_t>> last(uint32_t data_id, const std::string& device_type);
    // The device's rows, oldest first.
    std::vector<HistoryRow> rows(uint32_t data_id, const std::string& device_type);

private:
    void exec(const char* sql);
    std::mutex mu_;
    sqlite3* db_ = nullptr;
    int retention_;
};

}  // namespace zrt::host

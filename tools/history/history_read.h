#pragma once
// Reading a history file without changing it: the export and the report open it
// read-only (a copy on read-only media too), list its value series and pick the ones asked
// for by device, key and time range.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace zrt::host {

// A history file opened read-only. Tries "mode=ro" first, then "immutable=1" for a file
// whose directory cannot hold the write-ahead log's shared-memory file (a read-only copy).
// Throws HostError (kExitHistory) naming the file.
class HistoryReader {
public:
    explicit HistoryReader(const std::string& path);
    ~HistoryReader();
    HistoryReader(const HistoryReader&) = delete;
    HistoryReader& operator=(const HistoryReader&) = delete;

    sqlite3* db() const { return db_; }
    const std::string& path() const { return path_; }
    bool immutable() const { return immutable_; }
    // Prepares a statement; throws HostError (kExitHistory) naming the file.
    sqlite3_stmt* prepare(const char* sql) const;
    // Whether the file has the decoded tables (files of older versions hold images only).
    bool has_table(const char* name) const;

private:
    std::string path_;
    sqlite3* db_ = nullptr;
    bool immutable_ = false;
};

// Times: milliseconds since 1970-01-01 UTC.
// "2026-12-08", "2026-12-08T14:05", "2026-12-08 14:05:30.250", each optionally with "Z" or
// an offset ("+08:00"); without either, UTC. Throws HostError (kExitUsage) naming `what`.
int64_t parse_utc_time(const std::string& text, const std::string& what);

struct Series {
    int64_t id = 0;
    uint32_t data_id = 0;
    std::string device_type;
    int record_type = 0;
    std::string key, label, unit, kind;
};

// Which series: devices are data ids or "rc" (the rectifier group); empty lists take all.
struct Selection {
    std::vector<std::string> devices;
    std::vector<std::string> keys;
    std::optional<int64_t> from, to;  // inclusive
};

// Checks the device texts; throws HostError (kExitUsage) naming the option.
void check_devices(const std::vector<std::string>& devices);

// The selected series, by data id, device type, record type and series id.
std::vector<Series> list_series(const HistoryReader& r, const Selection& sel);

// Prints a progress line on standard error when it is a terminal: "export: 42%".
class Progress {
public:
    explicit Progress(std::string what);
    ~Progress();
    void update(double fraction);  // 0 to 1; redraws at most a few times a second
    void done();

private:
    std::string what_;
    bool tty_ = false;
    bool shown_ = false;
    int64_t last_ = 0;
};

}  // namespace zrt::host

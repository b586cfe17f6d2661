#pragma once
// Where the uplink finds the values of an outage: the history file's value rows, and its
// own small table there ("uplink_ack") holding, per node, the time up to which the broker
// acknowledged everything, so that a restarted host sends what it still owes.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

struct sqlite3;

namespace zrt::uplink {

class AckStore {
public:
    // Opens the history file for the acknowledgement table. A file that cannot be opened
    // leaves the store closed (the caller says so); `error` tells why.
    AckStore(const std::string& path, std::string node_key);
    ~AckStore();
    AckStore(const AckStore&) = delete;
    AckStore& operator=(const AckStore&) = delete;

    bool open() const { return db_ != nullptr; }
    const std::string& error() const { return error_; }
    std::optional<int64_t> load();
    // Throws nothing: a failed write is returned as its message (empty: written).
    std::string save(int64_t acked_ms);

private:
    sqlite3* db_ = nullptr;
    std::string node_key_;
    std::string error_;
};

// One stored value of the history file: its device, key, time and value.
struct StoredValue {
    int64_t time_ms = 0;
    size_t metric = 0;  // the caller's index of the series' metric
    std::optional<double> value;
};

// The values of the history file's series in [from, to], per device, oldest first. `want`
// maps a device's (data id, device type, key) to the caller's metric index, or nullopt for
// a series the caller does not send. Throws HostError naming the file when it cannot be read.
class HistoryGap {
public:
    explicit HistoryGap(const std::string& path);
    ~HistoryGap();
    using Want = std::function<std::optional<size_t>(uint32_t data_id, const std::string& device_type,
                                                     const std::string& key)>;
    // Device by device: (data id, device type, its values in time order).
    void read(int64_t from, int64_t to, const Want& want,
              const std::function<void(uint32_t, const std::string&, std::vector<StoredValue>&)>& f);

private:
    struct Impl;
    Impl* impl_;
};

}  // namespace zrt::uplink

#include "tools/uplink/uplink_store.h"

#include <algorithm>
#include <map>

#include <sqlite3.h>

#include "tools/history/history_chunks.h"
#include "tools/history/history_read.h"

namespace zrt::uplink {

AckStore::AckStore(const std::string& path, std::string node_key) : node_key_(std::move(node_key)) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
        error_ = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        return;
    }
    // The history's writer shares the file: wait for its transactions rather than fail.
    sqlite3_busy_timeout(db_, 5000);
    char* err = nullptr;
    if (sqlite3_exec(db_,
                     "CREATE TABLE IF NOT EXISTS uplink_ack (node TEXT PRIMARY KEY, acked_ms INTEGER NOT NULL)",
                     nullptr, nullptr, &err) != SQLITE_OK) {
        error_ = err ? err : "cannot create the table uplink_ack";
        sqlite3_free(err);
        sqlite3_close(db_);
        db_ = nullptr;
    }
}

AckStore::~AckStore() {
    if (db_) sqlite3_close(db_);
}

std::optional<int64_t> AckStore::load() {
    if (!db_) return std::nullopt;
    sqlite3_stmt* s = nullptr;
    std::optional<int64_t> out;
    if (sqlite3_prepare_v2(db_, "SELECT acked_ms FROM uplink_ack WHERE node = ?", -1, &s, nullptr) == SQLITE_OK) {
        sqlite3_bind_text(s, 1, node_key_.c_str(), -1, SQLITE_TRANSIENT);
        if (sqlite3_step(s) == SQLITE_ROW) out = sqlite3_column_int64(s, 0);
    }
    sqlite3_finalize(s);
    return out;
}

std::string AckStore::save(int64_t acked_ms) {
    if (!db_) return error_;
    sqlite3_stmt* s = nullptr;
    std::string why;
    if (sqlite3_prepare_v2(db_, "INSERT OR REPLACE INTO uplink_ack (node, acked_ms) VALUES (?, ?)", -1, &s,
                           nullptr) != SQLITE_OK) {
        why = sqlite3_errmsg(db_);
    } else {
        sqlite3_bind_text(s, 1, node_key_.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(s, 2, acked_ms);
        if (sqlite3_step(s) != SQLITE_DONE) why = sqlite3_errmsg(db_);
    }
    sqlite3_finalize(s);
    return why;
}

struct HistoryGap::Impl {
    explicit Impl(const std::string& path) : reader(path) {}
    zrt::host::HistoryReader reader;
};

HistoryGap::HistoryGap(const std::string& path) : impl_(new Impl(path)) {}
HistoryGap::~HistoryGap() { delete impl_; }

void HistoryGap::read(int64_t from, int64_t to, const Want& want,
                      const std::function<void(uint32_t, const std::string&, std::vector<StoredValue>&)>& f) {
    // Series are listed again each time: a device that appeared since has new ones.
    const std::vector<zrt::host::Series> all = zrt::host::list_series(impl_->reader, zrt::host::Selection{});
    std::map<std::pair<uint32_t, std::string>, std::map<int64_t, size_t>> by_device;
    for (const zrt::host::Series& s : all)
        if (const auto m = want(s.data_id, s.device_type, s.key)) by_device[{s.data_id, s.device_type}][s.id] = *m;
    for (auto& [device, series] : by_device) {
        std::vector<int64_t> ids;
        for (const auto& [id, metric] : series) ids.push_back(id);
        std::vector<StoredValue> values;
        zrt::host::for_each_device_value(
            impl_->reader.db(), impl_->reader.path(), device.first, device.second, ids, from, to,
            [&](int64_t id, int64_t t, const std::optional<double>& v) {
                const auto it = series.find(id);
                if (it != series.end()) values.push_back({t, it->second, v});
            });
        std::stable_sort(values.begin(), values.end(),
                         [](const StoredValue& a, const StoredValue& b) { return a.time_ms < b.time_ms; });
        if (!values.empty()) f(device.first, device.second, values);
    }
}

}  // namespace zrt::uplink

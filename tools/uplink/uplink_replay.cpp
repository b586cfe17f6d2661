// The values of an outage: kept in memory without a history file, read back from the
// history file with one, and sent after the births as historical DDATA, a slice at a time.
#include <algorithm>
#include <map>

#include "tools/uplink/uplink_impl.h"

namespace zrt::uplink {

namespace {

constexpr size_t kReplayMetricsPerMessage = 400;

}  // namespace

// Without a history file: the values that moved, kept for a replay.
void UplinkSink::Impl::keep(size_t di, int64_t t) {
    if (acks) return;
    Device& d = devices[di];
    for (size_t i = 0; i < d.metrics.size(); ++i) {
        const std::optional<double>& now = d.current[i];
        const std::optional<double>& was = d.recorded[i];
        if (!moved(d.metrics[i], now, was)) continue;
        d.recorded[i] = now;
        kept.push_back({t, di, i, now});
        if (kept.size() > opt.memory_values) {
            if (!kept_overflow_said) {
                diag(1, "uplink: the memory queue holds " + std::to_string(opt.memory_values) +
                            " values; older values of the outage are dropped");
                kept_overflow_said = true;
            }
            kept.pop_front();
        }
    }
}

// One slice of the gap, when the last one was acknowledged.
void UplinkSink::Impl::replay_step() {
    int64_t from, to;
    {
        std::lock_guard<std::mutex> lock(mu);
        if (!live || !replaying || !replay_mids.empty()) return;
        if (replay_sent_to > 0) {
            // The slice before is acknowledged: it is the broker's now.
            acked = replay_sent_to;
            replay_from = replay_sent_to;
            replay_sent_to = 0;
            persist_locked(true);
        }
        if (replay_from >= replay_to) {
            replaying = false;
            diag(2, "uplink: the missed values are sent");
            acked = std::max(acked, replay_to);
            return;
        }
        from = replay_from + 1;
        to = std::min(replay_to, replay_from + opt.replay_slice_ms);
    }
    if (acks && opt.flush_history && flushed_to < to) {
        opt.flush_history();
        std::lock_guard<std::mutex> lock(mu);
        flushed_to = replay_to;
    }
    std::vector<std::pair<size_t, std::vector<StoredValue>>> slices;
    if (acks) {
        try {
            if (!gap) gap = std::make_unique<HistoryGap>(opt.history);
            auto want = [this](uint32_t id, const std::string& type, const std::string& key) -> std::optional<size_t> {
                std::lock_guard<std::mutex> lock(mu);
                const auto it = device_at.find({id, type});
                if (it == device_at.end()) return std::nullopt;
                const Device& d = devices[it->second];
                const auto m = d.by_name.find(key);
                if (m == d.by_name.end()) return std::nullopt;
                return m->second;
            };
            gap->read(from, to, want, [&](uint32_t id, const std::string& type, std::vector<StoredValue>& v) {
                std::lock_guard<std::mutex> lock(mu);
                slices.emplace_back(device_at[{id, type}], std::move(v));
            });
        } catch (const std::exception& e) {
            diag(0, std::string("uplink: the missed values cannot be read: ") + e.what());
            std::lock_guard<std::mutex> lock(mu);
            replaying = false;
            return;
        }
    } else {
        std::lock_guard<std::mutex> lock(mu);
        std::map<size_t, std::vector<StoredValue>> by_device;
        for (const Kept& k : kept)
            if (k.time_ms >= from && k.time_ms <= to) by_device[k.device].push_back({k.time_ms, k.metric, k.value});
        for (auto& [di, v] : by_device) slices.emplace_back(di, std::move(v));
    }
    std::lock_guard<std::mutex> lock(mu);
    if (!live) return;
    for (auto& [di, values] : slices) {
        Device& d = devices[di];
        if (!d.born) continue;
        for (size_t start_at = 0; start_at < values.size(); start_at += kReplayMetricsPerMessage) {
            Payload p;
            p.timestamp = static_cast<uint64_t>(now_ms());
            const size_t end = std::min(values.size(), start_at + kReplayMetricsPerMessage);
            for (size_t k = start_at; k < end; ++k) {
                const StoredValue& v = values[k];
                if (v.metric >= d.metrics.size()) continue;
                Metric x;
                x.alias = d.metrics[v.metric].alias;
                x.timestamp = static_cast<uint64_t>(v.time_ms);
                x.historical = true;
                x.datatype = d.metrics[v.metric].type;
                x.value = v.value;
                p.metrics.push_back(std::move(x));
            }
            const int mid = publish(device_topic("DDATA", d), p, true);
            if (mid >= 0) replay_mids.insert(mid);
        }
    }
    replay_sent_to = to;
}

// Writes the acknowledged time to the history file: after each replayed slice, else at
// most once a minute (the file lives on flash).
void UplinkSink::Impl::persist_locked(bool now) {
    if (!acks || !ack_known || acked == persisted) return;
    const Steady::time_point t = Steady::now();
    if (!now && t - last_persist < std::chrono::seconds(60)) return;
    const std::string err = acks->save(acked);
    last_persist = t;
    if (err.empty()) {
        persisted = acked;
    } else if (err != persist_error) {
        diag(0, "uplink: cannot keep the acknowledged time in " + opt.history + ": " + err);
        persist_error = err;
    }
}

}  // namespace zrt::uplink

#pragma once
// Every output of the host is a sink, built by one row of one table: its name, when it is
// built, and a factory that builds it from the checked settings and the options, or builds
// nothing when it is not asked for. Adding an output is its own file and one row here.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tools/app/host_app.h"
#include "tools/core/events.h"
#include "tools/uplink/uplink_settings.h"

namespace zrt::host {

class HistoryStore;
class HistorySink;
class MetricsState;
class QuerySink;
struct StoredAlarm;

// What the factories read, and where a row leaves what the application or a later row
// needs of its sink.
struct SinkContext {
    SinkContext(const HostOptions& o, const HostSettings& h) : opt(o), hs(h) {}
    const HostOptions& opt;
    const HostSettings& hs;
    int out_fd = 1;      // the events' output
    int log_level = 2;   // 3: the frames go to the diagnostics
    std::function<void(int level, const std::string& text)> diag;
    HistoryStore* store = nullptr;
    // Each system's top device, its rectifier child's data id and type.
    struct System {
        std::shared_ptr<TXQSPDevice> dev;
        uint32_t rc_id = 0;
        std::string rc_type;
    };
    std::vector<System> systems;
    std::function<uint64_t(uint32_t)> cycle_of;  // the cycle under way in a data id's system
    const std::vector<StoredAlarm>* restored = nullptr;
    uplink::UplinkChoice uplink;

    // Filled by the rows as they build.
    HistorySink* history = nullptr;
    QuerySink* queries = nullptr;
    MetricsState* metrics = nullptr;
};

// A sink as a row built it; `finish` runs at the end of the run, after the stop event,
// in the order of the table (a server that reads the sink stops first); with
// `drop_at_end` the sink itself goes then (its session closes).
struct BuiltSink {
    BuiltSink() = default;
    BuiltSink(std::unique_ptr<Sink> s, std::function<void()> f = {}, bool drop = false)
        : sink(std::move(s)), finish(std::move(f)), drop_at_end(drop) {}
    std::unique_ptr<Sink> sink;
    std::function<void()> finish;
    bool drop_at_end = false;
};

struct SinkRow {
    enum class When {
        Start,       // before the devices are configured: every run
        Configured,  // once the devices are configured: every run
        Polling,     // before the line opens: only a run that polls
    };
    const char* name;
    When when;
    BuiltSink (*make)(SinkContext&);
};

// In the order of registration: the history first (a saved image is in the store before it
// is shown), then the view, the queries, the metrics, SNMP, the uplink and the wire record.
const std::vector<SinkRow>& sink_table();

}  // namespace zrt::host

#pragma once
// The uplink: the site's values pushed to an MQTT broker as a Sparkplug B edge node. One
// node per host (group and node id from the settings), one Sparkplug device per child
// device ("zrt4600a-dc-21"), data by exception with the dead bands of the history, and
// the values of an outage sent afterwards as historical data, read from the history file
// (or, without one, from a bounded queue in memory).
//
// The sink never blocks the line: events update the devices' values under a lock and
// publish without waiting; a thread of its own connects, retries with back-off, answers
// the broker and sends the births and the replay.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "tools/core/events.h"
#include "tools/uplink/uplink_settings.h"

namespace zrt::uplink {

struct UplinkOptions {
    UplinkSettings settings;
    std::string node;     // the edge node id (resolved from the settings' default)
    std::string history;  // the history file; empty: the values of an outage wait in memory
    // Writes what the history store still holds in memory (it commits on a schedule), so that
    // a replay read from the file finds the whole gap.
    std::function<void()> flush_history;
    // Without a history file, this many changed values wait in memory for the replay (the
    // oldest go first); about an hour of a busy site.
    size_t memory_values = 200'000;
    // The replay sends the gap in slices of this much time, one slice in flight at a time.
    int64_t replay_slice_ms = 600'000;
    // MQTT 5 first (topic aliases), else 3.1.1; false: 3.1.1 only (the benchmark compares).
    bool mqtt5 = true;
};

// What the metrics and the live page show of the uplink.
struct UplinkStatus {
    bool connected = false;      // births sent, data flowing
    uint64_t sent_bytes = 0;     // MQTT PUBLISH packets written (headers, topics, payloads)
    uint64_t messages = 0;       // PUBLISH packets written
    std::string broker;          // the URL
    std::string state;           // "connected", "connecting", "waiting for the primary host", "retrying: <why>"
    bool mqtt5 = false;          // the session speaks MQTT 5 (topic aliases)
    std::string since;           // when the state began (UTC, ISO 8601)
    int64_t replay_pending_ms = 0;  // of the gap still to send
};

class UplinkSink : public zrt::host::Sink {
public:
    using Diag = std::function<void(int level, const std::string& text)>;
    UplinkSink(UplinkOptions o, Diag diag);
    ~UplinkSink() override;

    void start(const zrt::host::StartInfo& s) override;
    void image(const zrt::host::ImageEvent& e) override;
    void alarm(const devhost::AlarmEvent& e) override;
    void restored(const devhost::AlarmEvent& e, const std::string& since) override;
    void line(const zrt::host::LineStatus& l) override;
    // Publishes the NDEATH and disconnects.
    void stop(uint64_t cycles, const std::string& reason) override;

    UplinkStatus status() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace zrt::uplink

#pragma once
// Metrics and status of a running host: the OpenMetrics (or Prometheus text) exposition and
// the status JSON of what the host last saw. The HTTP server that serves them is in
// http_server.h.
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include <json/value.h>

#include "tools/core/events.h"

namespace zrt::host {

// Writes one exposition: metric families, each with its HELP and TYPE lines and then its
// samples. OpenMetrics (application/openmetrics-text) names a counter family without
// "_total" and ends with "# EOF"; the older Prometheus text format (text/plain 0.0.4), which
// promtool and clients that do not ask for OpenMetrics read, names it with "_total" and has
// no end line.
class Exposition {
public:
    using Labels = std::vector<std::pair<std::string, std::string>>;
    enum class Format { OpenMetrics, PrometheusText };

    explicit Exposition(Format f = Format::OpenMetrics) : format_(f) {}
    static const char* content_type(Format f);

    // `type`: "gauge", "counter", "info", "unknown". A counter's name has no "_total";
    // its samples are written with it. `unit` ("volts", "seconds"), when given, must end the
    // name; OpenMetrics states it in a UNIT line. Throws std::invalid_argument for a bad
    // name.
    void family(const std::string& name, const std::string& type, const std::string& help,
                const std::string& unit = "");
    // A sample of the current family.
    void sample(const Labels& labels, double value);
    // The text ("# EOF\n" included for OpenMetrics); the writer is empty again afterwards.
    std::string finish();

    // Label value with backslash, double quote and line feed escaped.
    static std::string escape_label(std::string_view value);
    // Shortest text that reads back as the same number; a value that is exactly a float is
    // written as that float's shortest text (53.5, 220.8); "NaN", "+Inf", "-Inf".
    static std::string number(double v);

private:
    Format format_;
    std::string out_;
    std::string sample_name_;
};

// An active alarm as the metrics and the status show it. Its identity is the device, the
// key and the instance text: the rule's sequence within a cycle is not part of it.
struct MetricAlarm {
    uint32_t data_id = 0;
    std::string device_type, key, name, signal_id;
    uint32_t seq = 0, level = 0;
    std::string instance;
};

// What the host last saw, fed as a sink from the host's threads. Every update only copies
// under a mutex; render() and status_json() copy the state and do their work outside the
// lock, on the thread of whoever asks (the HTTP server's), so a scrape never holds up the
// polling.
class MetricsState : public Sink {
public:
    // `site`: the site label; `system`: the data id of the power system (of the first, when
    // the start names several).
    explicit MetricsState(std::string site, uint32_t system = 0);

    // Sink: the systems on the line, publications, alarm transitions, cycles, the line,
    // time-outs and bad frames. Each system has its own line, cycle and error counters,
    // labelled with its top device's data id ("system"); a device's values and alarms carry
    // the label of the system that holds the device.
    void start(const StartInfo& s) override;
    void image(const ImageEvent& e) override;
    void alarm(const devhost::AlarmEvent& e) override;
    void cycle_ended(const CycleStats& c) override;
    void line(const LineStatus& l) override { set_line_up(l.up, l.system.data_id); }
    // The history file's writing: its failed writes and whether it is failing now.
    void history_writes(const HistoryWrites& w) override;

    // A device's image as published, with its values decoded; its metric samples are worked
    // out here, once, so that a scrape only writes them.
    void publish(uint32_t data_id, const std::string& device_type, int record_type, const DecodedImage& image);
    void alarm(const MetricAlarm& a, bool raised);
    void cycle(const CycleStats& c);
    // A change from up to down counts one line loss, and so does a first report of a lost
    // line (a system that never answered). `system`: 0 for the first.
    void set_line_up(bool up, uint32_t system = 0);
    // Counted when they happen, so that the counters move during an outage too; the cycle
    // that follows adds only what was not counted yet.
    void timeout(const SystemRef& system) override;
    void bad_frames(const SystemRef& system, uint64_t n) override;
    // Every reply by its return code, for the system at the reply's address.
    void reply_received(const ReplyReceived& r) override;
    void stale_frame(const SystemRef& system) override { count_stale_frame(system.data_id); }
    // An alarm an earlier run left raised is active again.
    void restored(const devhost::AlarmEvent& e, const std::string& since) override;
    // The model the system reported, when it is not the driver's.
    void contradicted(const ConfigIssue& c) override;
    // `system`: the top data id, 0 for the first.
    void count_stale_frame(uint32_t system = 0);
    void count_rtn(unsigned code, uint32_t system = 0);
    void set_model(const std::string& model, uint32_t system = 0);

    // The exposition of the current state.
    std::string render(Exposition::Format f = Exposition::Format::OpenMetrics) const;
    // The status as one JSON object: the system, its line, each device's values with units
    // and ages, the active alarms and the recent DC bus voltage.
    std::string status_json() const;
    Json::Value status() const;  // the same, as a document
    // Goes up by one with every change of the state.
    uint64_t version() const;

    // An uplink's figures, read at each rendering (the uplink keeps them itself).
    struct UplinkFigures {
        bool connected = false;
        uint64_t sent_bytes = 0;
        std::string broker, state;
        std::string since;              // when the state began
        int64_t replay_pending_ms = 0;  // of an outage still to send
    };
    void set_uplink(std::function<UplinkFigures()> f) { uplink_ = std::move(f); }
    // A connection the HTTP server refused or dropped, by reason ("full", "evicted",
    // "idle_timeout", "header_timeout", "tls_handshake", "unauthorized"); counted in
    // zrt4600a_http_rejected_total. Changes no version: no event is sent for it.
    void count_http_rejected(const std::string& reason) const;

private:
    std::function<UplinkFigures()> uplink_;
    using Clock = std::chrono::steady_clock;
    // One sample of a device value: its family (into value_families()), the labels of the
    // value's place in its record (the device's own labels come first at rendering), the value.
    struct ValueSampleAt {
        size_t family = 0;
        Exposition::Labels labels;
        double value = 0;
    };
    struct Image {
        int record_type = 0;
        DecodedImage decoded;
        std::vector<ValueSampleAt> samples;
        Clock::time_point at;
    };
    using DeviceKey = std::pair<uint32_t, std::string>;
    using AlarmKey = std::tuple<uint32_t, std::string, std::string, std::string>;  // id, type, key, instance
    struct Raised {
        MetricAlarm alarm;
        std::chrono::system_clock::time_point since;
    };
    // What one system's line and cycles did.
    struct SystemState {
        uint32_t id = 0;  // the top device's data id
        std::string name;
        int address = 1;
        uint64_t cycles = 0, timeouts = 0, bad_frames = 0, line_lost = 0, tx_bytes = 0, rx_bytes = 0;
        double last_cycle_s = 0.0;
        std::chrono::system_clock::time_point last_cycle_end;
        bool have_cycle = false;
        bool line_up = false;
        bool line_known = false;  // the line was reported up or lost at least once
        uint64_t pending_timeouts = 0, pending_bad_frames = 0;  // counted since the last cycle
        uint64_t errors = 0;
        uint64_t stale_frames = 0;        // good frames of its address when it awaited no reply
        std::map<unsigned, uint64_t> rtn;  // its replies by return code
        std::string model;
    };
    struct Snapshot {
        std::vector<std::pair<DeviceKey, Image>> images;  // in order of first publication
        std::map<AlarmKey, Raised> alarms;
        std::vector<SystemState> systems;  // never empty; the first when an event names none
        std::map<uint32_t, uint32_t> owner;  // a device's data id -> its system's
        // DC bus voltage of each DC screen over the last minutes: (unix seconds, volts).
        std::map<uint32_t, std::vector<std::pair<double, double>>> dc_trend;
        uint64_t version = 0;
        std::optional<HistoryWrites> history;  // none until the host says (no history sink)
    };
    Snapshot copy() const;
    // The state of the system with this top data id (the first for 0 or an unknown one),
    // and the system that holds a device; under mu_.
    SystemState& system_state(uint32_t id);
    static uint32_t owner_of(const Snapshot& s, uint32_t data_id);

    const std::string site_;
    mutable std::mutex mu_;
    Snapshot s_;
    mutable std::map<std::string, uint64_t> http_rejected_;  // by reason, under mu_
};

// "ADDR:PORT", "[IPv6]:PORT" or "PORT" (127.0.0.1); "localhost" stands for 127.0.0.1.
// Port 0 takes any free port. Throws std::invalid_argument naming what is wrong.
struct ListenAddress {
    std::string address;
    uint16_t port = 0;
};
ListenAddress parse_listen_address(const std::string& text);

}  // namespace zrt::host

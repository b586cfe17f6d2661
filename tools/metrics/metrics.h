#pragma once
// Metrics of a running host in the OpenMetrics text format, served over HTTP (GET /metrics).
//
// The host hands each event to a MetricsState, which only copies it under a mutex; the
// MetricsServer runs its own io_context on its own thread and, for each scrape, copies the
// state and decodes and writes it there, so a scrape (or a stuck client) never blocks or
// slows the polling of the line.
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

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
    // its samples are written with it. Throws std::invalid_argument for a bad name.
    void family(const std::string& name, const std::string& type, const std::string& help);
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

// An active alarm as the metrics show it.
struct MetricAlarm {
    uint32_t data_id = 0;
    std::string device_type, key, name, signal_id;
    uint32_t seq = 0, level = 0;
};

// What the host last saw, fed as a sink from the host's threads; render() is called by the
// server.
class MetricsState : public Sink {
public:
    explicit MetricsState(std::string site);

    // Sink: publications, alarm transitions, cycles, the line, time-outs and bad frames.
    void image(const ImageEvent& e) override;
    void alarm(const devhost::AlarmEvent& e) override;
    void cycle_ended(const CycleStats& c) override;
    void line(const LineStatus& l) override { set_line_up(l.up); }

    void publish(uint32_t data_id, const std::string& device_type, int record_type, const std::vector<uint8_t>& image);
    void alarm(const MetricAlarm& a, bool raised);
    void cycle(const CycleStats& c);
    void set_line_up(bool up);
    // Counted when they happen, so that the counters move during an outage too; the cycle
    // that follows adds only what was not counted yet.
    void timeout() override;
    void bad_frames(uint64_t n) override;

    // The exposition of the current state.
    std::string render(Exposition::Format f = Exposition::Format::OpenMetrics) const;

private:
    using Clock = std::chrono::steady_clock;
    struct Image {
        int record_type = 0;
        std::vector<uint8_t> bytes;
        Clock::time_point at;
    };
    using DeviceKey = std::pair<uint32_t, std::string>;
    using AlarmKey = std::tuple<uint32_t, std::string, std::string, uint32_t>;  // id, type, key, seq
    struct Snapshot {
        std::vector<std::pair<DeviceKey, Image>> images;  // in order of first publication
        std::map<AlarmKey, MetricAlarm> alarms;
        uint64_t cycles = 0, errors = 0, timeouts = 0, bad_frames = 0, tx_bytes = 0, rx_bytes = 0;
        double last_cycle_s = 0.0;
        bool have_cycle = false;
        bool line_up = false;
        uint64_t pending_timeouts = 0, pending_bad_frames = 0;  // counted since the last cycle
    };

    const std::string site_;
    mutable std::mutex mu_;
    Snapshot s_;
};

// "ADDR:PORT", "[IPv6]:PORT" or "PORT" (127.0.0.1); "localhost" stands for 127.0.0.1.
// Port 0 takes any free port. Throws std::invalid_argument naming what is wrong.
struct ListenAddress {
    std::string address;
    uint16_t port = 0;
};
ListenAddress parse_listen_address(const std::string& text);

// HTTP/1.1 server of GET /metrics (and HEAD) on a thread of its own: OpenMetrics to a client
// whose Accept header names application/openmetrics-text (Prometheus does), the Prometheus
// text format to others (curl, promtool). One request per connection; a client that sends no full request within a few seconds is dropped, and at
// most a few dozen connections are served at once.
class MetricsServer {
public:
    // Listens at once; throws std::runtime_error when it cannot.
    MetricsServer(const ListenAddress& where, std::function<std::string(Exposition::Format)> render);
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    uint16_t port() const;
    std::string url() const;  // "http://127.0.0.1:9100/metrics"

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace zrt::host

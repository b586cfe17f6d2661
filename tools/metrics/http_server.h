#pragma once
// The host's HTTP server, on a thread of its own:
//   GET /metrics         the exposition: OpenMetrics to a client whose Accept header names
//                        application/openmetrics-text (Prometheus does), the Prometheus text
//                        format to others (curl, promtool)
//   GET /healthz         "ok" while the server runs, with the line state
//   GET /api/v1/status   the status JSON (MetricsState::status_json)
//   GET /events          server-sent events: the status JSON on connecting and then on each
//                        change, at most once per event interval
//   GET /                the live page
// HEAD is answered for each of them but /events. One request per connection. Requests are
// read and answered by Boost.Beast; the server only counts connections and keeps time.
// A request head longer than the limit gets 431, a request with a body 413, a client that
// sends no full head in time is dropped, and connections beyond the limit are closed at
// once; an event stream whose client stops reading is dropped.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "tools/metrics/metrics.h"

namespace zrt::host {

struct HttpLimits {
    size_t max_head = 8192;        // bytes of request line and headers
    int max_connections = 32;      // served at once, event streams included
    int max_streams = 8;           // event streams at once
    std::chrono::milliseconds request_timeout{5000};  // to send a complete request head
    std::chrono::milliseconds event_interval{1000};   // least time between two events of a stream
    std::chrono::milliseconds write_timeout{10000};   // for a client to take one answer or event
};

class MetricsServer {
public:
    // Listens at once; throws std::runtime_error naming the address when it cannot. The
    // state must outlive the server.
    MetricsServer(const ListenAddress& where, const MetricsState& state, HttpLimits limits = {});
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    uint16_t port() const;
    std::string url() const;       // "http://127.0.0.1:9100/metrics"
    std::string base_url() const;  // "http://127.0.0.1:9100/"

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace zrt::host

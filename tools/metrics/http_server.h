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
// read and answered by Boost.Beast (over OpenSSL when the web configuration names a
// certificate); the server only counts connections and keeps time.
// A request head longer than the limit gets 431, a request with a body 413. A client must
// send its first byte within the idle time-out and its whole head (TLS handshake included)
// within the request time-out, else it is dropped. A connection that has sent nothing only
// waits (max_idle of them; the oldest goes when another comes); its first byte takes a slot
// (max_connections), if need be from the oldest connection still sending its head; when
// every slot is answering, it gets 503 at once. So clients that hold connections without a
// request never starve a client that sends its request at once. With users in the web
// configuration every path asks for a password (401, WWW-Authenticate: Basic). Each refusal
// is counted by reason (zrt4600a_http_rejected_total). An event stream whose client stops
// reading is dropped; after the first status it sends only the changes (status_changes.h),
// gzipped for a client that takes it.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "tools/metrics/metrics.h"
#include "tools/metrics/web_config.h"

namespace zrt::host {

struct HttpLimits {
    size_t max_head = 8192;        // bytes of request line and headers
    int max_connections = 64;      // sending a request or being answered, event streams included
    int max_idle = 256;            // connected without having sent anything yet
    int max_streams = 8;           // event streams at once
    std::chrono::milliseconds idle_timeout{2000};     // to send the first byte
    std::chrono::milliseconds request_timeout{5000};  // to send a complete request head
    std::chrono::milliseconds event_interval{1000};   // least time between two events of a stream
    std::chrono::milliseconds write_timeout{10000};   // for a client to take one answer or event
};

class MetricsServer {
public:
    // Listens at once; throws std::runtime_error naming the address when it cannot. The
    // state must outlive the server.
    MetricsServer(const ListenAddress& where, const MetricsState& state, HttpLimits limits = {}, WebConfig web = {});
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    uint16_t port() const;
    std::string url() const;       // "http://127.0.0.1:9100/metrics" ("https://..." with TLS)
    std::string base_url() const;  // "http://127.0.0.1:9100/"

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace zrt::host

#include "tools/metrics/metrics.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <stdexcept>

#include <asio/ip/tcp.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/read_until.hpp>
#include <asio/steady_timer.hpp>
#include <asio/streambuf.hpp>
#include <asio/write.hpp>
#include <fmt/format.h>

#include "tools/core/image_decode.h"
#include "zrt_version.h"

namespace zrt::host {

namespace {

bool valid_name(std::string_view n, bool colon_ok) {
    if (n.empty()) return false;
    for (size_t i = 0; i < n.size(); ++i) {
        const char c = n[i];
        const bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || (colon_ok && c == ':');
        if (!alpha && !(i > 0 && c >= '0' && c <= '9')) return false;
    }
    return true;
}

// HELP text: backslash and line feed escaped, and the double quote in OpenMetrics.
std::string escape_help(std::string_view s, bool quote) {
    std::string out;
    for (char c : s) {
        if (c == '\\') out += "\\\\";
        else if (c == '"' && quote) out += "\\\"";
        else if (c == '\n') out += "\\n";
        else out += c;
    }
    return out;
}

}  // namespace

void Exposition::family(const std::string& name, const std::string& type, const std::string& help) {
    if (!valid_name(name, true)) throw std::invalid_argument("metric name \"" + name + "\" is not valid");
    if (type != "gauge" && type != "counter" && type != "info" && type != "unknown")
        throw std::invalid_argument("metric type \"" + type + "\" is not one this writer knows");
    if (type == "counter" && name.size() >= 6 && name.compare(name.size() - 6, 6, "_total") == 0)
        throw std::invalid_argument("counter family \"" + name + "\" is named without _total");
    sample_name_ = name + (type == "counter" ? "_total" : type == "info" ? "_info" : "");
    const bool om = format_ == Format::OpenMetrics;
    // The older format knows no info type: an info family is a gauge of value 1 there.
    const std::string& shown = om ? name : sample_name_;
    const std::string shown_type = om || type != "info" ? type : "gauge";
    out_ += "# HELP " + shown + " " + escape_help(help, om) + "\n";
    out_ += "# TYPE " + shown + " " + (om || type != "unknown" ? shown_type : std::string("untyped")) + "\n";
}

const char* Exposition::content_type(Format f) {
    return f == Format::OpenMetrics ? "application/openmetrics-text; version=1.0.0; charset=utf-8"
                                    : "text/plain; version=0.0.4; charset=utf-8";
}

void Exposition::sample(const Labels& labels, double value) {
    if (sample_name_.empty()) throw std::logic_error("a sample needs its metric family first");
    out_ += sample_name_;
    if (!labels.empty()) {
        out_ += '{';
        for (size_t i = 0; i < labels.size(); ++i) {
            if (!valid_name(labels[i].first, false) || labels[i].first.rfind("__", 0) == 0)
                throw std::invalid_argument("label name \"" + labels[i].first + "\" is not valid");
            if (i) out_ += ',';
            out_ += labels[i].first + "=\"" + escape_label(labels[i].second) + "\"";
        }
        out_ += '}';
    }
    out_ += ' ';
    out_ += number(value);
    out_ += '\n';
}

std::string Exposition::finish() {
    if (format_ == Format::OpenMetrics) out_ += "# EOF\n";
    std::string done;
    done.swap(out_);
    sample_name_.clear();
    return done;
}

std::string Exposition::escape_label(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        if (c == '\\') out += "\\\\";
        else if (c == '"') out += "\\\"";
        else if (c == '\n') out += "\\n";
        else out += c;
    }
    return out;
}

std::string Exposition::number(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
    const float f = static_cast<float>(v);
    if (std::isfinite(f) && static_cast<double>(f) == v) return fmt::format("{}", f);
    return fmt::format("{}", v);
}

// ---------------------------------------------------------------------------------------

MetricsState::MetricsState(std::string site) : site_(std::move(site)) {}

void MetricsState::publish(uint32_t data_id, const std::string& device_type, int record_type,
                           const std::vector<uint8_t>& image) {
    std::lock_guard<std::mutex> lock(mu_);
    const DeviceKey k{data_id, device_type};
    for (auto& [key, img] : s_.images)
        if (key == k) {
            img.record_type = record_type;
            img.bytes.assign(image.begin(), image.end());
            img.at = Clock::now();
            return;
        }
    s_.images.push_back({k, Image{record_type, image, Clock::now()}});
}

void MetricsState::alarm(const MetricAlarm& a, bool raised) {
    std::lock_guard<std::mutex> lock(mu_);
    const AlarmKey k{a.data_id, a.device_type, a.key, a.seq};
    if (raised)
        s_.alarms[k] = a;
    else
        s_.alarms.erase(k);
}

void MetricsState::cycle(const CycleStats& c) {
    std::lock_guard<std::mutex> lock(mu_);
    s_.cycles = c.n;
    s_.timeouts += c.timeouts - std::min(c.timeouts, s_.pending_timeouts);
    s_.bad_frames += c.bad_frames - std::min(c.bad_frames, s_.pending_bad_frames);
    s_.pending_timeouts = s_.pending_bad_frames = 0;
    s_.errors = std::max(c.total_errors, s_.timeouts + s_.bad_frames);
    s_.tx_bytes += c.tx_bytes;
    s_.rx_bytes += c.rx_bytes;
    s_.last_cycle_s = c.duration_ms / 1000.0;
    s_.have_cycle = true;
}

void MetricsState::image(const ImageEvent& e) {
    if (!e.saved) publish(e.raw.data_id, e.raw.device_type, e.raw.record_type, e.raw.image);
}

void MetricsState::alarm(const devhost::AlarmEvent& e) {
    alarm({e.data_id, e.device_type, e.rule.key, e.rule.name, e.rule.signal_id, e.rule.sequence, e.rule.level},
          e.raised);
}

void MetricsState::cycle_ended(const CycleStats& c) {
    cycle(c);
    set_line_up(true);  // a complete cycle: the line delivers
}

void MetricsState::timeout() {
    std::lock_guard<std::mutex> lock(mu_);
    ++s_.timeouts;
    ++s_.pending_timeouts;
    s_.errors = std::max(s_.errors, s_.timeouts + s_.bad_frames);
}

void MetricsState::bad_frames(uint64_t n) {
    std::lock_guard<std::mutex> lock(mu_);
    s_.bad_frames += n;
    s_.pending_bad_frames += n;
    s_.errors = std::max(s_.errors, s_.timeouts + s_.bad_frames);
}

void MetricsState::set_line_up(bool up) {
    std::lock_guard<std::mutex> lock(mu_);
    s_.line_up = up;
}

std::string MetricsState::render(Exposition::Format format) const {
    Snapshot s;
    {
        std::lock_guard<std::mutex> lock(mu_);
        s = s_;
    }
    const auto now = Clock::now();
    Exposition x(format);
    using L = Exposition::Labels;

    x.family("zrt4600a_build", "info", "Version and git revision of the host");
    x.sample({{"version", ZRT_VERSION}, {"revision", ZRT_GIT_REVISION}}, 1);

    x.family("zrt4600a_line_up", "gauge", "1 while the serial line delivers complete cycles, else 0");
    x.sample({{"site", site_}}, s.line_up ? 1 : 0);
    x.family("zrt4600a_cycles", "counter", "Complete polling cycles since start");
    x.sample({{"site", site_}}, static_cast<double>(s.cycles));
    x.family("zrt4600a_errors", "counter", "Bad frames and time-outs since start");
    x.sample({{"site", site_}}, static_cast<double>(s.errors));
    x.family("zrt4600a_timeouts", "counter", "Replies that never came, since start");
    x.sample({{"site", site_}}, static_cast<double>(s.timeouts));
    x.family("zrt4600a_bad_frames", "counter", "Replies dropped by the frame decoder, since start");
    x.sample({{"site", site_}}, static_cast<double>(s.bad_frames));
    x.family("zrt4600a_tx_bytes", "counter", "Bytes written to the line, counted at the end of each cycle");
    x.sample({{"site", site_}}, static_cast<double>(s.tx_bytes));
    x.family("zrt4600a_rx_bytes", "counter", "Bytes received from the line, counted at the end of each cycle");
    x.sample({{"site", site_}}, static_cast<double>(s.rx_bytes));
    x.family("zrt4600a_cycle_duration_seconds", "gauge",
             "Duration of the last complete cycle, from its first command to its last publication");
    if (s.have_cycle) x.sample({{"site", site_}}, s.last_cycle_s);

    x.family("zrt4600a_image_age_seconds", "gauge", "Seconds since the device last published its image");
    for (const auto& [k, img] : s.images)
        x.sample({{"site", site_}, {"data_id", std::to_string(k.first)}, {"device_type", k.second}},
                 std::chrono::duration<double>(now - img.at).count());

    x.family("zrt4600a_value", "gauge",
             "Every value of each device's last published image; values the image marks absent are left out");
    for (const auto& [k, img] : s.images) {
        const DecodedImage d = decode_image(img.record_type, img.bytes);
        if (!d.valid) continue;
        const std::string id = std::to_string(k.first);
        for (const DecodedValue& v : d.values) {
            if (!v.value) continue;
            L labels{{"site", site_}, {"data_id", id}, {"device_type", k.second}, {"key", v.key}};
            if (!v.unit.empty()) labels.emplace_back("unit", v.unit);
            x.sample(labels, *v.value);
        }
    }

    x.family("zrt4600a_alarm_active", "gauge", "1 for each alarm that is raised now");
    for (const auto& [k, a] : s.alarms)
        x.sample({{"site", site_},
                  {"data_id", std::to_string(a.data_id)},
                  {"device_type", a.device_type},
                  {"key", a.key},
                  {"seq", std::to_string(a.seq)},
                  {"name", a.name},
                  {"level", std::to_string(a.level)},
                  {"signal_id", a.signal_id}},
                 1);
    return x.finish();
}

// ---------------------------------------------------------------------------------------

ListenAddress parse_listen_address(const std::string& text) {
    auto port_of = [&text](const std::string& p) {
        if (p.empty() || p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos || std::stoul(p) > 65535)
            throw std::invalid_argument("\"" + text + "\": the port must be a number from 0 to 65535");
        return static_cast<uint16_t>(std::stoul(p));
    };
    ListenAddress a;
    if (text.find(':') == std::string::npos) {
        a.address = "127.0.0.1";
        a.port = port_of(text);
        return a;
    }
    std::string host;
    std::string port;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':')
            throw std::invalid_argument("\"" + text + "\": expected [IPv6]:PORT");
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        const size_t colon = text.rfind(':');
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (host.find(':') != std::string::npos)
            throw std::invalid_argument("\"" + text + "\": write an IPv6 address in brackets, [::1]:PORT");
    }
    if (host.empty()) throw std::invalid_argument("\"" + text + "\": the address is missing before the port");
    if (host == "localhost") host = "127.0.0.1";
    asio::error_code ec;
    asio::ip::make_address(host, ec);
    if (ec) throw std::invalid_argument("\"" + text + "\": \"" + host + "\" is not an IP address");
    a.address = host;
    a.port = port_of(port);
    return a;
}

namespace {

constexpr size_t kMaxRequest = 8192;
constexpr int kMaxConnections = 32;
constexpr auto kRequestTimeout = std::chrono::seconds(5);

}  // namespace

struct MetricsServer::Impl {
    asio::io_context io;
    asio::ip::tcp::acceptor acceptor{io};
    std::function<std::string(Exposition::Format)> render;
    std::string host;
    uint16_t port = 0;
    int open = 0;  // connections being served (touched on the server thread only)
    std::thread thread;

    void accept();
    void serve(std::shared_ptr<asio::ip::tcp::socket> sock);
    std::string answer(const std::string& head) const;
};

void MetricsServer::Impl::accept() {
    auto sock = std::make_shared<asio::ip::tcp::socket>(io);
    acceptor.async_accept(*sock, [this, sock](const asio::error_code& ec) {
        if (ec == asio::error::operation_aborted) return;
        if (!ec) {
            if (open >= kMaxConnections) {
                asio::error_code ignore;
                sock->close(ignore);
            } else {
                serve(sock);
            }
        }
        accept();
    });
}

void MetricsServer::Impl::serve(std::shared_ptr<asio::ip::tcp::socket> sock) {
    ++open;
    struct Conn {
        std::shared_ptr<asio::ip::tcp::socket> sock;
        asio::streambuf buf{kMaxRequest};
        asio::steady_timer timer;
        std::string reply;
        explicit Conn(std::shared_ptr<asio::ip::tcp::socket> s) : sock(std::move(s)), timer(sock->get_executor()) {}
    };
    auto c = std::make_shared<Conn>(std::move(sock));
    // Closes the connection once, whichever of the timer and the exchange ends first.
    auto done = std::make_shared<bool>(false);
    auto finish = [this, c, done] {
        if (*done) return;
        *done = true;
        --open;
        asio::error_code ignore;
        c->timer.cancel();
        c->sock->shutdown(asio::ip::tcp::socket::shutdown_both, ignore);
        c->sock->close(ignore);
    };
    c->timer.expires_after(kRequestTimeout);
    c->timer.async_wait([finish](const asio::error_code& ec) {
        if (!ec) finish();
    });
    asio::async_read_until(*c->sock, c->buf, "\r\n\r\n", [this, c, finish](const asio::error_code& ec, size_t) {
        if (ec) {
            // Too long a request head gets its answer; anything else just ends.
            if (ec == asio::error::not_found) {
                c->reply = "HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
                asio::async_write(*c->sock, asio::buffer(c->reply), [c, finish](const asio::error_code&, size_t) { finish(); });
            } else {
                finish();
            }
            return;
        }
        const auto data = c->buf.data();
        const std::string head(asio::buffers_begin(data), asio::buffers_end(data));
        c->reply = answer(head);
        asio::async_write(*c->sock, asio::buffer(c->reply), [c, finish](const asio::error_code&, size_t) { finish(); });
    });
}

std::string MetricsServer::Impl::answer(const std::string& request) const {
    const std::string line = request.substr(0, request.find("\r\n"));
    auto response = [](const char* status, const std::string& type, const std::string& body, bool head,
                       const char* extra = "") {
        std::string r = std::string("HTTP/1.1 ") + status + "\r\n";
        if (!type.empty()) r += "Content-Type: " + type + "\r\n";
        r += "Content-Length: " + std::to_string(body.size()) + "\r\n" + extra + "Connection: close\r\n\r\n";
        if (!head) r += body;
        return r;
    };
    const size_t sp1 = line.find(' ');
    const size_t sp2 = sp1 == std::string::npos ? std::string::npos : line.find(' ', sp1 + 1);
    if (sp2 == std::string::npos || line.compare(sp2 + 1, 5, "HTTP/") != 0)
        return response("400 Bad Request", "text/plain; charset=utf-8", "bad request\n", false);
    const std::string method = line.substr(0, sp1);
    std::string target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    target = target.substr(0, target.find('?'));
    const bool head = method == "HEAD";
    if (method != "GET" && !head)
        return response("405 Method Not Allowed", "text/plain; charset=utf-8", "only GET and HEAD\n", false,
                        "Allow: GET, HEAD\r\n");
    if (target != "/metrics")
        return response("404 Not Found", "text/plain; charset=utf-8", "the metrics are at /metrics\n", head);
    // OpenMetrics to a client that asks for it in its Accept header.
    std::string lower(request);
    for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    const size_t accept = lower.find("\r\naccept:");
    const size_t accept_end = accept == std::string::npos ? accept : lower.find("\r\n", accept + 2);
    const bool om = accept != std::string::npos &&
                    lower.substr(accept, accept_end - accept).find("application/openmetrics-text") != std::string::npos;
    const Exposition::Format format = om ? Exposition::Format::OpenMetrics : Exposition::Format::PrometheusText;
    std::string body;
    try {
        body = render(format);
    } catch (const std::exception& e) {
        return response("500 Internal Server Error", "text/plain; charset=utf-8", std::string(e.what()) + "\n", head);
    }
    return response("200 OK", Exposition::content_type(format), body, head);
}

MetricsServer::MetricsServer(const ListenAddress& where, std::function<std::string(Exposition::Format)> render)
    : impl_(std::make_unique<Impl>()) {
    impl_->render = std::move(render);
    const std::string shown = where.address.find(':') != std::string::npos ? "[" + where.address + "]" : where.address;
    try {
        const asio::ip::tcp::endpoint ep(asio::ip::make_address(where.address), where.port);
        impl_->acceptor.open(ep.protocol());
        impl_->acceptor.set_option(asio::ip::tcp::acceptor::reuse_address(true));
        if (ep.address().is_v6()) impl_->acceptor.set_option(asio::ip::v6_only(true));
        impl_->acceptor.bind(ep);
        impl_->acceptor.listen();
    } catch (const std::system_error& e) {
        throw std::runtime_error("cannot listen on " + shown + ":" + std::to_string(where.port) + ": " +
                                 e.code().message());
    }
    impl_->host = shown;
    impl_->port = impl_->acceptor.local_endpoint().port();
    impl_->accept();
    impl_->thread = std::thread([this] {
        for (;;) {
            try {
                impl_->io.run();
                return;
            } catch (const std::exception&) {
                // A failed connection never ends the server.
            }
        }
    });
}

MetricsServer::~MetricsServer() {
    impl_->io.stop();
    if (impl_->thread.joinable()) impl_->thread.join();
}

uint16_t MetricsServer::port() const { return impl_->port; }

std::string MetricsServer::url() const {
    return "http://" + impl_->host + ":" + std::to_string(impl_->port) + "/metrics";
}

}  // namespace zrt::host

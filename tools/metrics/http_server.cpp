#include "tools/metrics/http_server.h"

#include <stdexcept>
#include <thread>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include "tools/metrics/live_page.h"  // generated: kLivePage

namespace zrt::host {

namespace net = boost::asio;
namespace http = boost::beast::http;
using tcp = net::ip::tcp;
using boost::system::error_code;

struct MetricsServer::Impl {
    // Declared first, so that they outlive the io_context, whose end ends the sessions that
    // count themselves out of them.
    int open = 0;     // connections being served (server thread only)
    int streams = 0;  // of which event streams
    net::io_context io;
    tcp::acceptor acceptor{io};
    const MetricsState* state = nullptr;
    HttpLimits limits;
    std::string host;
    uint16_t port = 0;
    std::thread thread;

    void accept();
};

namespace {

const char* const kText = "text/plain; charset=utf-8";

class Session : public std::enable_shared_from_this<Session> {
public:
    Session(MetricsServer::Impl& server, tcp::socket sock)
        : server_(server), sock_(std::move(sock)), timer_(sock_.get_executor()) {
        ++server_.open;
        parser_.header_limit(static_cast<std::uint32_t>(server_.limits.max_head));
        parser_.body_limit(0);
    }
    ~Session() {
        --server_.open;
        if (streaming_) --server_.streams;
    }

    void start() {
        timer_.expires_after(server_.limits.request_timeout);
        timer_.async_wait([self = shared_from_this()](const error_code& ec) {
            if (!ec) self->close();
        });
        http::async_read(sock_, buf_, parser_, [self = shared_from_this()](const error_code& ec, size_t) {
            self->timer_.cancel();
            self->on_request(ec);
        });
    }

private:
    void close() {
        error_code ignore;
        sock_.shutdown(tcp::socket::shutdown_both, ignore);
        sock_.close(ignore);
    }

    void on_request(const error_code& ec) {
        if (ec == http::error::header_limit) return reply(http::status::request_header_fields_too_large, kText, "", false);
        if (ec == http::error::body_limit || ec == http::error::unexpected_body)
            return reply(http::status::payload_too_large, kText, "a request carries no body here\n", false);
        if (ec == http::error::end_of_stream || ec == net::error::eof || ec == net::error::operation_aborted ||
            ec == net::error::connection_reset || !sock_.is_open())
            return close();
        if (ec) return reply(http::status::bad_request, kText, "bad request\n", false);

        const auto& req = parser_.get();
        const bool head = req.method() == http::verb::head;
        if (req.method() != http::verb::get && !head) {
            extra_allow_ = true;
            return reply(http::status::method_not_allowed, kText, "only GET and HEAD\n", false);
        }
        std::string target(req.target());
        target = target.substr(0, target.find('?'));
        try {
            if (target == "/metrics") {
                // OpenMetrics to a client that asks for it.
                const auto accept = req[http::field::accept];
                const bool om = accept.find("application/openmetrics-text") != boost::beast::string_view::npos;
                const auto f = om ? Exposition::Format::OpenMetrics : Exposition::Format::PrometheusText;
                return reply(http::status::ok, Exposition::content_type(f), server_.state->render(f), head);
            }
            if (target == "/healthz") return reply(http::status::ok, kText, "ok\n", head);
            if (target == "/api/v1/status")
                return reply(http::status::ok, "application/json; charset=utf-8", server_.state->status_json(), head);
            if (target == "/")
                return reply(http::status::ok, "text/html; charset=utf-8",
                             std::string(reinterpret_cast<const char*>(kLivePage), sizeof kLivePage - 1), head);
            if (target == "/events" && !head) return start_stream();
        } catch (const std::exception& e) {
            return reply(http::status::internal_server_error, kText, std::string(e.what()) + "\n", head);
        }
        return reply(http::status::not_found, kText,
                     "not here: /metrics, /healthz, /api/v1/status, /events and / are\n", head);
    }

    void reply(http::status status, const char* type, std::string body, bool head) {
        auto res = std::make_shared<http::response<http::string_body>>(status, 11);
        res->set(http::field::server, "zrt4600a-host");
        res->set(http::field::content_type, type);
        res->set(http::field::cache_control, "no-store");
        if (extra_allow_) res->set(http::field::allow, "GET, HEAD");
        res->keep_alive(false);
        res->content_length(body.size());
        if (!head) res->body() = std::move(body);
        auto sr = std::make_shared<http::response_serializer<http::string_body>>(*res);
        // A HEAD answer states the length of the body it leaves out.
        if (head) sr->split(true);
        write_deadline();
        auto self = shared_from_this();
        auto done = [self, res, sr](const error_code&, size_t) {
            self->timer_.cancel();
            self->close();
        };
        if (head)
            http::async_write_header(sock_, *sr, done);
        else
            http::async_write(sock_, *sr, done);
    }

    void write_deadline() {
        timer_.expires_after(server_.limits.write_timeout);
        timer_.async_wait([self = shared_from_this()](const error_code& ec) {
            if (!ec) self->close();
        });
    }

    void start_stream() {
        if (server_.streams >= server_.limits.max_streams)
            return reply(http::status::service_unavailable, kText, "too many event streams\n", false);
        streaming_ = true;
        ++server_.streams;
        auto res = std::make_shared<http::response<http::empty_body>>(http::status::ok, 11);
        res->set(http::field::server, "zrt4600a-host");
        res->set(http::field::content_type, "text/event-stream; charset=utf-8");
        res->set(http::field::cache_control, "no-store");
        res->keep_alive(false);
        auto sr = std::make_shared<http::response_serializer<http::empty_body>>(*res);
        write_deadline();
        http::async_write_header(sock_, *sr, [self = shared_from_this(), res, sr](const error_code& ec, size_t) {
            self->timer_.cancel();
            if (ec) return self->close();
            self->next_event();
        });
    }

    // Sends the status when it changed since the last event (or a comment line now and then,
    // so that a client that went away is found), then waits one event interval.
    void next_event() {
        const uint64_t v = server_.state->version();
        std::string msg;
        if (!sent_any_ || v != sent_version_) {
            msg = "retry: 2000\ndata: " + server_.state->status_json() + "\n\n";
            sent_version_ = v;
            sent_any_ = true;
            quiet_ = 0;
        } else if (++quiet_ >= 15) {
            msg = ": idle\n\n";
            quiet_ = 0;
        }
        if (msg.empty()) return wait_event();
        auto text = std::make_shared<std::string>(std::move(msg));
        write_deadline();
        net::async_write(sock_, net::buffer(*text), [self = shared_from_this(), text](const error_code& ec, size_t) {
            self->timer_.cancel();
            if (ec || !self->sock_.is_open()) return self->close();
            self->wait_event();
        });
    }

    void wait_event() {
        timer_.expires_after(server_.limits.event_interval);
        timer_.async_wait([self = shared_from_this()](const error_code& ec) {
            if (ec || !self->sock_.is_open()) return;
            self->next_event();
        });
    }

    MetricsServer::Impl& server_;
    tcp::socket sock_;
    net::steady_timer timer_;
    boost::beast::flat_buffer buf_;
    http::request_parser<http::empty_body> parser_;
    bool extra_allow_ = false;
    bool streaming_ = false;
    bool sent_any_ = false;
    uint64_t sent_version_ = 0;
    int quiet_ = 0;
};

}  // namespace

void MetricsServer::Impl::accept() {
    acceptor.async_accept([this](const error_code& ec, tcp::socket sock) {
        if (ec == net::error::operation_aborted) return;
        if (!ec) {
            if (open >= limits.max_connections) {
                error_code ignore;
                sock.close(ignore);
            } else {
                std::make_shared<Session>(*this, std::move(sock))->start();
            }
        }
        accept();
    });
}

MetricsServer::MetricsServer(const ListenAddress& where, const MetricsState& state, HttpLimits limits)
    : impl_(std::make_unique<Impl>()) {
    impl_->state = &state;
    impl_->limits = limits;
    const std::string shown = where.address.find(':') != std::string::npos ? "[" + where.address + "]" : where.address;
    try {
        const tcp::endpoint ep(net::ip::make_address(where.address), where.port);
        impl_->acceptor.open(ep.protocol());
        impl_->acceptor.set_option(tcp::acceptor::reuse_address(true));
        if (ep.address().is_v6()) impl_->acceptor.set_option(net::ip::v6_only(true));
        impl_->acceptor.bind(ep);
        impl_->acceptor.listen();
    } catch (const boost::system::system_error& e) {
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

std::string MetricsServer::base_url() const { return "http://" + impl_->host + ":" + std::to_string(impl_->port) + "/"; }

std::string MetricsServer::url() const { return base_url() + "metrics"; }

}  // namespace zrt::host

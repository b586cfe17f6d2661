#include "tools/metrics/http_server.h"

#include <strings.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <list>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <type_traits>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/stream_traits.hpp>
#include <boost/beast/http.hpp>
#include <json/writer.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include "tools/metrics/live_page.h"  // generated: kLivePage
#include "tools/metrics/status_changes.h"

namespace zrt::host {

namespace net = boost::asio;
namespace http = boost::beast::http;
using tcp = net::ip::tcp;
using boost::system::error_code;

namespace {

// A connection that has not yet sent its whole request head. Those that have sent nothing
// wait in one list and take no slot; those that are sending their head hold a slot. The
// oldest of a list is closed when a new one needs room there, so a client that sends its
// request at once (a scrape) is never the one to go.
class Waiting {
public:
    virtual ~Waiting() = default;
    virtual void evict() = 0;
};
using WaitList = std::list<Waiting*>;

using Digest = std::array<unsigned char, 32>;

}  // namespace

struct MetricsServer::Impl {
    // Declared before the io_context and the checker, so that they outlive the sessions
    // that count themselves out of them when those end.
    int open = 0;     // connections holding a slot: sending a request or being answered
    int streams = 0;  // of which event streams
    WaitList idle;     // connected, nothing sent yet; oldest first (server thread only)
    WaitList heading;  // sending the request head, holding a slot; oldest first
    std::map<std::string, Digest> passed;  // user -> SHA-256 of the password that last passed
    const MetricsState* state = nullptr;
    HttpLimits limits;
    WebConfig web;
    std::string host;
    uint16_t port = 0;
    net::io_context io;
    tcp::acceptor acceptor{io};
    // Password checks take bcrypt's time: one thread of their own keeps the server answering.
    net::thread_pool checker{1};
    std::thread thread;

    void accept();
    void refuse_full(tcp::socket& sock, bool tls);
};

namespace {

const char* const kText = "text/plain; charset=utf-8";

std::string gzip_text(const std::string& in) {
    z_stream z{};
    if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("zlib: no memory");
    std::string out(deflateBound(&z, static_cast<uLong>(in.size())), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = reinterpret_cast<Bytef*>(&out[0]);
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// Whether an Accept-Encoding header takes gzip ("gzip", "gzip;q=0.5", "*"), not "gzip;q=0".
bool takes_gzip(boost::beast::string_view header) {
    std::string h(header);
    size_t at = 0;
    while (at < h.size()) {
        size_t end = h.find(',', at);
        if (end == std::string::npos) end = h.size();
        std::string item = h.substr(at, end - at);
        at = end + 1;
        item.erase(0, item.find_first_not_of(" \t"));
        const size_t semi = item.find(';');
        std::string name = item.substr(0, semi);
        name.erase(name.find_last_not_of(" \t") + 1);
        if (name != "gzip" && name != "x-gzip" && name != "*") continue;
        if (semi != std::string::npos) {
            const size_t q = item.find("q=", semi);
            if (q != std::string::npos && std::strtod(item.c_str() + q + 2, nullptr) <= 0.0) continue;
        }
        return true;
    }
    return false;
}

Digest sha256(const std::string& text) {
    Digest d{};
    unsigned len = 0;
    EVP_Digest(text.data(), text.size(), d.data(), &len, EVP_sha256(), nullptr);
    return d;
}

// The user and password of an "Authorization: Basic ..." header; false for anything else.
bool basic_credentials(boost::beast::string_view header, std::string& user, std::string& password) {
    std::string h(header);
    if (h.size() < 6 || strncasecmp(h.c_str(), "Basic ", 6) != 0) return false;
    std::string b64 = h.substr(6);
    b64.erase(0, b64.find_first_not_of(' '));
    b64.erase(b64.find_last_not_of(' ') + 1);
    if (b64.empty() || b64.size() % 4 != 0 || b64.size() > 4096) return false;
    std::string raw(b64.size() / 4 * 3, '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&raw[0]),
                                  reinterpret_cast<const unsigned char*>(b64.data()), static_cast<int>(b64.size()));
    if (n < 0) return false;
    size_t len = static_cast<size_t>(n);
    // EVP_DecodeBlock counts the bytes the padding stands for.
    for (size_t k = b64.size(); k > 0 && b64[k - 1] == '='; --k) --len;
    raw.resize(len);
    const size_t colon = raw.find(':');
    if (colon == std::string::npos) return false;
    user = raw.substr(0, colon);
    password = raw.substr(colon + 1);
    return true;
}

template <class Stream>
class Session : public Waiting, public std::enable_shared_from_this<Session<Stream>> {
    static constexpr bool kTls = !std::is_same<Stream, tcp::socket>::value;

public:
    Session(MetricsServer::Impl& server, tcp::socket sock)
        : server_(server), stream_(make_stream(server, std::move(sock))), timer_(stream_.get_executor()) {
        list_in(server_.idle);
        parser_.header_limit(static_cast<std::uint32_t>(server_.limits.max_head));
        parser_.body_limit(0);
    }
    ~Session() override {
        unlist();
        if (counted_) --server_.open;
        if (streaming_) --server_.streams;
        if (gz_open_) deflateEnd(&gz_);
    }

    // Its place goes to a new connection: it is closed and counts no more.
    void evict() override {
        unlist();
        if (counted_) --server_.open;
        counted_ = false;
        server_.state->count_http_rejected("evicted");
        close();
    }

    // A client has the idle time-out to send its first byte, and the request time-out from
    // its connection to the end of its request head (TLS handshake included).
    void start() {
        const auto began = std::chrono::steady_clock::now();
        deadline(std::min(server_.limits.idle_timeout, server_.limits.request_timeout), "idle_timeout");
        sock().async_wait(tcp::socket::wait_read, [self = this->shared_from_this(), began](const error_code& ec) {
            if (ec || !self->sock().is_open()) return;
            if (!self->take_slot()) return;
            self->deadline(self->server_.limits.request_timeout - (std::chrono::steady_clock::now() - began),
                           "header_timeout");
            if constexpr (kTls) {
                self->stream_.async_handshake(net::ssl::stream_base::server, [self](const error_code& ec2) {
                    if (ec2) {
                        if (self->sock().is_open()) self->server_.state->count_http_rejected("tls_handshake");
                        return self->close();
                    }
                    self->read_head();
                });
            } else {
                self->read_head();
            }
        });
    }

private:
    static Stream make_stream(MetricsServer::Impl& server, tcp::socket sock) {
        if constexpr (kTls)
            return Stream(std::move(sock), *server.web.tls);
        else
            return sock;
    }

    tcp::socket& sock() { return boost::beast::get_lowest_layer(stream_); }

    void list_in(WaitList& list) {
        unlist();
        list.push_back(this);
        list_ = &list;
        listed_ = std::prev(list.end());
    }
    void unlist() {
        if (!list_) return;
        list_->erase(listed_);
        list_ = nullptr;
    }

    // The client sent its first byte: it takes a slot, if need be from the oldest connection
    // still sending its head; with every slot answering, it gets 503.
    bool take_slot() {
        if (server_.open >= server_.limits.max_connections && !server_.heading.empty())
            server_.heading.front()->evict();
        if (server_.open >= server_.limits.max_connections) {
            unlist();
            server_.refuse_full(sock(), kTls);
            return false;
        }
        ++server_.open;
        counted_ = true;
        list_in(server_.heading);
        return true;
    }

    // Closes the connection when the time runs out; a later deadline replaces it.
    template <class Duration>
    void deadline(Duration d, const char* reason) {
        const unsigned gen = ++gen_;
        timer_.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(d));
        timer_.async_wait([self = this->shared_from_this(), gen, reason](const error_code& ec) {
            if (ec || gen != self->gen_ || !self->sock().is_open()) return;
            if (reason) self->server_.state->count_http_rejected(reason);
            self->close();
        });
    }
    void no_deadline() {
        ++gen_;
        timer_.cancel();
    }

    void close() {
        error_code ignore;
        sock().shutdown(tcp::socket::shutdown_both, ignore);
        sock().close(ignore);
    }

    // After the answer: a TLS connection says goodbye (for at most the write time-out).
    void finish() {
        if constexpr (kTls) {
            if (!sock().is_open()) return;
            deadline(server_.limits.write_timeout, nullptr);
            stream_.async_shutdown([self = this->shared_from_this()](const error_code&) {
                self->no_deadline();
                self->close();
            });
        } else {
            close();
        }
    }

    void read_head() {
        http::async_read(stream_, buf_, parser_, [self = this->shared_from_this()](const error_code& ec, size_t) {
            self->no_deadline();
            self->unlist();
            self->on_request(ec);
        });
    }

    void on_request(const error_code& ec) {
        if (ec == http::error::header_limit) return reply(http::status::request_header_fields_too_large, kText, "", false);
        if (ec == http::error::body_limit || ec == http::error::unexpected_body)
            return reply(http::status::payload_too_large, kText, "a request carries no body here\n", false);
        if (ec == http::error::end_of_stream || ec == net::error::eof || ec == net::error::operation_aborted ||
            ec == net::error::connection_reset || !sock().is_open())
            return close();
        if (ec) return reply(http::status::bad_request, kText, "bad request\n", false);
        if (server_.web.users.empty()) return route();

        std::string user, password;
        if (!basic_credentials(parser_.get()[http::field::authorization], user, password)) return unauthorized();
        const auto known = server_.web.users.find(user);
        const Digest digest = sha256(user + ":" + password);
        if (known != server_.web.users.end()) {
            const auto last = server_.passed.find(user);
            if (last != server_.passed.end() && CRYPTO_memcmp(last->second.data(), digest.data(), digest.size()) == 0)
                return route();
        }
        // An unknown user costs the same check as a known one.
        const std::string hash = known != server_.web.users.end() ? known->second : server_.web.users.begin()->second;
        const bool is_known = known != server_.web.users.end();
        net::post(server_.checker, [self = this->shared_from_this(), password, hash, is_known, user, digest]() mutable {
            const bool ok = bcrypt_matches(password, hash) && is_known;
            auto ex = self->stream_.get_executor();
            net::post(ex, [self = std::move(self), ok, user, digest] {
                if (!ok) return self->unauthorized();
                self->server_.passed[user] = digest;
                self->route();
            });
        });
    }

    void unauthorized() {
        server_.state->count_http_rejected("unauthorized");
        www_authenticate_ = true;
        reply(http::status::unauthorized, kText, "a user and password are needed here\n", false);
    }

    void route() {
        const auto& req = parser_.get();
        const bool head = req.method() == http::verb::head;
        if (req.method() != http::verb::get && !head) {
            extra_allow_ = true;
            return reply(http::status::method_not_allowed, kText, "only GET and HEAD\n", false);
        }
        gzip_ = takes_gzip(req[http::field::accept_encoding]);
        std::string target(req.target());
        target = target.substr(0, target.find('?'));
        try {
            if (target == "/metrics") {
                // OpenMetrics to a client that asks for it.
                const auto accept = req[http::field::accept];
                const bool om = accept.find("application/openmetrics-text") != boost::beast::string_view::npos;
                const auto f = om ? Exposition::Format::OpenMetrics : Exposition::Format::PrometheusText;
                return reply(http::status::ok, Exposition::content_type(f), server_.state->render(f), head, true);
            }
            if (target == "/healthz") return reply(http::status::ok, kText, "ok\n", head);
            if (target == "/api/v1/status")
                return reply(http::status::ok, "application/json; charset=utf-8", server_.state->status_json(), head,
                             true);
            if (target == "/")
                return reply(http::status::ok, "text/html; charset=utf-8",
                             std::string(reinterpret_cast<const char*>(kLivePage), sizeof kLivePage - 1), head, true);
            if (target == "/events" && !head) return start_stream();
        } catch (const std::exception& e) {
            return reply(http::status::internal_server_error, kText, std::string(e.what()) + "\n", head);
        }
        return reply(http::status::not_found, kText,
                     "not here: /metrics, /healthz, /api/v1/status, /events and / are\n", head);
    }

    template <class Body>
    void common_headers(http::response<Body>& res, const char* type) {
        res.set(http::field::server, "zrt4600a-host");
        res.set(http::field::content_type, type);
        res.set(http::field::cache_control, "no-store");
        if (extra_allow_) res.set(http::field::allow, "GET, HEAD");
        if (www_authenticate_) res.set(http::field::www_authenticate, "Basic");
        for (const auto& [name, value] : server_.web.headers) res.set(name, value);
        res.keep_alive(false);
    }

    // `compressible`: sent gzipped to a client that takes it, when that saves something.
    void reply(http::status status, const char* type, std::string body, bool head, bool compressible = false) {
        auto res = std::make_shared<http::response<http::string_body>>(status, 11);
        common_headers(*res, type);
        if (compressible) {
            res->set(http::field::vary, "Accept-Encoding");
            if (gzip_ && body.size() > 1024) {
                body = gzip_text(body);
                res->set(http::field::content_encoding, "gzip");
            }
        }
        res->content_length(body.size());
        if (!head) res->body() = std::move(body);
        auto sr = std::make_shared<http::response_serializer<http::string_body>>(*res);
        // A HEAD answer states the length of the body it leaves out.
        if (head) sr->split(true);
        deadline(server_.limits.write_timeout, nullptr);
        auto self = this->shared_from_this();
        auto done = [self, res, sr](const error_code&, size_t) {
            self->no_deadline();
            self->finish();
        };
        if (head)
            http::async_write_header(stream_, *sr, done);
        else
            http::async_write(stream_, *sr, done);
    }

    void start_stream() {
        if (server_.streams >= server_.limits.max_streams)
            return reply(http::status::service_unavailable, kText, "too many event streams\n", false);
        streaming_ = true;
        ++server_.streams;
        auto res = std::make_shared<http::response<http::empty_body>>(http::status::ok, 11);
        common_headers(*res, "text/event-stream; charset=utf-8");
        res->set(http::field::vary, "Accept-Encoding");
        if (gzip_) {
            if (deflateInit2(&gz_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
                return reply(http::status::service_unavailable, kText, "no memory for the stream\n", false);
            gz_open_ = true;
            res->set(http::field::content_encoding, "gzip");
        }
        auto sr = std::make_shared<http::response_serializer<http::empty_body>>(*res);
        deadline(server_.limits.write_timeout, nullptr);
        http::async_write_header(stream_, *sr, [self = this->shared_from_this(), res, sr](const error_code& ec, size_t) {
            self->no_deadline();
            if (ec) return self->close();
            self->watch_client();
            self->next_event();
        });
    }

    // A stream's client sends nothing more: once its side is readable it has closed (or
    // broken the protocol), and its slot is freed at once rather than at the next event.
    void watch_client() {
        sock().async_wait(tcp::socket::wait_read, [self = this->shared_from_this()](const error_code& ec) {
            if (!ec) self->close();
        });
    }

    // The message as it goes on the wire: through the stream's compressor, flushed so that
    // the client has the whole event now.
    std::string encoded(const std::string& msg) {
        if (!gz_open_) return msg;
        std::string out;
        gz_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(msg.data()));
        gz_.avail_in = static_cast<uInt>(msg.size());
        char chunk[16384];
        do {
            gz_.next_out = reinterpret_cast<Bytef*>(chunk);
            gz_.avail_out = sizeof chunk;
            deflate(&gz_, Z_SYNC_FLUSH);
            out.append(chunk, sizeof chunk - gz_.avail_out);
        } while (gz_.avail_out == 0);
        return out;
    }

    // The whole status first; then, when the state changed, only what changed in it (or a
    // comment line now and then, so that a client that went away is found); then waits one
    // event interval.
    void next_event() {
        const uint64_t v = server_.state->version();
        std::string msg;
        Json::StreamWriterBuilder w;
        w["indentation"] = "";
        w["emitUTF8"] = true;
        if (!sent_any_) {
            doc_ = server_.state->status();
            msg = "retry: 2000\ndata: " + Json::writeString(w, doc_) + "\n\n";
            sent_version_ = v;
            sent_any_ = true;
            quiet_ = 0;
        } else if (v != sent_version_) {
            Json::Value now = server_.state->status();
            const Json::Value changes = status_changes(doc_, now);
            doc_ = std::move(now);
            sent_version_ = v;
            if (!changes.empty()) msg = "event: change\ndata: " + Json::writeString(w, changes) + "\n\n";
            quiet_ = 0;
        } else if (++quiet_ >= 15) {
            msg = ": idle\n\n";
            quiet_ = 0;
        }
        if (msg.empty()) return wait_event();
        auto text = std::make_shared<std::string>(encoded(msg));
        deadline(server_.limits.write_timeout, nullptr);
        net::async_write(stream_, net::buffer(*text), [self = this->shared_from_this(), text](const error_code& ec, size_t) {
            self->no_deadline();
            if (ec || !self->sock().is_open()) return self->close();
            self->wait_event();
        });
    }

    void wait_event() {
        const unsigned gen = ++gen_;
        timer_.expires_after(server_.limits.event_interval);
        timer_.async_wait([self = this->shared_from_this(), gen](const error_code& ec) {
            if (ec || gen != self->gen_ || !self->sock().is_open()) return;
            self->next_event();
        });
    }

    MetricsServer::Impl& server_;
    Stream stream_;
    net::steady_timer timer_;
    unsigned gen_ = 0;  // the deadline that counts
    WaitList* list_ = nullptr;  // the list it waits in, if any
    WaitList::iterator listed_;
    bool counted_ = false;      // holds a slot
    boost::beast::flat_buffer buf_;
    http::request_parser<http::empty_body> parser_;
    bool extra_allow_ = false;
    bool www_authenticate_ = false;
    bool gzip_ = false;
    bool streaming_ = false;
    bool sent_any_ = false;
    uint64_t sent_version_ = 0;
    Json::Value doc_;  // the status as the client has it
    z_stream gz_{};
    bool gz_open_ = false;
    int quiet_ = 0;
};

}  // namespace

// No slot is free and none can be made: a short 503, written only if the socket takes it
// at once, so that a full server never waits on the client it turns away.
void MetricsServer::Impl::refuse_full(tcp::socket& sock, bool tls) {
    state->count_http_rejected("full");
    error_code ignore;
    if (!tls) {
        // Serialized once by Beast, then written without waiting.
        static const std::string kBusy = [] {
            http::response<http::string_body> res{http::status::service_unavailable, 11};
            res.set(http::field::server, "zrt4600a-host");
            res.set(http::field::content_type, kText);
            res.set(http::field::retry_after, "1");
            res.keep_alive(false);
            res.body() = "too many clients.\n";
            res.prepare_payload();
            std::ostringstream out;
            out << res;
            return out.str();
        }();
        sock.non_blocking(true, ignore);
        sock.write_some(net::buffer(kBusy), ignore);
    }
    sock.shutdown(tcp::socket::shutdown_both, ignore);
    sock.close(ignore);
}

void MetricsServer::Impl::accept() {
    acceptor.async_accept([this](const error_code& ec, tcp::socket sock) {
        if (ec == net::error::operation_aborted) return;
        if (!ec) {
            // A connection takes a slot once it sends something; until then it only waits,
            // and the oldest waiting one makes room for a new one.
            if (static_cast<int>(idle.size()) >= limits.max_idle) idle.front()->evict();
            if (web.tls)
                std::make_shared<Session<net::ssl::stream<tcp::socket>>>(*this, std::move(sock))->start();
            else
                std::make_shared<Session<tcp::socket>>(*this, std::move(sock))->start();
        }
        accept();
    });
}

MetricsServer::MetricsServer(const ListenAddress& where, const MetricsState& state, HttpLimits limits, WebConfig web)
    : impl_(std::make_unique<Impl>()) {
    impl_->state = &state;
    impl_->limits = limits;
    impl_->web = std::move(web);
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
    impl_->checker.stop();
    impl_->checker.join();
}

uint16_t MetricsServer::port() const { return impl_->port; }

std::string MetricsServer::base_url() const {
    return std::string(impl_->web.tls ? "https" : "http") + "://" + impl_->host + ":" + std::to_string(impl_->port) + "/";
}

std::string MetricsServer::url() const { return base_url() + "metrics"; }

}  // namespace zrt::host

// The HTTP server against clients that hold connections without a request, the event
// stream's changes and compression, and the web configuration's checks. (HTTPS and
// passwords end to end, through the host: web_config_test.sh.)
#include <crypt.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/write.hpp>
#include <gtest/gtest.h>
#include <json/json.h>
#include <sys/socket.h>
#include <sys/time.h>

#include "tools/metrics/http_server.h"
#include "tools/metrics/metrics.h"
#include "tools/metrics/status_changes.h"
#include "tools/metrics/web_config.h"

using namespace zrt::host;

namespace {

using tcp = asio::ip::tcp;

Json::Value parse(const std::string& text) {
    Json::Value v;
    std::string errs;
    Json::CharReaderBuilder b;
    std::unique_ptr<Json::CharReader> r(b.newCharReader());
    EXPECT_TRUE(r->parse(text.data(), text.data() + text.size(), &v, &errs)) << errs << text;
    return v;
}

std::string compact(const Json::Value& v) {
    Json::StreamWriterBuilder w;
    w["indentation"] = "";
    return Json::writeString(w, v);
}

void set_read_timeout(tcp::socket& s, int seconds) {
    const timeval t{seconds, 0};
    setsockopt(s.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
}

// One exchange; the whole answer, or "" when the connection gave none in 3 s.
std::string http(uint16_t port, const std::string& request) {
    asio::io_context io;
    tcp::socket s(io);
    asio::error_code ec;
    s.connect({asio::ip::make_address("127.0.0.1"), port}, ec);
    if (ec) return "";
    set_read_timeout(s, 3);
    asio::write(s, asio::buffer(request), ec);
    std::string out;
    char buf[4096];
    for (;;) {
        const size_t n = s.read_some(asio::buffer(buf), ec);
        out.append(buf, n);
        if (ec) break;
    }
    return out;
}

std::string gunzip(const std::string& in) {
    z_stream z{};
    inflateInit2(&z, 15 + 16);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
    std::string out;
    char buf[16384];
    int rc = Z_OK;
    do {
        z.next_out = reinterpret_cast<Bytef*>(buf);
        z.avail_out = sizeof buf;
        rc = inflate(&z, Z_SYNC_FLUSH);
        out.append(buf, sizeof buf - z.avail_out);
    } while (rc == Z_OK && (z.avail_in > 0 || z.avail_out == 0));
    inflateEnd(&z);
    return out;
}

// A DC screen image whose bus reads `volts`, the rest absent or zero.
std::vector<uint8_t> dc_image(float volts) {
    std::vector<uint8_t> img(166, 0);
    std::memcpy(&img[4], &volts, 4);
    const uint32_t absent = 0x20202020u;
    std::memcpy(img.data() + 8, &absent, 4);
    img[80] = 64;
    img[81 + 5] = 3;
    return img;
}

}  // namespace

TEST(StatusChanges, TurnTheOldStatusIntoTheNewAndSendLittleForASmallChange) {
    const Json::Value before = parse(R"({"time":"t1","systems":[{"line":{"up":true,"cycles":4},
        "devices":[{"data_id":21,"values":[{"key":"v","value":53.5},{"key":"i","value":10}]},
                   {"data_id":22,"values":[{"key":"v","value":null}]}],
        "alarms":[{"key":"a"}],"dc_trend":{"21":[[1,53.5],[2,53.4],[3,53.5],[4,53.6]]},"gone":1}]})");
    Json::Value after = before;
    after["time"] = "t2";
    after["systems"][0]["devices"][0]["values"][0]["value"] = 49.5;
    after["systems"][0]["line"]["cycles"] = 5;
    after["systems"][0]["alarms"].append(parse(R"({"key":"b"})"));
    after["systems"][0]["dc_trend"]["21"] = parse("[[3,53.5],[4,53.6],[5,49.5]]");
    after["systems"][0].removeMember("gone");
    after["systems"][0]["new"] = "x";

    const Json::Value changes = status_changes(before, after);
    Json::Value doc = before;
    apply_status_changes(doc, changes);
    EXPECT_EQ(doc, after) << changes;
    // One change for each thing that changed, the value's at its own path, and the trend
    // as its two dropped points and one new one.
    EXPECT_EQ(changes.size(), 7u) << changes;
    bool value_seen = false, trend_seen = false;
    for (const auto& c : changes) {
        if (compact(c["at"]) == R"(["systems",0,"devices",0,"values",0,"value"])") value_seen = c["value"] == 49.5;
        if (compact(c["at"]) == R"(["systems",0,"dc_trend","21"])")
            trend_seen = compact(c["drop"]) == "2" && compact(c["append"]) == "[[5,49.5]]";
    }
    EXPECT_TRUE(value_seen) << changes;
    EXPECT_TRUE(trend_seen) << changes;

    EXPECT_TRUE(status_changes(after, after).empty());
    // A different kind of value and a list that shrank in the middle are sent whole.
    Json::Value other = after;
    other["systems"][0]["devices"] = parse(R"([{"data_id":22,"values":[]}])");
    other["systems"][0]["line"] = "down";
    doc = after;
    apply_status_changes(doc, status_changes(after, other));
    EXPECT_EQ(doc, other);
    doc = Json::Value(3);
    apply_status_changes(doc, status_changes(Json::Value(3), after));
    EXPECT_EQ(doc, after);
    // A change for a path the document does not have is refused, not guessed at.
    Json::Value small = parse(R"({"a":[1]})");
    EXPECT_THROW(apply_status_changes(small, parse(R"([{"at":["a",4],"value":1}])")), std::invalid_argument);
    EXPECT_THROW(apply_status_changes(small, parse(R"([{"at":["b","c"],"value":1}])")), std::invalid_argument);
}

// Idle clients (that connect and send nothing) and slow ones (a byte of their request now
// and then) reconnect as soon as they are dropped, many more of them than the server has
// slots; every scrape in between is still answered.
TEST(MetricsEndpoint, AScrapeIsAnsweredWhileIdleAndSlowClientsHoldMoreThanEverySlot) {
    MetricsState m("s1", 1);
    m.publish(21, "zrt4600a-dc", 5108, decode_image(5108, dc_image(53.5f)));
    HttpLimits limits;
    limits.max_connections = 8;
    limits.max_idle = 16;
    limits.idle_timeout = std::chrono::milliseconds(400);
    limits.request_timeout = std::chrono::milliseconds(800);
    MetricsServer server({"127.0.0.1", 0}, m, limits);

    std::atomic<bool> stop{false};
    std::atomic<int> opened{0};
    std::thread pressure([&] {
        asio::io_context io;
        const tcp::endpoint at(asio::ip::make_address("127.0.0.1"), server.port());
        std::vector<tcp::socket> idle, slow;
        for (int k = 0; k < 24; ++k) idle.emplace_back(io);
        for (int k = 0; k < 12; ++k) slow.emplace_back(io);
        const std::string head = "GET /metrics HTTP/1.1\r\nHost: x\r\nX-Slow: ";
        std::vector<size_t> sent(slow.size(), 0);
        // A socket the server closed (or one not yet open) is opened again.
        auto keep_open = [&](tcp::socket& s) {
            asio::error_code ec;
            if (s.is_open()) {
                char c;
                s.non_blocking(true);
                const size_t n = s.read_some(asio::buffer(&c, 1), ec);
                if (n == 0 && ec == asio::error::would_block) return false;
                s.close(ec);
            }
            s.connect(at, ec);
            ++opened;
            return true;
        };
        while (!stop) {
            for (auto& s : idle) keep_open(s);
            for (size_t k = 0; k < slow.size(); ++k) {
                if (keep_open(slow[k])) sent[k] = 0;
                // A byte of the head at a time, then a header line that never ends.
                const char c = sent[k] < head.size() ? head[sent[k]] : 'x';
                ++sent[k];
                asio::error_code ec;
                asio::write(slow[k], asio::buffer(&c, 1), ec);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });

    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    int answered = 0;
    const int tries = 20;
    for (int k = 0; k < tries; ++k) {
        const std::string path = k % 2 ? "/healthz" : "/metrics";
        if (http(server.port(), "GET " + path + " HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 200 OK\r\n", 0) == 0) ++answered;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    stop = true;
    pressure.join();
    EXPECT_EQ(answered, tries);
    EXPECT_GT(opened.load(), 24 + 12) << "the clients were never dropped";

    // Without more clients than places, an idle and a slow client each run out of time. A
    // server of its own (counting into the same state), so that the connections the pressure
    // left behind cannot take their places.
    MetricsServer quiet({"127.0.0.1", 0}, m, limits);
    asio::io_context io;
    tcp::socket idle(io), slow(io);
    idle.connect({asio::ip::make_address("127.0.0.1"), quiet.port()});
    slow.connect({asio::ip::make_address("127.0.0.1"), quiet.port()});
    asio::write(slow, asio::buffer(std::string("GET /metrics HTTP/1.1\r\n")));
    std::this_thread::sleep_for(limits.request_timeout + std::chrono::milliseconds(200));
    // A slow (sanitizer) build may count the time-outs a little later: ask again for a while.
    auto counted = [](const std::string& text, const char* reason) {
        const std::string line = std::string("zrt4600a_http_rejected_total{site=\"s1\",reason=\"") + reason + "\"} ";
        const size_t at = text.find(line);
        return at != std::string::npos && text.compare(at + line.size(), 2, "0\n") != 0;
    };
    std::string metrics;
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
         std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(std::chrono::milliseconds(100))) {
        metrics = http(quiet.port(), "GET /metrics HTTP/1.1\r\n\r\n");
        if (counted(metrics, "evicted") && counted(metrics, "idle_timeout") && counted(metrics, "header_timeout")) break;
    }
    for (const char* reason : {"evicted", "idle_timeout", "header_timeout"}) {
        const std::string line = std::string("zrt4600a_http_rejected_total{site=\"s1\",reason=\"") + reason + "\"} ";
        const size_t at = metrics.find(line);
        ASSERT_NE(at, std::string::npos) << metrics;
        EXPECT_NE(metrics.compare(at + line.size(), 2, "0\n"), 0) << reason << " never counted";
    }
}

TEST(MetricsEndpoint, TheEventStreamSendsTheStatusThenItsChangesGzippedForAClientThatTakesIt) {
    MetricsState m("s1", 1);
    m.publish(21, "zrt4600a-dc", 5108, decode_image(5108, dc_image(53.5f)));
    HttpLimits limits;
    limits.event_interval = std::chrono::milliseconds(50);
    MetricsServer server({"127.0.0.1", 0}, m, limits);

    asio::io_context io;
    tcp::socket s(io);
    s.connect({asio::ip::make_address("127.0.0.1"), server.port()});
    set_read_timeout(s, 5);
    asio::write(s, asio::buffer(std::string("GET /events HTTP/1.1\r\nAccept-Encoding: br, gzip;q=0.8\r\n\r\n")));
    std::string raw;
    auto text = [&] {
        const size_t body = raw.find("\r\n\r\n");
        return body == std::string::npos ? std::string() : gunzip(raw.substr(body + 4));
    };
    auto read_until = [&](const std::string& what) {
        char buf[4096];
        asio::error_code ec;
        while (text().find(what) == std::string::npos) {
            const size_t n = s.read_some(asio::buffer(buf), ec);
            if (ec) return false;
            raw.append(buf, n);
        }
        return true;
    };
    ASSERT_TRUE(read_until("\n\n")) << raw;
    EXPECT_NE(raw.find("Content-Encoding: gzip\r\n"), std::string::npos) << raw;
    std::string events = text();
    ASSERT_EQ(events.rfind("retry: 2000\ndata: ", 0), 0u) << events;
    Json::Value doc = parse(events.substr(18, events.find("\n\n") - 18));

    m.publish(21, "zrt4600a-dc", 5108, decode_image(5108, dc_image(48.25f)));
    ASSERT_TRUE(read_until("event: change\ndata: ")) << text();
    ASSERT_TRUE(read_until("]\n\n")) << text();
    events = text();
    const size_t at = events.find("event: change\ndata: ") + 20;
    const Json::Value changes = parse(events.substr(at, events.find("\n\n", at) - at));
    apply_status_changes(doc, changes);
    EXPECT_EQ(doc["systems"][0]["devices"][0]["data_id"], 21);
    EXPECT_NE(Json::writeString(Json::StreamWriterBuilder(), doc).find("48.25"), std::string::npos) << doc;
    EXPECT_LT(events.size() - at, 2000u) << "a change of one value sent as much as the status";

    // A client that takes no gzip gets plain text; so does one that refuses it.
    const std::string plain = http(server.port(), "GET /api/v1/status HTTP/1.1\r\nAccept-Encoding: gzip;q=0\r\n\r\n");
    EXPECT_EQ(plain.find("Content-Encoding"), std::string::npos) << plain;
    EXPECT_NE(plain.find("\"data_id\":21"), std::string::npos);
}

TEST(WebConfig, IsReadAndEveryFaultNamesTheFileAndTheKey) {
    const auto dir = std::filesystem::temp_directory_path() / ("zrt-webcfg-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string file = (dir / "web.yml").string();
    auto write = [&](const std::string& text) { std::ofstream(file) << text; };
    // A hash libxcrypt made, as htpasswd -B would.
    char setting[64];
    ASSERT_NE(crypt_gensalt_rn("$2b$", 4, nullptr, 0, setting, sizeof setting), nullptr);
    crypt_data cd{};
    const std::string hash = crypt_r("s3cret", setting, &cd);
    ASSERT_EQ(hash.size(), 60u);

    write("basic_auth_users:\n  prom: " + hash + "\nhttp_server_config:\n  headers:\n    X-Frame-Options: deny\n");
    const WebConfig w = load_web_config(file);
    EXPECT_EQ(w.tls, nullptr);
    ASSERT_EQ(w.users.count("prom"), 1u);
    EXPECT_TRUE(bcrypt_matches("s3cret", w.users.at("prom")));
    EXPECT_FALSE(bcrypt_matches("s3cret ", w.users.at("prom")));
    EXPECT_FALSE(bcrypt_matches("", w.users.at("prom")));
    ASSERT_EQ(w.headers.size(), 1u);
    EXPECT_EQ(w.headers[0].second, "deny");
    write("");
    EXPECT_TRUE(load_web_config(file).users.empty()) << "an empty file asks for nothing";

    const std::pair<std::string, std::string> bad[] = {
        {"basic_auth_user:\n  prom: x\n", "basic_auth_user: unknown key"},
        {"basic_auth_users:\n  prom: plaintext\n", "basic_auth_users.prom: not a bcrypt hash"},
        {"basic_auth_users:\n  prom: " + hash.substr(0, 59) + "\n", "basic_auth_users.prom: not a bcrypt hash"},
        {"basic_auth_users: [a]\n", "basic_auth_users: must be a map"},
        {"tls_server_config:\n  cert_file: nope.crt\n  key_file: nope.key\n",
         "tls_server_config.cert_file: cannot read " + (dir / "nope.crt").string()},
        {"tls_server_config:\n  certfile: a\n", "tls_server_config.certfile: unknown key in tls_server_config"},
        {"tls_server_config:\n  min_version: TLS14\n", "tls_server_config.min_version: \"TLS14\" is none of"},
        {"http_server_config:\n  headers:\n    Content-Type: x\n", "http_server_config.headers.Content-Type: set by"},
        {"http_server_config:\n  http2: maybe\n", "http_server_config.http2: must be true or false"},
        {"tls_server_config: [\n", "line "},
    };
    for (const auto& [text, expected] : bad) {
        write(text);
        try {
            load_web_config(file);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()).rfind(file + ": ", 0), 0u) << e.what();
            EXPECT_NE(std::string(e.what()).find(expected), std::string::npos) << e.what();
        }
    }
    try {
        load_web_config((dir / "missing.yml").string());
        ADD_FAILURE() << "a missing file was accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find("missing.yml: cannot read"), std::string::npos) << e.what();
    }
    std::filesystem::remove_all(dir);
}

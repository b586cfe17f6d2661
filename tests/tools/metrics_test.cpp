// The metrics exposition writer, the host's metrics state, the HTTP endpoint, the default
// paths beside a program and the journal priority prefixes.
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <asio/connect.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>
#include <gtest/gtest.h>
#include <unistd.h>

#include "tools/core/diag_log.h"
#include "tools/metrics/metrics.h"
#include "tools/view/output.h"
#include "tools/core/paths.h"

using namespace zrt::host;

namespace {

// A DC screen image with v = 53.5 V, i absent (no-value pattern) and fuse 6 blown.
std::vector<uint8_t> dc_image() {
    std::vector<uint8_t> img(166, 0);
    const float v = 53.5f;
    std::memcpy(img.data() + 4, &v, 4);
    const uint32_t absent = 0x20202020u;
    std::memcpy(img.data() + 8, &absent, 4);
    img[80] = 64;
    img[81 + 5] = 3;
    return img;
}

bool has_line(const std::string& text, const std::string& line) {
    return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

// One HTTP exchange with the endpoint; returns the whole response.
std::string http(uint16_t port, const std::string& request) {
    asio::io_context io;
    asio::ip::tcp::socket s(io);
    s.connect({asio::ip::make_address("127.0.0.1"), port});
    asio::write(s, asio::buffer(request));
    std::string out;
    asio::error_code ec;
    char buf[4096];
    for (;;) {
        const size_t n = s.read_some(asio::buffer(buf), ec);
        out.append(buf, n);
        if (ec) break;
    }
    return out;
}

}  // namespace

TEST(Exposition, FamiliesCountersEscapingNumbersAndTheEndLine) {
    Exposition x;
    x.family("zrt4600a_cycles", "counter", "Cycles \"done\" \\ since\nstart");
    x.sample({{"site", "a\"b\\c\nd"}}, 7);
    x.family("zrt4600a_value", "gauge", "Values");
    x.sample({{"name", "交流输入缺相告警"}}, 220.8f);
    x.sample({}, 0.1);
    x.sample({}, std::nan(""));
    x.sample({}, -1.0 / 0.0);
    const std::string t = x.finish();
    EXPECT_TRUE(has_line(t, "# HELP zrt4600a_cycles Cycles \\\"done\\\" \\\\ since\\nstart")) << t;
    EXPECT_TRUE(has_line(t, "# TYPE zrt4600a_cycles counter")) << t;
    EXPECT_TRUE(has_line(t, "zrt4600a_cycles_total{site=\"a\\\"b\\\\c\\nd\"} 7")) << t;
    EXPECT_TRUE(has_line(t, "zrt4600a_value{name=\"交流输入缺相告警\"} 220.8")) << t;
    EXPECT_TRUE(has_line(t, "zrt4600a_value 0.1")) << t;
    EXPECT_TRUE(has_line(t, "zrt4600a_value NaN")) << t;
    EXPECT_TRUE(has_line(t, "zrt4600a_value -Inf")) << t;
    EXPECT_EQ(t.substr(t.size() - 6), "# EOF\n");
    EXPECT_EQ(x.finish(), "# EOF\n");  // the writer starts over

    // The older text format names counters with _total, has no end line, no info type.
    Exposition p(Exposition::Format::PrometheusText);
    p.family("zrt4600a_cycles", "counter", "say \"x\"");
    p.sample({}, 1);
    p.family("zrt4600a_build", "info", "Build");
    p.sample({{"version", "1.0.0"}}, 1);
    const std::string q = p.finish();
    EXPECT_TRUE(has_line(q, "# HELP zrt4600a_cycles_total say \"x\"")) << q;
    EXPECT_TRUE(has_line(q, "# TYPE zrt4600a_cycles_total counter")) << q;
    EXPECT_TRUE(has_line(q, "# TYPE zrt4600a_build_info gauge")) << q;
    EXPECT_EQ(q.find("# EOF"), std::string::npos);

    Exposition bad;
    EXPECT_THROW(bad.sample({}, 1), std::logic_error);
    EXPECT_THROW(bad.family("9lives", "gauge", ""), std::invalid_argument);
    EXPECT_THROW(bad.family("x_total", "counter", ""), std::invalid_argument);
    EXPECT_THROW(bad.family("x", "histogram", ""), std::invalid_argument);
    bad.family("x", "gauge", "");
    EXPECT_THROW(bad.sample({{"bad-label", "v"}}, 1), std::invalid_argument);
    EXPECT_THROW(bad.sample({{"__reserved", "v"}}, 1), std::invalid_argument);
}

TEST(MetricsState, ValuesAlarmsCountersAndLineState) {
    MetricsState m("north \"7\"");
    std::string t = m.render();
    EXPECT_TRUE(has_line(t, "zrt4600a_line_up{site=\"north \\\"7\\\"\"} 0")) << t;
    EXPECT_TRUE(has_line(t, "zrt4600a_cycles_total{site=\"north \\\"7\\\"\"} 0")) << t;
    EXPECT_EQ(t.find("zrt4600a_cycle_duration_seconds{"), std::string::npos) << "no duration before a cycle";

    m.publish(21, "zrt4600a-dc", 5108, dc_image());
    m.publish(99, "odd", 5108, std::vector<uint8_t>(3, 0));  // does not fit: no values, no failure
    m.alarm({21, "zrt4600a-dc", "DC_5", "熔丝断", "06030", 6, 1}, true);
    m.alarm({21, "zrt4600a-dc", "DC_6", "gone", "06030", 7, 1}, true);
    m.alarm({21, "zrt4600a-dc", "DC_6", "gone", "06030", 7, 1}, false);
    CycleStats c;
    c.n = 3;
    c.duration_ms = 1500;
    c.timeouts = 2;
    c.bad_frames = 1;
    c.total_errors = 3;
    m.cycle(c);
    c.n = 4;
    c.timeouts = 1;
    c.bad_frames = 0;
    c.total_errors = 4;
    c.duration_ms = 1250;
    m.cycle(c);
    m.set_line_up(true);

    t = m.render();
    const std::string dev = "site=\"north \\\"7\\\"\",data_id=\"21\",device_type=\"zrt4600a-dc\"";
    EXPECT_TRUE(has_line(t, "zrt4600a_value{" + dev + ",key=\"v\",unit=\"V\"} 53.5")) << t;
    EXPECT_EQ(t.find("key=\"i\""), std::string::npos) << "an absent value is left out";
    EXPECT_TRUE(has_line(t, "zrt4600a_value{" + dev + ",key=\"fuse_5\"} 3")) << t;
    EXPECT_EQ(t.find("data_id=\"99\",device_type=\"odd\",key"), std::string::npos);
    EXPECT_TRUE(has_line(t, "zrt4600a_alarm_active{" + dev +
                                ",key=\"DC_5\",seq=\"6\",name=\"熔丝断\",level=\"1\",signal_id=\"06030\"} 1"))
        << t;
    EXPECT_EQ(t.find("key=\"DC_6\""), std::string::npos) << "a cleared alarm is gone";
    EXPECT_TRUE(has_line(t, "zrt4600a_cycles_total{site=\"north \\\"7\\\"\"} 4")) << t;
    EXPECT_TRUE(has_line(t, "zrt4600a_timeouts_total{site=\"north \\\"7\\\"\"} 3")) << t;
    EXPECT_TRUE(has_line(t, "zrt4600a_bad_frames_total{site=\"north \\\"7\\\"\"} 1")) << t;
    EXPECT_TRUE(has_line(t, "zrt4600a_errors_total{site=\"north \\\"7\\\"\"} 4")) << t;
    EXPECT_TRUE(has_line(t, "zrt4600a_cycle_duration_seconds{site=\"north \\\"7\\\"\"} 1.25")) << t;
    EXPECT_TRUE(has_line(t, "zrt4600a_line_up{site=\"north \\\"7\\\"\"} 1")) << t;
    EXPECT_NE(t.find("zrt4600a_image_age_seconds{" + dev + "} "), std::string::npos) << t;
}

TEST(MetricsEndpoint, ListenAddressesAreParsedStrictly) {
    EXPECT_EQ(parse_listen_address("9100").address, "127.0.0.1");
    EXPECT_EQ(parse_listen_address("9100").port, 9100);
    EXPECT_EQ(parse_listen_address("0.0.0.0:80").address, "0.0.0.0");
    EXPECT_EQ(parse_listen_address("localhost:1").address, "127.0.0.1");
    EXPECT_EQ(parse_listen_address("[::1]:9464").address, "::1");
    EXPECT_EQ(parse_listen_address("[::1]:9464").port, 9464);
    for (const char* bad : {"", ":9100", "host.example:9100", "1.2.3.4:", "1.2.3.4:65536", "1.2.3.4:9x", "::1:80",
                            "[::1]9100", "[::1]:"})
        EXPECT_THROW(parse_listen_address(bad), std::invalid_argument) << bad;
}

TEST(MetricsEndpoint, ServesBothFormatsRefusesOthersAndAnIdleClientBlocksNoScrape) {
    MetricsState m("s1");
    m.publish(21, "zrt4600a-dc", 5108, dc_image());
    MetricsServer server({"127.0.0.1", 0}, [&m](Exposition::Format f) { return m.render(f); });
    ASSERT_NE(server.port(), 0);
    EXPECT_EQ(server.url(), "http://127.0.0.1:" + std::to_string(server.port()) + "/metrics");

    // A client that connects and sends nothing holds no one up.
    asio::io_context io;
    asio::ip::tcp::socket idle(io);
    idle.connect({asio::ip::make_address("127.0.0.1"), server.port()});

    const std::string om = http(server.port(), "GET /metrics HTTP/1.1\r\nHost: x\r\n"
                                                 "Accept: application/openmetrics-text;version=1.0.0,text/plain;q=0.5\r\n\r\n");
    EXPECT_EQ(om.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << om;
    EXPECT_NE(om.find("Content-Type: application/openmetrics-text; version=1.0.0; charset=utf-8\r\n"), std::string::npos);
    EXPECT_NE(om.find("key=\"v\",unit=\"V\"} 53.5\n"), std::string::npos) << om;
    EXPECT_EQ(om.substr(om.size() - 6), "# EOF\n");
    const size_t body = om.find("\r\n\r\n") + 4;
    EXPECT_NE(om.find("Content-Length: " + std::to_string(om.size() - body) + "\r\n"), std::string::npos);

    const std::string text = http(server.port(), "GET /metrics?x=1 HTTP/1.0\r\n\r\n");
    EXPECT_NE(text.find("Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("# TYPE zrt4600a_cycles_total counter\n"), std::string::npos) << text;

    const std::string head = http(server.port(), "HEAD /metrics HTTP/1.1\r\n\r\n");
    EXPECT_EQ(head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    EXPECT_EQ(head.substr(head.size() - 4), "\r\n\r\n") << "HEAD sends no body";

    EXPECT_EQ(http(server.port(), "GET / HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 404 ", 0), 0u);
    const std::string post = http(server.port(), "POST /metrics HTTP/1.1\r\n\r\n");
    EXPECT_EQ(post.rfind("HTTP/1.1 405 ", 0), 0u);
    EXPECT_NE(post.find("Allow: GET, HEAD\r\n"), std::string::npos);
    EXPECT_EQ(http(server.port(), "nonsense\r\n\r\n").rfind("HTTP/1.1 400 ", 0), 0u);
    EXPECT_EQ(http(server.port(), "GET /metrics HTTP/1.1\r\nX: " + std::string(10000, 'a') + "\r\n\r\n")
                  .rfind("HTTP/1.1 431 ", 0),
              0u);

    // A second server on the same port is refused, naming the address.
    try {
        MetricsServer again({"127.0.0.1", server.port()}, [](Exposition::Format) { return std::string(); });
        FAIL() << "a second server listened on a port in use";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("127.0.0.1:" + std::to_string(server.port())), std::string::npos)
            << e.what();
    }
}

TEST(DefaultPaths, BuildTreeFirstThenTheInstalledLayoutAndTheVersion) {
    namespace fs = std::filesystem;
    const fs::path root = fs::temp_directory_path() / ("zrt-paths-" + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::create_directories(root / "tools");
    fs::create_directories(root / "bin");
    // Installed layout: nothing from a build tree beside bin/.
    zrt::DefaultPaths d = zrt::default_paths_for((root / "bin").string());
    EXPECT_EQ(d.plugin, (root / ZRT_TEST_REL_PKGLIBDIR / "zrt4600a.so").lexically_normal().string());
    EXPECT_EQ(d.examples, (root / "share/zrt4600a/examples").string());
    // Build tree: plugin/ and examples/ beside the program's folder.
    fs::create_directories(root / "plugin");
    fs::create_directories(root / "examples");
    std::ofstream(root / "plugin/zrt4600a.so") << "x";
    std::ofstream(root / "examples/site.json") << "{}";
    d = zrt::default_paths_for((root / "tools").string());
    EXPECT_EQ(d.plugin, (root / "plugin/zrt4600a.so").string());
    EXPECT_EQ(d.examples, (root / "examples").string());
    fs::remove_all(root);

    const std::string v = zrt::version_text("zrt4600a-host");
    EXPECT_EQ(v.rfind("zrt4600a-host 1.", 0), 0u) << v;
    EXPECT_NE(v.find("(revision "), std::string::npos) << v;
}

TEST(DiagLog, JournalLinesCarryTheirPriorityOnEveryLine) {
    EXPECT_EQ(diag_line(0, "bad", false), "zrt4600a-host: bad\n");
    EXPECT_EQ(diag_line(0, "bad", true), "<3>zrt4600a-host: bad\n");
    EXPECT_EQ(diag_line(1, "w", true), "<4>zrt4600a-host: w\n");
    EXPECT_EQ(diag_line(2, "i", true), "<6>zrt4600a-host: i\n");
    EXPECT_EQ(diag_line(3, "a\nb", true), "<7>zrt4600a-host: a\n<7>zrt4600a-host: b\n");
    EXPECT_EQ(diag_line(9, "x", true), "<7>zrt4600a-host: x\n");
}

TEST(Metrics, TimeOutsAndBadFramesCountWhenTheyHappenAndTheCycleAddsOnlyTheRest) {
    MetricsState m("s");
    m.timeout();
    m.timeout();
    m.bad_frames(1);
    std::string t = m.render();
    // During an outage no cycle ends, and the counters move all the same.
    EXPECT_TRUE(has_line(t, "zrt4600a_timeouts_total{site=\"s\"} 2")) << t;
    EXPECT_TRUE(has_line(t, "zrt4600a_bad_frames_total{site=\"s\"} 1")) << t;
    EXPECT_TRUE(has_line(t, "zrt4600a_errors_total{site=\"s\"} 3")) << t;
    CycleStats c;
    c.n = 1;
    c.timeouts = 3;  // one of them not counted as it happened
    c.bad_frames = 1;
    c.total_errors = 4;
    m.cycle(c);
    t = m.render();
    EXPECT_TRUE(has_line(t, "zrt4600a_timeouts_total{site=\"s\"} 3")) << t;
    EXPECT_TRUE(has_line(t, "zrt4600a_bad_frames_total{site=\"s\"} 1")) << t;
    EXPECT_TRUE(has_line(t, "zrt4600a_errors_total{site=\"s\"} 4")) << t;
}

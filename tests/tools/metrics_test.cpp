// The metrics exposition writer, the host's metrics state and its families, the HTTP server
// (metrics, status, event stream, live page), the default
// paths beside a program and the journal priority prefixes.
#include <chrono>
#include <cstring>
#include <filesystem>
#include <set>
#include <sstream>
#include <fstream>
#include <string>
#include <thread>

#include <asio/connect.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>
#include <gtest/gtest.h>
#include <json/json.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "tools/core/diag_log.h"
#include "tools/core/image_decode.h"
#include "tools/core/alarm_names.h"
#include "tools/metrics/families.h"
#include "tools/metrics/http_server.h"
#include "tools/metrics/metrics.h"
#include "tools/view/output.h"
#include "base/paths.h"

using namespace zrt::host;

namespace {

void put_float(std::vector<uint8_t>& img, size_t at, float v) { std::memcpy(img.data() + at, &v, 4); }

// A DC screen image with v = 53.5 V, i absent (no-value pattern) and fuse 6 blown.
std::vector<uint8_t> dc_image(float v = 53.5f) {
    std::vector<uint8_t> img(166, 0);
    put_float(img, 4, v);
    const uint32_t absent = 0x20202020u;
    std::memcpy(img.data() + 8, &absent, 4);
    img[80] = 64;
    img[81 + 5] = 3;
    return img;
}

// An AC screen image of two input channels; channel 2 reads 221.5/220.8/222.1 V at 50 Hz
// with phase B missing, phase A current 35.2 A; one user state.
std::vector<uint8_t> ac_image() {
    std::vector<uint8_t> img(32 + 2 * 30, 0);
    img[16] = 2;
    img[18] = 1;
    put_float(img, 4, 35.2f);
    const size_t ch = 32 + 30;
    put_float(img, ch, 221.5f);
    put_float(img, ch + 4, 220.8f);
    put_float(img, ch + 8, 222.1f);
    put_float(img, ch + 12, 50.0f);
    img[ch + 17 + 1] = 3;
    return img;
}

// A rectifier group image of two modules: 10.4 A and 10.1 A, the second one faulty; each
// has two user values.
std::vector<uint8_t> rc_image() {
    std::vector<uint8_t> img(65 + 2 * 32, 0);
    img[57] = 2;
    img[32] = 2;  // DC user parameters
    put_float(img, 53, 53.5f);
    put_float(img, 65, 10.4f);
    img[65 + 4] = 2;
    put_float(img, 65 + 32, 10.1f);
    img[65 + 32 + 4] = 2;
    img[65 + 32 + 26] = 1;
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
    p.family("zrt4600a_x_volts", "gauge", "X", "volts");
    const std::string q = p.finish();
    EXPECT_TRUE(has_line(q, "# HELP zrt4600a_cycles_total say \"x\"")) << q;
    EXPECT_TRUE(has_line(q, "# TYPE zrt4600a_cycles_total counter")) << q;
    EXPECT_TRUE(has_line(q, "# TYPE zrt4600a_build_info gauge")) << q;
    EXPECT_EQ(q.find("# UNIT"), std::string::npos) << "the older format has no unit line";
    EXPECT_EQ(q.find("# EOF"), std::string::npos);

    Exposition bad;
    EXPECT_THROW(bad.sample({}, 1), std::logic_error);
    EXPECT_THROW(bad.family("9lives", "gauge", ""), std::invalid_argument);
    EXPECT_THROW(bad.family("x_total", "counter", ""), std::invalid_argument);
    EXPECT_THROW(bad.family("x", "histogram", ""), std::invalid_argument);
    EXPECT_THROW(bad.family("x_volts_total", "gauge", "", "volts"), std::invalid_argument);
    EXPECT_THROW(bad.family("volts", "gauge", "", "volts"), std::invalid_argument);
    EXPECT_THROW(bad.family("x_kilovolts", "gauge", "", "volts"), std::invalid_argument);
    bad.family("x", "gauge", "");
    EXPECT_THROW(bad.sample({{"bad-label", "v"}}, 1), std::invalid_argument);
    EXPECT_THROW(bad.sample({{"__reserved", "v"}}, 1), std::invalid_argument);
}

TEST(MetricsState, EveryValueInItsFamilyAlarmsWithoutSequenceAndCountersAsTheyHappen) {
    MetricsState m("north \"7\"", 1);
    std::string t = m.render();
    const std::string sys = "site=\"north \\\"7\\\"\",system=\"1\"";
    EXPECT_TRUE(has_line(t, "zrt4600a_line_up{" + sys + "} 0")) << t;
    EXPECT_TRUE(has_line(t, "zrt4600a_cycles_total{" + sys + "} 0")) << t;
    EXPECT_EQ(t.find("zrt4600a_last_cycle_timestamp_seconds{"), std::string::npos) << "no cycle yet";
    EXPECT_TRUE(has_line(t, "# UNIT zrt4600a_dc_output_voltage_volts volts")) << t;

    m.publish(21, "zrt4600a-dc", 5108, decode_image(5108, dc_image()));
    m.publish(11, "zrt4600a-ac", 5106, decode_image(5106, ac_image()));
    m.publish(1, "zrt4600a-rc", 5107, decode_image(5107, rc_image()));
    m.publish(99, "odd", 5108, decode_image(5108, std::vector<uint8_t>(3, 0)));  // does not fit: no values, no failure
    // Two instances of one alarm key are two series; the sequence is no part of either.
    m.alarm({21, "zrt4600a-dc", "DC_3", "电池熔丝故障告警", "06001", 7, 1, "直流6电池熔丝故障告警"}, true);
    m.alarm({21, "zrt4600a-dc", "DC_3", "电池熔丝故障告警", "06001", 8, 1, "直流7电池熔丝故障告警"}, true);
    m.alarm({21, "zrt4600a-dc", "DC_3", "电池熔丝故障告警", "06001", 9, 1, "直流6电池熔丝故障告警"}, true);
    m.alarm({21, "zrt4600a-dc", "DC_3", "电池熔丝故障告警", "06001", 8, 1, "直流7电池熔丝故障告警"}, false);
    m.alarm({11, "zrt4600a-ac", "AC_99", "未知告警", "06099", 3, 3, "其他告警"}, true);
    CycleStats c;
    c.n = 3;
    c.duration_ms = 1250;
    c.timeouts = 2;
    c.bad_frames = 1;
    c.end = std::chrono::system_clock::time_point(std::chrono::seconds(1800000000));
    m.cycle(c);  // 2 time-outs and 1 bad frame that nobody counted as they happened
    m.timeout({});
    m.bad_frames({}, 3);
    m.count_stale_frame();
    m.reply_received({1, 0x42, 4, 0});
    m.reply_received({1, 0x42, 4, 0});
    m.set_line_up(true);
    m.set_line_up(false);
    m.set_line_up(false);
    m.set_line_up(true);
    m.set_line_up(false);

    t = m.render();
    const std::string dc = sys + ",screen=\"21\"";
    EXPECT_TRUE(has_line(t, "zrt4600a_dc_output_voltage_volts{" + dc + "} 53.5")) << t;
    EXPECT_EQ(t.find("zrt4600a_dc_output_current_amperes{"), std::string::npos) << "an absent value is left out";
    EXPECT_TRUE(has_line(t, "zrt4600a_dc_fuse_state{" + dc + ",fuse=\"6\",state=\"blown\"} 1")) << t;
    EXPECT_TRUE(has_line(t, "zrt4600a_dc_fuse_state{" + dc + ",fuse=\"5\",state=\"blown\"} 0")) << t;
    EXPECT_TRUE(has_line(t, "zrt4600a_dc_output_voltage_alarm_state{" + dc + ",state=\"normal\"} 1")) << t;
    EXPECT_TRUE(has_line(t, "zrt4600a_dc_output_voltage_alarm_state{" + dc + ",state=\"low\"} 0")) << t;
    const std::string ac = sys + ",screen=\"11\"";
    EXPECT_TRUE(has_line(t, "zrt4600a_ac_input_voltage_volts{" + ac + ",input=\"2\",phase=\"C\"} 222.1")) << t;
    EXPECT_TRUE(has_line(t, "zrt4600a_ac_input_frequency_hertz{" + ac + ",input=\"2\"} 50")) << t;
    EXPECT_TRUE(has_line(t, "zrt4600a_ac_input_voltage_alarm_state{" + ac + ",input=\"2\",phase=\"B\",state=\"missing\"} 1"))
        << t;
    EXPECT_TRUE(has_line(t, "zrt4600a_ac_input_voltage_alarm_state{" + ac + ",input=\"2\",phase=\"A\",state=\"missing\"} 0"))
        << t;
    EXPECT_TRUE(has_line(t, "zrt4600a_ac_phase_current_amperes{" + ac + ",phase=\"A\"} 35.2")) << t;
    EXPECT_TRUE(has_line(t, "zrt4600a_rectifier_output_current_amperes{" + sys + ",module=\"2\"} 10.1")) << t;
    EXPECT_TRUE(has_line(t, "zrt4600a_rectifier_fault_state{" + sys + ",module=\"2\",state=\"fault\"} 1")) << t;
    EXPECT_TRUE(has_line(t, "zrt4600a_rectifier_fault_state{" + sys + ",module=\"1\",state=\"fault\"} 0")) << t;
    EXPECT_TRUE(has_line(t, "zrt4600a_device_info{" + sys + ",data_id=\"21\",device_type=\"zrt4600a-dc\",model=\"\"} 1"))
        << t;
    EXPECT_EQ(t.find("screen=\"99\""), std::string::npos);

    const std::string fuse = "zrt4600a_alarm_active{" + sys +
                             ",device=\"zrt4600a-dc\",data_id=\"21\",key=\"DC_3\",signal_id=\"06001\",level=\"1\","
                             "severity=\"critical\",alarm=\"Battery fuse fault\",name=\"电池熔丝故障告警\",instance=\"";
    EXPECT_TRUE(has_line(t, fuse + "直流6电池熔丝故障告警\"} 1")) << t;
    EXPECT_EQ(t.find("直流7电池熔丝故障告警"), std::string::npos) << "a cleared alarm is gone";
    EXPECT_EQ(t.find("seq="), std::string::npos);
    // An alarm the table does not know keeps the system's text as its English label.
    EXPECT_NE(t.find("level=\"3\",severity=\"minor\",alarm=\"未知告警\",name=\"未知告警\""), std::string::npos) << t;

    EXPECT_TRUE(has_line(t, "zrt4600a_cycles_total{" + sys + "} 3")) << t;
    EXPECT_TRUE(has_line(t, "zrt4600a_timeouts_total{" + sys + "} 3")) << t;
    EXPECT_TRUE(has_line(t, "zrt4600a_bad_frames_total{" + sys + "} 4")) << t;
    EXPECT_TRUE(has_line(t, "zrt4600a_stale_frames_total{" + sys + "} 1")) << t;
    EXPECT_TRUE(has_line(t, "zrt4600a_reply_rtn_total{" + sys + ",code=\"04\"} 2")) << t;
    EXPECT_TRUE(has_line(t, "zrt4600a_line_lost_total{" + sys + "} 2")) << t;
    EXPECT_TRUE(has_line(t, "zrt4600a_last_cycle_timestamp_seconds{" + sys + "} 1800000000")) << t;
    EXPECT_TRUE(has_line(t, "zrt4600a_cycle_duration_seconds{" + sys + "} 1.25")) << t;
    EXPECT_TRUE(has_line(t, "zrt4600a_line_up{" + sys + "} 0")) << t;
    EXPECT_NE(t.find("zrt4600a_image_age_seconds{" + sys + ",data_id=\"21\",device_type=\"zrt4600a-dc\"} "),
              std::string::npos)
        << t;

    // The status carries the same state as JSON.
    const uint64_t before = m.version();
    Json::Value st;
    std::istringstream in(m.status_json());
    ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &st, nullptr));
    const Json::Value& s0 = st["systems"][0];
    EXPECT_EQ(s0["site"].asString(), "north \"7\"");
    EXPECT_FALSE(s0["line"]["up"].asBool());
    EXPECT_EQ(s0["line"]["line_lost"].asUInt(), 2u);
    const Json::Value& dev = s0["devices"][0];
    EXPECT_EQ(dev["data_id"].asUInt(), 21u);
    EXPECT_GE(dev["age_s"].asDouble(), 0.0);
    EXPECT_EQ(dev["values"][0]["key"].asString(), "v");
    EXPECT_EQ(dev["values"][0]["unit"].asString(), "V");
    EXPECT_DOUBLE_EQ(dev["values"][0]["value"].asDouble(), 53.5);
    EXPECT_EQ(dev["values"][1]["key"].asString(), "i");
    EXPECT_TRUE(dev["values"][1]["value"].isNull()) << "absent shows as null";
    ASSERT_EQ(s0["alarms"].size(), 2u);
    EXPECT_EQ(s0["alarms"][1]["alarm"].asString(), "Battery fuse fault");
    EXPECT_EQ(s0["alarms"][1]["instance"].asString(), "直流6电池熔丝故障告警");
    EXPECT_EQ(s0["alarms"][1]["severity"].asString(), "critical");
    ASSERT_EQ(s0["dc_trend"]["21"].size(), 1u);
    EXPECT_DOUBLE_EQ(s0["dc_trend"]["21"][0][1].asDouble(), 53.5);
    EXPECT_EQ(m.version(), before) << "reading changes nothing";
    m.publish(21, "zrt4600a-dc", 5108, decode_image(5108, dc_image(48.25f)));
    EXPECT_GT(m.version(), before);
}

TEST(MetricFamilies, GeneratedFromTheFieldTablesEveryValueHasOneFamilyNamedForItsUnit) {
    std::vector<uint8_t> dc = dc_image();
    dc[12] = 2;  // M values
    dc[29] = 3;  // N values
    dc[66] = 1;  // user values
    std::set<std::string> names;
    for (const FamilyDef& f : value_families()) {
        EXPECT_TRUE(names.insert(f.name).second) << "two families named " << f.name;
        EXPECT_EQ(f.name.rfind("zrt4600a_", 0), 0u) << f.name;
    }
    for (const auto& [type, img] : std::vector<std::pair<int, std::vector<uint8_t>>>{
             {5106, ac_image()}, {5107, rc_image()}, {5108, dc}}) {
        const DecodedImage d = decode_image(type, img);
        ASSERT_TRUE(d.valid) << type;
        std::set<std::pair<size_t, std::vector<std::pair<std::string, std::string>>>> seen;
        for (const DecodedValue& v : d.values) {
            ValueSample s;
            ASSERT_TRUE(family_of(type, v, s)) << type << " " << v.key;
            // No two values of one image land on the same series.
            EXPECT_TRUE(seen.insert({s.family, s.labels}).second) << v.key;
            const std::string& name = value_families()[s.family].name;
            // A value with a unit lands in a family named for it, and only there.
            const char* suffix = v.unit == "V" ? "_volts" : v.unit == "A" ? "_amperes" : v.unit == "Hz" ? "_hertz" : "";
            if (*suffix) {
                ASSERT_GE(name.size(), std::strlen(suffix)) << v.key << " [" << name << "]";
                EXPECT_EQ(name.substr(name.size() - std::strlen(suffix)), suffix) << v.key;
            } else {
                EXPECT_TRUE(value_families()[s.family].unit.empty()) << v.key << " " << name;
            }
            if (v.key == "channel_1_c") {
                EXPECT_EQ(name, "zrt4600a_ac_input_voltage_volts");
                EXPECT_EQ(s.labels, (std::vector<std::pair<std::string, std::string>>{{"input", "2"}, {"phase", "C"}}));
            }
            if (v.key == "module_1_user_1") {
                EXPECT_EQ(name, "zrt4600a_rectifier_user_value");
                EXPECT_EQ(s.labels, (std::vector<std::pair<std::string, std::string>>{{"module", "2"}, {"index", "2"}}))
                    << v.key;
            }
            if (v.key == "dc_n_2") {
                EXPECT_EQ(name, "zrt4600a_dc_value");
                EXPECT_EQ(s.labels, (std::vector<std::pair<std::string, std::string>>{{"set", "N"}, {"index", "3"}}));
            }
        }
    }
    DecodedValue stray;
    stray.key = "v";
    ValueSample s;
    EXPECT_FALSE(family_of(5108, stray, s)) << "a value without its table row has no family";
    EXPECT_EQ(alarm_english("AC_8", "交流输入缺相告警"), "AC input phase missing");
    EXPECT_EQ(alarm_english("AC_8", "交流输入电压过低告警"), "交流输入电压过低告警") << "key and name must both match";
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

TEST(MetricsEndpoint, ServesEveryPathRefusesOthersKeepsItsLimitsAndAnIdleClientBlocksNoScrape) {
    MetricsState m("s1", 1);
    m.publish(21, "zrt4600a-dc", 5108, decode_image(5108, dc_image()));
    HttpLimits limits;
    limits.max_connections = 3;
    limits.max_idle = 3;
    limits.idle_timeout = std::chrono::milliseconds(1000);
    limits.request_timeout = std::chrono::milliseconds(1500);
    MetricsServer server({"127.0.0.1", 0}, m, limits);
    ASSERT_NE(server.port(), 0);
    EXPECT_EQ(server.url(), "http://127.0.0.1:" + std::to_string(server.port()) + "/metrics");

    {
        // A client that connects and sends nothing holds no one up.
        asio::io_context io;
        asio::ip::tcp::socket idle(io);
        idle.connect({asio::ip::make_address("127.0.0.1"), server.port()});

        const std::string om = http(server.port(), "GET /metrics HTTP/1.1\r\nHost: x\r\n"
                                                     "Accept: application/openmetrics-text;version=1.0.0,text/plain;q=0.5\r\n\r\n");
        EXPECT_EQ(om.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << om;
        EXPECT_NE(om.find("Content-Type: application/openmetrics-text; version=1.0.0; charset=utf-8\r\n"), std::string::npos);
        EXPECT_NE(om.find("zrt4600a_dc_output_voltage_volts{site=\"s1\",system=\"1\",screen=\"21\"} 53.5\n"), std::string::npos)
            << om;
        EXPECT_EQ(om.substr(om.size() - 6), "# EOF\n");
        const size_t body = om.find("\r\n\r\n") + 4;
        EXPECT_NE(om.find("Content-Length: " + std::to_string(om.size() - body) + "\r\n"), std::string::npos);
    }

    const std::string text = http(server.port(), "GET /metrics?x=1 HTTP/1.0\r\n\r\n");
    EXPECT_NE(text.find("Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("# TYPE zrt4600a_cycles_total counter\n"), std::string::npos) << text;

    const std::string head = http(server.port(), "HEAD /metrics HTTP/1.1\r\n\r\n");
    EXPECT_EQ(head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    EXPECT_EQ(head.substr(head.size() - 4), "\r\n\r\n") << "HEAD sends no body";
    EXPECT_EQ(head.find("Content-Length: 0\r\n"), std::string::npos) << head;

    const std::string status = http(server.port(), "GET /api/v1/status HTTP/1.1\r\n\r\n");
    EXPECT_NE(status.find("Content-Type: application/json"), std::string::npos) << status;
    EXPECT_NE(status.find("\"data_id\":21"), std::string::npos) << status;
    EXPECT_EQ(http(server.port(), "GET /healthz HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    const std::string page = http(server.port(), "GET / HTTP/1.1\r\n\r\n");
    EXPECT_NE(page.find("Content-Type: text/html"), std::string::npos);
    EXPECT_NE(page.find("new EventSource(\"events\")"), std::string::npos);

    EXPECT_EQ(http(server.port(), "GET /nothing HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 404 ", 0), 0u);
    const std::string post = http(server.port(), "POST /metrics HTTP/1.1\r\n\r\n");
    EXPECT_EQ(post.rfind("HTTP/1.1 405 ", 0), 0u);
    EXPECT_NE(post.find("Allow: GET, HEAD\r\n"), std::string::npos);
    EXPECT_EQ(http(server.port(), "nonsense\r\n\r\n").rfind("HTTP/1.1 400 ", 0), 0u);
    EXPECT_EQ(http(server.port(), "GET /metrics HTTP/1.1\r\nX: " + std::string(10000, 'a') + "\r\n\r\n")
                  .rfind("HTTP/1.1 431 ", 0),
              0u);
    EXPECT_EQ(http(server.port(), "GET /metrics HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello").rfind("HTTP/1.1 413 ", 0),
              0u);

    // Beyond the limit of waiting connections, the oldest that sent nothing makes room for a
    // new one; when every slot is busy answering (here: event streams), a new request gets
    // 503 at once. Each is counted.
    {
        asio::io_context io;
        std::vector<asio::ip::tcp::socket> idle;
        for (int k = 0; k < 3; ++k) {
            idle.emplace_back(io);
            idle.back().connect({asio::ip::make_address("127.0.0.1"), server.port()});
        }
        EXPECT_EQ(http(server.port(), "GET /healthz HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 200 OK\r\n", 0), 0u)
            << "a fourth connection waits for idle ones";
        std::vector<asio::ip::tcp::socket> streams;
        for (int k = 0; k < 3; ++k) {
            streams.emplace_back(io);
            streams.back().connect({asio::ip::make_address("127.0.0.1"), server.port()});
            asio::write(streams.back(), asio::buffer(std::string("GET /events HTTP/1.1\r\n\r\n")));
            char first[64];
            streams.back().read_some(asio::buffer(first));  // the stream has begun
        }
        const std::string full = http(server.port(), "GET /healthz HTTP/1.1\r\n\r\n");
        EXPECT_EQ(full.rfind("HTTP/1.1 503 ", 0), 0u) << full;
        streams.clear();
        std::string again;
        for (int k = 0; k < 50 && again.rfind("HTTP/1.1 200", 0) != 0; ++k) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            again = http(server.port(), "GET /metrics HTTP/1.1\r\n\r\n");
        }
        EXPECT_EQ(again.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << "closed streams never freed their slots";
        EXPECT_NE(again.find("zrt4600a_http_rejected_total{site=\"s1\",reason=\"full\"} "), std::string::npos);
        EXPECT_EQ(again.find("reason=\"full\"} 0\n"), std::string::npos) << "a 503 was not counted";
        EXPECT_NE(again.find("zrt4600a_http_rejected_total{site=\"s1\",reason=\"evicted\"} "), std::string::npos);
        EXPECT_EQ(again.find("reason=\"evicted\"} 0\n"), std::string::npos) << "an eviction was not counted";
    }

    // A second server on the same port is refused, naming the address.
    try {
        MetricsServer again({"127.0.0.1", server.port()}, m);
        FAIL() << "a second server listened on a port in use";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("127.0.0.1:" + std::to_string(server.port())), std::string::npos)
            << e.what();
    }
}

TEST(MetricsEndpoint, EventStreamSendsTheStatusAndEachChangeAndKeepsToItsLimit) {
    MetricsState m("s1", 1);
    m.publish(21, "zrt4600a-dc", 5108, decode_image(5108, dc_image()));
    HttpLimits limits;
    limits.max_streams = 1;
    limits.event_interval = std::chrono::milliseconds(100);
    MetricsServer server({"127.0.0.1", 0}, m, limits);

    asio::io_context io;
    asio::ip::tcp::socket s(io);
    s.connect({asio::ip::make_address("127.0.0.1"), server.port()});
    const timeval five{5, 0};  // a read that waits longer fails the test instead of hanging it
    ASSERT_EQ(setsockopt(s.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &five, sizeof five), 0);
    asio::write(s, asio::buffer(std::string("GET /events HTTP/1.1\r\n\r\n")));
    std::string got;
    // Reads until the stream holds `n` events.
    auto events = [&](size_t n) {
        auto count = [&got] {
            size_t c = 0;
            for (size_t at = got.find("\ndata: "); at != std::string::npos; at = got.find("\ndata: ", at + 1)) ++c;
            return c;
        };
        char buf[4096];
        asio::error_code ec;
        while (count() < n || got.rfind("\n\n") < got.rfind("\ndata: ")) {
            const size_t k = s.read_some(asio::buffer(buf), ec);
            if (ec) break;
            got.append(buf, k);
        }
        return count();
    };
    ASSERT_EQ(events(1), 1u) << got;
    EXPECT_EQ(got.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << got;
    EXPECT_NE(got.find("Content-Type: text/event-stream"), std::string::npos) << got;
    EXPECT_NE(got.find("\"value\":53.5"), std::string::npos) << got;

    // A second stream is refused while the first one runs.
    EXPECT_EQ(http(server.port(), "GET /events HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 503 ", 0), 0u);

    m.publish(21, "zrt4600a-dc", 5108, decode_image(5108, dc_image(48.25f)));
    ASSERT_EQ(events(2), 2u) << got;
    EXPECT_NE(got.find("\"value\":48.25"), std::string::npos) << got;
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
    MetricsState m("s", 1);
    m.timeout({});
    m.timeout({});
    m.bad_frames({}, 1);
    std::string t = m.render();
    // During an outage no cycle ends, and the counters move all the same.
    EXPECT_TRUE(has_line(t, "zrt4600a_timeouts_total{site=\"s\",system=\"1\"} 2")) << t;
    EXPECT_TRUE(has_line(t, "zrt4600a_bad_frames_total{site=\"s\",system=\"1\"} 1")) << t;
    EXPECT_TRUE(has_line(t, "zrt4600a_errors_total{site=\"s\",system=\"1\"} 3")) << t;
    CycleStats c;
    c.n = 1;
    c.timeouts = 3;  // one of them not counted as it happened
    c.bad_frames = 1;
    c.total_errors = 4;
    m.cycle(c);
    t = m.render();
    EXPECT_TRUE(has_line(t, "zrt4600a_timeouts_total{site=\"s\",system=\"1\"} 3")) << t;
    EXPECT_TRUE(has_line(t, "zrt4600a_bad_frames_total{site=\"s\",system=\"1\"} 1")) << t;
    EXPECT_TRUE(has_line(t, "zrt4600a_errors_total{site=\"s\",system=\"1\"} 4")) << t;
}

TEST(Metrics, StaleFramesAndReturnCodesCountAsTheyArrive) {
    MetricsState m("s", 1);
    Sink& sink = m;  // as the host's dispatcher hands them on
    sink.stale_frame({});
    sink.stale_frame({});
    sink.reply_received({1, 0x2A, 0x04, 0});
    const std::string t = m.render();
    EXPECT_TRUE(has_line(t, "zrt4600a_stale_frames_total{site=\"s\",system=\"1\"} 2")) << t;
    EXPECT_TRUE(has_line(t, "zrt4600a_reply_rtn_total{site=\"s\",system=\"1\",code=\"04\"} 1")) << t;
}

TEST(Metrics, EachSystemOnTheLineHasItsOwnLineAndCycleSamplesAndItsOwnStatusEntry) {
    MetricsState m("s", 1);
    Sink& sink = m;
    StartInfo info;
    info.systems = {{1, 1, "north"}, {2, 2, ""}};
    info.system_of = {{1, 0}, {21, 0}, {2, 1}, {22, 1}};
    sink.start(info);
    m.publish(21, "zrt4600a-dc", kDcRecordType, decode_image(kDcRecordType, dc_image(53.5f)));
    m.publish(22, "zrt4600a-dc", kDcRecordType, decode_image(kDcRecordType, dc_image(54.0f)));
    CycleStats c;
    c.n = 3;
    c.system = info.systems[0];
    sink.cycle_ended(c);
    sink.timeout(info.systems[1]);
    LineStatus lost;
    lost.up = false;
    lost.system = info.systems[1];
    sink.line(lost);
    // A late answer of system 2's, and return codes by the address that replied.
    sink.stale_frame(info.systems[1]);
    sink.reply_received({2, 0x2A, 0x04, 0});
    sink.reply_received({1, 0x2A, 0x06, 0});
    sink.reply_received({2, 0x2A, 0x04, 0});

    const std::string t = m.render(Exposition::Format::PrometheusText);
    EXPECT_TRUE(has_line(t, "zrt4600a_stale_frames_total{site=\"s\",system=\"1\"} 0")) << t;
    EXPECT_TRUE(has_line(t, "zrt4600a_stale_frames_total{site=\"s\",system=\"2\"} 1")) << t;
    EXPECT_TRUE(has_line(t, "zrt4600a_reply_rtn_total{site=\"s\",system=\"1\",code=\"06\"} 1")) << t;
    EXPECT_TRUE(has_line(t, "zrt4600a_reply_rtn_total{site=\"s\",system=\"2\",code=\"04\"} 2")) << t;
    EXPECT_EQ(t.find("system=\"1\",code=\"04\""), std::string::npos) << t;
    EXPECT_TRUE(has_line(t, "zrt4600a_cycles_total{site=\"s\",system=\"1\"} 3")) << t;
    EXPECT_TRUE(has_line(t, "zrt4600a_cycles_total{site=\"s\",system=\"2\"} 0")) << t;
    EXPECT_TRUE(has_line(t, "zrt4600a_timeouts_total{site=\"s\",system=\"1\"} 0")) << t;
    EXPECT_TRUE(has_line(t, "zrt4600a_timeouts_total{site=\"s\",system=\"2\"} 1")) << t;
    EXPECT_TRUE(has_line(t, "zrt4600a_line_up{site=\"s\",system=\"1\"} 1")) << t;
    EXPECT_TRUE(has_line(t, "zrt4600a_line_up{site=\"s\",system=\"2\"} 0")) << t;
    // System 2 never answered: its first report, lost, counts as a loss.
    EXPECT_TRUE(has_line(t, "zrt4600a_line_lost_total{site=\"s\",system=\"2\"} 1")) << t;
    EXPECT_TRUE(has_line(t, "zrt4600a_line_lost_total{site=\"s\",system=\"1\"} 0")) << t;
    // The system's name, joined on site and system.
    EXPECT_TRUE(has_line(t, "zrt4600a_system_info{site=\"s\",system=\"1\",name=\"north\",address=\"1\"} 1")) << t;
    EXPECT_TRUE(has_line(t, "zrt4600a_system_info{site=\"s\",system=\"2\",name=\"\",address=\"2\"} 1")) << t;
    // A device's values carry the label of the system that holds it.
    EXPECT_NE(t.find("system=\"2\",screen=\"22\""), std::string::npos) << t;
    EXPECT_NE(t.find("system=\"1\",screen=\"21\""), std::string::npos) << t;
    EXPECT_EQ(t.find("system=\"1\",screen=\"22\""), std::string::npos) << t;

    Json::Value st;
    std::istringstream in(m.status_json());
    ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &st, nullptr));
    ASSERT_EQ(st["systems"].size(), 2u);
    EXPECT_EQ(st["systems"][0]["name"].asString(), "north");
    EXPECT_EQ(st["systems"][1]["name"].asString(), "2");
    EXPECT_EQ(st["systems"][1]["address"].asInt(), 2);
    EXPECT_TRUE(st["systems"][0]["line"]["up"].asBool());
    EXPECT_FALSE(st["systems"][1]["line"]["up"].asBool());
    ASSERT_EQ(st["systems"][1]["devices"].size(), 1u);
    EXPECT_EQ(st["systems"][1]["devices"][0]["data_id"].asUInt(), 22u);
    EXPECT_EQ(st["systems"][0]["devices"][0]["data_id"].asUInt(), 21u);
    EXPECT_EQ(st["systems"][0]["line"]["stale_frames"].asUInt64(), 0u);
    EXPECT_EQ(st["systems"][1]["line"]["stale_frames"].asUInt64(), 1u);
}

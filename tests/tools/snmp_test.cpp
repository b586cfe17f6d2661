// The SNMP subagent's model: sensor rows from published images, entities, the active-alarm
// table with its notifications, the line, and the AgentX address check. The subagent itself
// runs against a real snmpd in scripts/snmp-check.sh.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cmath>
#include <cstring>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>
#include <json/reader.h>

#include "tools/app/settings_check.h"
#include "tools/core/host_error.h"
#include "tools/core/image_decode.h"
#include "tools/snmp/snmp_agent.h"
#include "tools/core/alarm_names.h"
#include "tools/snmp/snmp_feed.h"
#include "tools/snmp/snmp_sink.h"

using namespace zrt::snmp;

namespace {

void put_float(std::vector<uint8_t>& img, size_t at, float v) { std::memcpy(img.data() + at, &v, 4); }
void put_bits(std::vector<uint8_t>& img, size_t at, uint32_t bits) { std::memcpy(img.data() + at, &bits, 4); }

std::vector<uint8_t> dc_image(float v, std::optional<float> i) {
    std::vector<uint8_t> img(166, 0);
    put_float(img, 4, v);
    if (i)
        put_float(img, 8, *i);
    else
        put_bits(img, 8, 0x20202020u);  // not provided
    return img;
}

std::vector<uint8_t> rc_image(size_t modules) {
    std::vector<uint8_t> img(65 + 32 * modules, 0);
    put_float(img, 53, 53.5f);
    img[57] = static_cast<uint8_t>(modules);
    for (size_t m = 0; m < modules; ++m) put_float(img, 65 + 32 * m, 10.0f + static_cast<float>(m));
    return img;
}

SnmpFeed site_feed() {
    return SnmpFeed("north", 1, "zrt4600a",
                    {{11, "zrt4600a-ac"}, {21, "zrt4600a-dc"}, {1, "zrt4600a-rc"}});
}

const Entity* by_name(const SiteModel& m, const std::string& name) {
    for (const Entity& e : m.entities)
        if (e.name == name) return &e;
    return nullptr;
}

const Sensor* sensor(const SiteModel& m, uint32_t index) {
    for (const Sensor& s : m.sensors)
        if (s.index == index) return &s;
    return nullptr;
}

int64_t num(const VarMap& v, const Oid& entry, uint32_t column, uint32_t index) {
    auto it = v.find(entry + std::initializer_list<uint32_t>{column, index});
    EXPECT_NE(it, v.end()) << oid_text(entry) << "." << column << "." << index;
    return it == v.end() ? -999 : it->second.num;
}

std::string text(const VarMap& v, const Oid& entry, uint32_t column, uint32_t index) {
    auto it = v.find(entry + std::initializer_list<uint32_t>{column, index});
    EXPECT_NE(it, v.end()) << oid_text(entry) << "." << column << "." << index;
    return it == v.end() ? "?" : it->second.octets;
}

AlarmReport fault(uint32_t module) {
    return {1, "zrt4600a-rc", "RC_0", module, "06024", 2, "整流模块故障告警", "整流模块" + std::to_string(module + 1)};
}

}  // namespace

TEST(SnmpSensors, ValuesBecomeFixedPointRowsOfTheirQuantityAndAbsentOrStaleValuesReadUnavailable) {
    SnmpFeed feed = site_feed();
    const Steady::time_point t0 = Steady::now();
    feed.publish(21, "zrt4600a-dc", ::kDcRecordType, zrt::host::decode_image(::kDcRecordType, dc_image(53.5f, std::nullopt)), t0);
    SiteModel m = feed.snapshot();

    // Copies: the model is taken again below.
    ASSERT_TRUE(by_name(m, "DC screen 21 output voltage") && by_name(m, "DC screen 21 output current"));
    const Entity vs = *by_name(m, "DC screen 21 output voltage"), is = *by_name(m, "DC screen 21 output current");
    const Entity *v = &vs, *i = &is;
    const Entity* screen = m.entity(v->contained_in);
    ASSERT_TRUE(screen);
    EXPECT_EQ(screen->name, "DC screen 21");
    EXPECT_EQ(v->cls, PhysicalClass::Sensor);

    VarMap vars = render(m, {100000, t0});
    EXPECT_EQ(num(vars, kEntPhySensorEntry, 1, v->index), int(SensorType::VoltsDC));
    EXPECT_EQ(num(vars, kEntPhySensorEntry, 2, v->index), kScaleUnits);
    EXPECT_EQ(num(vars, kEntPhySensorEntry, 3, v->index), 1);
    EXPECT_EQ(num(vars, kEntPhySensorEntry, 4, v->index), 535);
    EXPECT_EQ(num(vars, kEntPhySensorEntry, 5, v->index), int(SensorStatus::Ok));
    EXPECT_EQ(text(vars, kEntPhySensorEntry, 6, v->index), "V");
    EXPECT_EQ(num(vars, kEntPhySensorEntry, 1, i->index), int(SensorType::Amperes));
    EXPECT_EQ(num(vars, kEntPhySensorEntry, 5, i->index), int(SensorStatus::Unavailable));
    EXPECT_EQ(num(vars, kEntPhySensorEntry, 4, i->index), 0);
    // Every sensor is an entity of class sensor under the same index.
    EXPECT_EQ(num(vars, kEntPhysicalEntry, 5, v->index), int(PhysicalClass::Sensor));
    EXPECT_EQ(num(vars, kEntPhysicalEntry, 4, v->index), screen->index);
    EXPECT_EQ(text(vars, kEntPhysicalEntry, 7, v->index), "DC screen 21 output voltage");

    // 61 s without a new image: the device's readings are stale.
    vars = render(m, {100000, t0 + std::chrono::seconds(61)});
    EXPECT_EQ(num(vars, kEntPhySensorEntry, 5, v->index), int(SensorStatus::Unavailable));
    EXPECT_EQ(num(vars, kEntPhySensorEntry, 4, v->index), 0);
    vars = render(m, {100000, t0 + std::chrono::seconds(60)});
    EXPECT_EQ(num(vars, kEntPhySensorEntry, 5, v->index), int(SensorStatus::Ok));
    // The time stamp is the agent's uptime when the value was read.
    EXPECT_EQ(num(vars, kEntPhySensorEntry, 7, v->index), 100000 - 6000);

    // A later image keeps the indexes and updates the value; the current comes back.
    feed.publish(21, "zrt4600a-dc", ::kDcRecordType, zrt::host::decode_image(::kDcRecordType, dc_image(-48.25f, 120.4f)), t0);
    m = feed.snapshot();
    vars = render(m, {100000, t0});
    EXPECT_EQ(num(vars, kEntPhySensorEntry, 4, v->index), -483);  // rounded to a tenth
    EXPECT_EQ(num(vars, kEntPhySensorEntry, 4, i->index), 1204);
    EXPECT_EQ(num(vars, kEntPhySensorEntry, 5, i->index), int(SensorStatus::Ok));
    EXPECT_EQ(by_name(m, "DC screen 21 output voltage")->index, v->index);

    // Images of unknown devices, or that do not decode, change nothing.
    const uint64_t version = feed.version();
    feed.publish(99, "zrt4600a-dc", ::kDcRecordType, zrt::host::decode_image(::kDcRecordType, dc_image(1, 1)), t0);
    feed.publish(21, "zrt4600a-dc", ::kDcRecordType, zrt::host::decode_image(::kDcRecordType, std::vector<uint8_t>(10, 0)), t0);
    EXPECT_EQ(feed.version(), version);
}

TEST(SnmpSensors, RectifierModulesAreReplaceableSuppliesInTheGroupAndAModuleGoneReadsUnavailable) {
    SnmpFeed feed = site_feed();
    const Steady::time_point t0 = Steady::now();
    feed.publish(1, "zrt4600a-rc", ::kRcRecordType, zrt::host::decode_image(::kRcRecordType, rc_image(3)), t0);
    SiteModel m = feed.snapshot();
    const Entity* group = by_name(m, "rectifier group");
    const Entity* module3 = by_name(m, "rectifier module 3");
    const Entity* current3 = by_name(m, "rectifier group module 3 output current");
    ASSERT_TRUE(current3);
    const uint32_t current3_index = current3->index;
    const Entity* out = by_name(m, "rectifier group output voltage");
    ASSERT_TRUE(group && module3 && current3 && out);
    EXPECT_EQ(module3->contained_in, group->index);
    EXPECT_EQ(module3->cls, PhysicalClass::PowerSupply);
    EXPECT_TRUE(module3->fru);
    EXPECT_EQ(module3->rel_pos, 3);
    EXPECT_EQ(current3->contained_in, module3->index);
    EXPECT_EQ(sensor(m, current3->index)->value, 120);
    EXPECT_EQ(sensor(m, out->index)->type, SensorType::VoltsDC);
    // The system and the site hold the group.
    const Entity* sys = m.entity(group->contained_in);
    ASSERT_TRUE(sys);
    EXPECT_EQ(sys->cls, PhysicalClass::Chassis);
    EXPECT_EQ(m.entity(sys->contained_in)->contained_in, 0u);

    feed.publish(1, "zrt4600a-rc", ::kRcRecordType, zrt::host::decode_image(::kRcRecordType, rc_image(2)), t0);
    m = feed.snapshot();
    EXPECT_EQ(sensor(m, current3_index)->status, SensorStatus::Unavailable);
    EXPECT_EQ(sensor(m, by_name(m, "rectifier group module 2 output current")->index)->status, SensorStatus::Ok);
}

TEST(SnmpSensors, FixedPointKeepsTheSensorRangeAndAcVoltagesAreAc) {
    EXPECT_EQ(to_fixed(53.5, 1)->value, 535);
    EXPECT_EQ(to_fixed(0.05, 1)->value, 1);
    EXPECT_EQ(to_fixed(-0.05, 1)->value, -1);
    EXPECT_EQ(to_fixed(1e8, 1)->value, 1000000000);
    EXPECT_FALSE(to_fixed(1e8 + 1, 1));
    EXPECT_FALSE(to_fixed(std::nan(""), 1));
    EXPECT_FALSE(to_fixed(INFINITY, 0));

    SnmpFeed feed = site_feed();
    std::vector<uint8_t> ac(32 + 30, 0);
    put_float(ac, 4, 35.2f);
    ac[16] = 1;
    put_float(ac, 32, 221.5f);
    put_float(ac, 32 + 12, 49.9f);
    feed.publish(11, "zrt4600a-ac", ::kAcRecordType, zrt::host::decode_image(::kAcRecordType, ac));
    const SiteModel m = feed.snapshot();
    EXPECT_EQ(sensor(m, by_name(m, "AC screen 11 channel 1 voltage AB/A")->index)->type, SensorType::VoltsAC);
    EXPECT_EQ(sensor(m, by_name(m, "AC screen 11 channel 1 voltage AB/A")->index)->value, 2215);
    EXPECT_EQ(sensor(m, by_name(m, "AC screen 11 channel 1 frequency")->index)->type, SensorType::Hertz);
    EXPECT_EQ(sensor(m, by_name(m, "AC screen 11 phase A current")->index)->type, SensorType::Amperes);
    const Sensor* alarm_state = sensor(m, by_name(m, "AC screen 11 phase A current alarm")->index);
    EXPECT_EQ(alarm_state->type, SensorType::Other);
    EXPECT_EQ(alarm_state->precision, 0);
}

TEST(SnmpAlarms, TheTableHoldsActiveAlarmsAndEveryChangeIsCountedAndNotifiedOnce) {
    SnmpFeed feed = site_feed();
    const auto t = SystemClock::time_point(std::chrono::seconds(1796774400));  // 2026-12-09 00:00:00 UTC
    feed.alarm(fault(5), true, t);
    feed.alarm(fault(5), true, t + std::chrono::seconds(5));  // the same rule again: no news
    feed.alarm(fault(6), true, t);
    SiteModel m = feed.snapshot();
    ASSERT_EQ(m.alarms.size(), 2u);
    EXPECT_EQ(m.alarm_changes, 2u);
    const ActiveAlarm a = m.alarms[0];
    EXPECT_EQ(a.index, 1u);
    EXPECT_EQ(a.name, "Rectifier module fault");
    EXPECT_EQ(a.text, "整流模块故障告警");
    EXPECT_EQ(a.entity, by_name(m, "rectifier group")->index);

    VarMap vars = render(m, {0, Steady::now()});
    EXPECT_EQ(text(vars, kZrtAlarmEntry, kAlmKey, 1), "RC_0");
    EXPECT_EQ(num(vars, kZrtAlarmEntry, kAlmSequence, 1), 5);
    EXPECT_EQ(text(vars, kZrtAlarmEntry, kAlmSignalId, 2), "06024");
    EXPECT_EQ(num(vars, kZrtAlarmEntry, kAlmSeverity, 2), 2);
    EXPECT_EQ(text(vars, kZrtAlarmEntry, kAlmRaised, 1), std::string("\x07\xea\x0c\x09\0\0\0\0+\0\0", 11));
    EXPECT_EQ(vars.at(kZrtAlarmChanges + std::initializer_list<uint32_t>{0}).num, 2);

    feed.alarm(fault(5), false, t + std::chrono::seconds(9));
    feed.alarm(fault(5), false, t + std::chrono::seconds(9));  // cleared already
    feed.alarm(fault(6), true, t);
    feed.alarm(fault(5), true, t + std::chrono::seconds(20));  // raised anew: a new number
    m = feed.snapshot();
    ASSERT_EQ(m.alarms.size(), 2u);
    EXPECT_EQ(m.alarms[1].index, 3u);
    EXPECT_EQ(m.alarm_changes, 4u);

    const std::vector<Notice> n = feed.take_notices();
    ASSERT_EQ(n.size(), 4u);
    EXPECT_EQ(n[2].kind, NoticeKind::AlarmCleared);
    EXPECT_EQ(n[2].alarm.index, 1u);          // the row it had
    EXPECT_EQ(n[2].alarm.raised, t);
    EXPECT_TRUE(feed.take_notices().empty());
    // A cleared alarm's notification carries the columns of the row it had.
    const auto cleared = notice_vars(n[2]);
    EXPECT_EQ(cleared.size(), 12u);
    EXPECT_EQ(cleared[0].first, (kZrtAlarmEntry + std::initializer_list<uint32_t>{kAlmSystem, 1}));
    EXPECT_EQ(notice_oid(n[2].kind), (Oid{1, 3, 6, 1, 4, 1, 99999, 0, 2}));

    // Alarms the last run left raised are listed, but are neither a change nor news.
    feed.restored({21, "zrt4600a-dc", "DC_3", 6, "06001", 1, "电池熔丝故障告警", "熔丝7"}, t);
    m = feed.snapshot();
    EXPECT_EQ(m.alarms.size(), 3u);
    EXPECT_EQ(m.alarm_changes, 4u);
    EXPECT_EQ(m.alarms.back().name, "Battery fuse fault");
    EXPECT_TRUE(feed.take_notices().empty());
    EXPECT_EQ(zrt::host::alarm_english_by_signal("AC_19", "06029"), "Phase B input current missing");
    EXPECT_EQ(zrt::host::alarm_english_by_signal("X", "12345"), "alarm 12345");
}

TEST(SnmpLine, LostAndBackAreNotifiedWhenTheStateChanges) {
    SnmpFeed feed = site_feed();
    feed.line(true);
    EXPECT_TRUE(feed.take_notices().empty());
    const auto t = SystemClock::now();
    feed.line(false, t);
    feed.line(false, t);
    feed.line(true, t);
    const std::vector<Notice> n = feed.take_notices();
    ASSERT_EQ(n.size(), 2u);
    EXPECT_EQ(n[0].kind, NoticeKind::LineLost);
    EXPECT_EQ(n[0].system.line, LineState::Lost);
    EXPECT_EQ(n[1].kind, NoticeKind::LineBack);
    const auto vars = notice_vars(n[0]);
    ASSERT_EQ(vars.size(), 4u);
    EXPECT_EQ(vars[2].second.num, int(LineState::Lost));

    feed.cycle(t);
    const VarMap m = render(feed.snapshot(), {0, Steady::now()});
    EXPECT_EQ(num(m, kZrtSystemEntry, kSysCycles, 1), 1);
    EXPECT_EQ(num(m, kZrtSystemEntry, kSysLineState, 1), int(LineState::Up));
    EXPECT_EQ(text(m, kZrtSystemEntry, kSysLastCycle, 1), date_and_time(t));
    EXPECT_EQ(text(m, kZrtSystemEntry, kSysName, 1), "north");
}

TEST(SnmpLine, ASecondSystemOnTheLineHasItsOwnEntityChildrenRowAndLine) {
    SnmpFeed feed = site_feed();
    feed.add_system(2, "zrt4600a", {{12, "zrt4600a-ac"}, {2, "zrt4600a-rc"}});
    const auto t = SystemClock::now();
    feed.line(false, t, 2);  // the second system's line only
    feed.cycle(t, 1);
    const std::vector<Notice> n = feed.take_notices();
    ASSERT_EQ(n.size(), 1u);
    EXPECT_EQ(n[0].system.data_id, 2u);

    const SiteModel sm = feed.snapshot();
    const Entity* site = by_name(sm, "north");
    const Entity* one = by_name(sm, "power system 1");
    const Entity* two = by_name(sm, "power system 2");
    const Entity* screen = by_name(sm, "AC screen 12");
    ASSERT_TRUE(site && one && two && screen);
    EXPECT_EQ(two->contained_in, site->index);
    EXPECT_EQ(two->rel_pos, 2);
    EXPECT_EQ(screen->contained_in, two->index);
    EXPECT_EQ(by_name(sm, "AC screen 11")->contained_in, one->index);
    // A line-lost alarm of the second system's top device belongs to its entity.
    feed.alarm({2, "zrt4600a", "line_lost", 0, "99001", 1, "通信中断告警", "串口x地址2无应答"}, true, t);
    ASSERT_EQ(feed.snapshot().alarms.size(), 1u);
    EXPECT_EQ(feed.snapshot().alarms[0].entity, two->index);

    const VarMap m = render(feed.snapshot(), {0, Steady::now()});
    EXPECT_EQ(num(m, kZrtSystemEntry, kSysLineState, 1), int(LineState::Up));
    EXPECT_EQ(num(m, kZrtSystemEntry, kSysLineState, 2), int(LineState::Lost));
    EXPECT_EQ(num(m, kZrtSystemEntry, kSysCycles, 1), 1);
    EXPECT_EQ(num(m, kZrtSystemEntry, kSysCycles, 2), 0);
    EXPECT_EQ(text(m, kZrtSystemEntry, kSysName, 2), "north 2");
}

TEST(SnmpAgentx, AddressesAreUnixSocketsOrLoopbackTcpAndRefusalsSayWhy) {
    EXPECT_EQ(parse_agentx_address("/var/agentx/master").text, "/var/agentx/master");
    EXPECT_TRUE(parse_agentx_address("unix:/run/snmp/master").is_unix);
    EXPECT_EQ(parse_agentx_address("unix:/run/snmp/master").text, "/run/snmp/master");
    EXPECT_EQ(parse_agentx_address("tcp:127.0.0.1:705").text, "tcp:127.0.0.1:705");
    EXPECT_EQ(parse_agentx_address("localhost:705").text, "tcp:localhost:705");
    EXPECT_EQ(parse_agentx_address("tcp:[::1]:1705").text, "tcp:[::1]:1705");
    EXPECT_EQ(parse_agentx_address("127.8.0.1:705").text, "tcp:127.8.0.1:705");

    const std::pair<const char*, const char*> refused[] = {
        {"", "empty"},
        {"tcp:10.0.0.1:705", "loopback"},
        {"tcp:128.0.0.1:705", "loopback"},
        {"tcp:127.0.0.1:0", "port"},
        {"tcp:127.0.0.1:70000", "port"},
        {"127.0.0.1", "unix socket path"},
        {"udp:127.0.0.1:705", "unix socket path"},
        {"unix:agentx", "absolute"},
        {"/etc/hostname", "not a socket"},
    };
    for (const auto& [address, why] : refused) {
        try {
            parse_agentx_address(address);
            ADD_FAILURE() << address << " accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(why), std::string::npos) << address << ": " << e.what();
        }
    }
}

TEST(SnmpAgentx, TheSettingsKeysAreCheckedLikeEveryOther) {
    auto code = [](const char* text) {
        Json::Value v;
        std::string errs;
        Json::CharReaderBuilder b;
        std::unique_ptr<Json::CharReader> r(b.newCharReader());
        EXPECT_TRUE(r->parse(text, text + std::strlen(text), &v, &errs));
        try {
            zrt::host::check_settings(v, "site.json");
            return std::make_pair(0, std::string());
        } catch (const zrt::host::HostError& e) {
            return std::make_pair(static_cast<int>(e.code()), std::string(e.what()));
        }
    };
    EXPECT_EQ(code(R"({"snmp": {"agentx": "/tmp/x", "ping_interval_s": 5}})").first, 0);
    auto c = code(R"({"snmp": {"agentx": "/tmp/x", "ping": 5}})");
    EXPECT_EQ(c.first, zrt::host::kExitUnknownKey);
    EXPECT_NE(c.second.find("snmp.ping"), std::string::npos);
    c = code(R"({"snmp": {"ping_interval_s": 0}})");
    EXPECT_EQ(c.first, zrt::host::kExitSettingValue);
    EXPECT_NE(c.second.find("snmp.ping_interval_s"), std::string::npos);
    EXPECT_EQ(code(R"({"snmp": {"agentx": 705}})").first, zrt::host::kExitSettingValue);
    EXPECT_EQ(code(R"({"snmp": "/tmp/x"})").first, zrt::host::kExitSettingValue);
}

namespace {

// What a sink said, from the subagent's thread.
struct Said {
    std::mutex mu;
    std::vector<std::pair<int, std::string>> lines;
    std::function<void(int, const std::string&)> fn() {
        return [this](int level, const std::string& text) {
            std::lock_guard<std::mutex> lock(mu);
            lines.emplace_back(level, text);
        };
    }
    int count(const std::string& part) {
        std::lock_guard<std::mutex> lock(mu);
        int n = 0;
        for (const auto& l : lines) n += l.second.find(part) != std::string::npos;
        return n;
    }
};

SinkOptions sink_options(const std::string& agentx) {
    SinkOptions o;
    o.agentx = agentx;
    o.origin = "--snmp-agentx";
    o.ping_interval_s = 1;
    o.site = "test";
    o.system_data_id = 1;
    o.system_type = "zrt4600a";
    o.children = {{21, "zrt4600a-dc"}};
    return o;
}

}  // namespace

TEST(SnmpAgentx, ABadAddressIsOneErrorNamingWhereItWasGivenAndTheSinkStillTakesEvents) {
    Said said;
    SnmpSink sink(sink_options("not an address"), said.fn());
    EXPECT_FALSE(sink.running());
    ASSERT_EQ(said.lines.size(), 1u);
    EXPECT_EQ(said.lines[0].first, 0);
    EXPECT_NE(said.lines[0].second.find("--snmp-agentx \"not an address\": expected a unix socket path"),
              std::string::npos)
        << said.lines[0].second;
    EXPECT_NE(said.lines[0].second.find("the host polls on"), std::string::npos);
    const uint64_t before = sink.feed().version();
    sink.feed().cycle();
    EXPECT_GT(sink.feed().version(), before);
}

// A master that is not there yet: said once, and tried again at the settings' interval, not
// at the agent library's own default of 15 s. A listener on the socket stands in for the
// master; the subagent's connection to it is the retry.
TEST(SnmpAgentx, AnAbsentMasterIsSaidOnceAndTriedAgainEveryPingInterval) {
    char dir[] = "/tmp/zrt-snmp-test.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/master";
    std::signal(SIGPIPE, SIG_IGN);  // as the host does: the "master" below closes on the subagent
    Said said;
    {
        SnmpSink sink(sink_options(path), said.fn());
        if (!sink.running()) GTEST_SKIP() << "a build without net-snmp's agent library";
        const auto until = [](const std::function<bool()>& ok, std::chrono::seconds at_most) {
            const auto end = std::chrono::steady_clock::now() + at_most;
            while (!ok() && std::chrono::steady_clock::now() < end)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            return ok();
        };
        ASSERT_TRUE(until([&] { return said.count("SNMP: no AgentX master at " + path) > 0; }, std::chrono::seconds(5)));

        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        ASSERT_GE(fd, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, path.c_str(), sizeof(a.sun_path) - 1);
        ASSERT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof(a)), 0);
        ASSERT_EQ(listen(fd, 4), 0);
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, 4000);  // two intervals and some
        EXPECT_EQ(ready, 1) << "the subagent did not try the master again within 4 s";
        if (ready == 1) close(accept(fd, nullptr, nullptr));  // and the "master" goes again
        close(fd);
        unlink(path.c_str());
        EXPECT_FALSE(sink.running() && said.count("SNMP: registered with") > 0);
    }
    EXPECT_EQ(said.count("SNMP: no AgentX master at"), 1);
    rmdir(dir);
}

#pragma once
// What the SNMP subagent answers, as plain data: the physical entities of the site (the site,
// each system, its screens, the rectifier group and its modules, one sensor per value), the
// sensor readings, the line state and last cycle of each system, and the active alarms.
//
// The model knows nothing of net-snmp. render() turns a model into the instances of the
// tables it answers, as a map ordered by OID, which the subagent serves as it is: a GET is a
// lookup, a GETNEXT the next key. Tests read the same map.
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tools/snmp/snmp_oids.h"

namespace zrt::snmp {

using SystemClock = std::chrono::system_clock;
using Steady = std::chrono::steady_clock;

// ENTITY-MIB PhysicalClass.
enum class PhysicalClass : int32_t {
    Other = 1, Unknown = 2, Chassis = 3, Backplane = 4, Container = 5, PowerSupply = 6,
    Fan = 7, Sensor = 8, Module = 9, Port = 10, Stack = 11, Cpu = 12,
};

// ENTITY-SENSOR-MIB EntitySensorDataType (the types this plant has).
enum class SensorType : int32_t { Other = 1, Unknown = 2, VoltsAC = 3, VoltsDC = 4, Amperes = 5, Hertz = 7, Celsius = 8 };

// ENTITY-SENSOR-MIB EntitySensorStatus.
enum class SensorStatus : int32_t { Ok = 1, Unavailable = 2, NonOperational = 3 };

// EntitySensorDataScale: every value here is in units.
inline constexpr int32_t kScaleUnits = 9;

struct Entity {
    uint32_t index = 0;         // entPhysicalIndex, from 1
    uint32_t contained_in = 0;  // 0: the site itself
    PhysicalClass cls = PhysicalClass::Other;
    int32_t rel_pos = -1;       // position among its siblings of the same kind; -1 unknown
    std::string name;           // "DC screen 21", "rectifier module 6", "DC screen 21 output voltage"
    std::string descr;
    std::string model;          // entPhysicalModelName, may be empty
    bool fru = false;           // a replaceable unit (a rectifier module)
};

// A sensor has the index of its entity. Its value is fixed-point: `value` / 10^precision.
struct Sensor {
    uint32_t index = 0;
    SensorType type = SensorType::Other;
    int32_t precision = 0;
    int32_t value = 0;
    SensorStatus status = SensorStatus::Unavailable;
    std::string units;  // "V", "A", "Hz", "C"; empty for a state or a count
    uint32_t device = 0;       // index of the device entity it belongs to
    Steady::time_point updated{};
};

struct ActiveAlarm {
    uint32_t index = 0;   // zrtAlarmIndex: numbered from 1 in order of raising, never reused in a run
    uint32_t system = 1;  // zrtSystemIndex
    uint32_t entity = 0;  // entPhysicalIndex of the device that raised it, 0 unknown
    uint32_t data_id = 0;
    std::string device_type, key;
    uint32_t sequence = 0;
    std::string signal_id;
    uint32_t level = 0;
    std::string text;      // the system's own alarm name
    std::string name;      // in English
    std::string instance;  // the system's own instance text
    SystemClock::time_point raised{};
};

enum class LineState : int32_t { Up = 1, Lost = 2 };

struct System {
    uint32_t index = 1;  // zrtSystemIndex
    uint32_t data_id = 0;
    uint32_t entity = 0;
    std::string name;
    LineState line = LineState::Up;
    std::optional<SystemClock::time_point> line_changed, last_cycle;
    uint32_t cycles = 0;  // Counter32: wraps
};

// Severity of an alarm level (1 the most urgent): critical(1), major(2), minor(3),
// warning(4).
int32_t severity_of_level(uint32_t level);

// A value as a sensor reading: the digits after the point for its quantity, the value
// rounded to them. nullopt for a value that does not fit Integer32's sensor range
// (+-1e9) or is not finite.
struct Fixed {
    int32_t precision = 0;
    int32_t value = 0;
};
std::optional<Fixed> to_fixed(double value, int32_t precision);

// One instance of the tables: its syntax and value.
struct Var {
    enum class Kind { Integer, Gauge, Counter, Unsigned, TimeTicks, Octets, ObjectId } kind = Kind::Integer;
    int64_t num = 0;
    std::string octets;
    Oid oid;  // for ObjectId

    static Var integer(int64_t v) { return {Kind::Integer, v, {}, {}}; }
    static Var gauge(uint32_t v) { return {Kind::Gauge, v, {}, {}}; }
    static Var counter(uint32_t v) { return {Kind::Counter, v, {}, {}}; }
    static Var unsigned32(uint32_t v) { return {Kind::Unsigned, v, {}, {}}; }
    static Var ticks(uint32_t v) { return {Kind::TimeTicks, v, {}, {}}; }
    static Var text(std::string s) { return {Kind::Octets, 0, std::move(s), {}}; }
    static Var object_id(Oid o) { return {Kind::ObjectId, 0, {}, std::move(o)}; }
};
using VarMap = std::map<Oid, Var>;

// DateAndTime in UTC (11 octets: year, month, day, hour, minute, second, deci-second, '+', 0, 0).
std::string date_and_time(SystemClock::time_point t);

struct SiteModel {
    std::vector<Entity> entities;  // in index order
    std::vector<Sensor> sensors;   // in index order
    std::vector<System> systems;
    std::vector<ActiveAlarm> alarms;  // in index order
    uint32_t alarm_changes = 0;       // Counter32: raisings and clearings

    // A device whose last reading is this old counts as stale: its sensors read unavailable.
    std::chrono::seconds stale_after{61};

    const Entity* entity(uint32_t index) const;
};

// When the instances are rendered: the subagent's uptime (for TimeStamp columns) and the
// steady clock at the same moment (for the age of readings).
struct RenderClock {
    uint32_t uptime_cs = 0;
    Steady::time_point now{};
};

// Every instance the subagent answers.
VarMap render(const SiteModel& m, const RenderClock& clock);

// The varbinds of a notification, in order (snmpTrapOID.0 is added by the sender).
enum class NoticeKind { AlarmRaised, AlarmCleared, LineLost, LineBack };
struct Notice {
    NoticeKind kind = NoticeKind::AlarmRaised;
    ActiveAlarm alarm;  // for the alarm notifications
    System system;      // for the line notifications
};
Oid notice_oid(NoticeKind k);
std::vector<std::pair<Oid, Var>> notice_vars(const Notice& n);

}  // namespace zrt::snmp

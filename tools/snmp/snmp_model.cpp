#include "tools/snmp/snmp_model.h"

#include <algorithm>
#include <cmath>
#include <ctime>

namespace zrt::snmp {

std::string oid_text(const Oid& o) {
    std::string s;
    for (uint32_t n : o) s += (s.empty() ? "" : ".") + std::to_string(n);
    return s;
}

int32_t severity_of_level(uint32_t level) { return static_cast<int32_t>(std::clamp<uint32_t>(level, 1, 4)); }

std::optional<Fixed> to_fixed(double value, int32_t precision) {
    if (!std::isfinite(value)) return std::nullopt;
    const double scaled = std::round(value * std::pow(10.0, precision));
    if (scaled > 1e9 || scaled < -1e9) return std::nullopt;
    return Fixed{precision, static_cast<int32_t>(scaled)};
}

std::string date_and_time(SystemClock::time_point t) {
    const auto since = t.time_since_epoch();
    const std::time_t secs = std::chrono::duration_cast<std::chrono::seconds>(since).count();
    const auto deci = std::chrono::duration_cast<std::chrono::milliseconds>(since).count() % 1000 / 100;
    std::tm tm{};
    gmtime_r(&secs, &tm);
    const int year = tm.tm_year + 1900;
    std::string s;
    s += static_cast<char>((year >> 8) & 0xFF);
    s += static_cast<char>(year & 0xFF);
    for (int v : {tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(deci)})
        s += static_cast<char>(v);
    s += '+';
    s += '\0';
    s += '\0';
    return s;
}

const Entity* SiteModel::entity(uint32_t index) const {
    if (index == 0 || index > entities.size() || entities[index - 1].index != index) {
        for (const Entity& e : entities)
            if (e.index == index) return &e;
        return nullptr;
    }
    return &entities[index - 1];
}

namespace {

uint32_t ticks_since(const RenderClock& c, Steady::time_point t) {
    const auto age_cs = std::chrono::duration_cast<std::chrono::milliseconds>(c.now - t).count() / 10;
    if (age_cs <= 0) return c.uptime_cs;
    return age_cs >= c.uptime_cs ? 0 : c.uptime_cs - static_cast<uint32_t>(age_cs);
}

void put(VarMap& m, const Oid& entry, uint32_t column, uint32_t index, Var v) {
    m.emplace(entry + std::initializer_list<uint32_t>{column, index}, std::move(v));
}

void render_entities(VarMap& out, const SiteModel& m) {
    for (const Entity& e : m.entities) {
        auto col = [&](uint32_t c, Var v) { put(out, kEntPhysicalEntry, c, e.index, std::move(v)); };
        col(2, Var::text(e.descr));
        col(3, Var::object_id(kZeroDotZero));
        col(4, Var::integer(e.contained_in));
        col(5, Var::integer(static_cast<int32_t>(e.cls)));
        col(6, Var::integer(e.rel_pos));
        col(7, Var::text(e.name));
        for (uint32_t c : {8u, 9u, 10u, 11u, 12u}) col(c, Var::text(""));
        col(13, Var::text(e.model));
        col(14, Var::text(""));
        col(15, Var::text(""));
        col(16, Var::integer(e.fru ? 1 : 2));
        col(17, Var::text(std::string(8, '\0')));  // unknown date
        col(18, Var::text(""));
    }
}

void render_sensors(VarMap& out, const SiteModel& m, const RenderClock& clock) {
    // A device is stale when none of its sensors was read within the freshness limit.
    std::map<uint32_t, Steady::time_point> device_updated;
    for (const Sensor& s : m.sensors) {
        auto& t = device_updated[s.device];
        t = std::max(t, s.updated);
    }
    for (const Sensor& s : m.sensors) {
        const bool stale = clock.now - device_updated[s.device] >= m.stale_after;
        const SensorStatus status = stale ? SensorStatus::Unavailable : s.status;
        auto col = [&](uint32_t c, Var v) { put(out, kEntPhySensorEntry, c, s.index, std::move(v)); };
        col(1, Var::integer(static_cast<int32_t>(s.type)));
        col(2, Var::integer(kScaleUnits));
        col(3, Var::integer(s.precision));
        // An unavailable reading keeps no value a manager could take for a measurement.
        col(4, Var::integer(status == SensorStatus::Ok ? s.value : 0));
        col(5, Var::integer(static_cast<int32_t>(status)));
        col(6, Var::text(s.units));
        col(7, Var::ticks(ticks_since(clock, s.updated)));
        col(8, Var::unsigned32(0));
    }
}

void render_private(VarMap& out, const SiteModel& m) {
    for (const System& s : m.systems) {
        auto col = [&](uint32_t c, Var v) { put(out, kZrtSystemEntry, c, s.index, std::move(v)); };
        col(kSysDataId, Var::unsigned32(s.data_id));
        col(kSysName, Var::text(s.name));
        col(kSysLineState, Var::integer(static_cast<int32_t>(s.line)));
        col(kSysLineChanged, Var::text(s.line_changed ? date_and_time(*s.line_changed) : std::string(8, '\0')));
        col(kSysLastCycle, Var::text(s.last_cycle ? date_and_time(*s.last_cycle) : std::string(8, '\0')));
        col(kSysCycles, Var::counter(s.cycles));
        col(kSysEntity, Var::integer(s.entity));
    }
    out.emplace(kZrtAlarmChanges + std::initializer_list<uint32_t>{0}, Var::counter(m.alarm_changes));
    for (const ActiveAlarm& a : m.alarms)
        for (auto& [oid, v] : notice_vars({NoticeKind::AlarmRaised, a, {}})) out.emplace(oid, v);
}

}  // namespace

VarMap render(const SiteModel& m, const RenderClock& clock) {
    VarMap out;
    render_entities(out, m);
    render_sensors(out, m, clock);
    render_private(out, m);
    return out;
}

Oid notice_oid(NoticeKind k) {
    switch (k) {
    case NoticeKind::AlarmRaised: return kZrtNotifications + std::initializer_list<uint32_t>{kNtfAlarmRaised};
    case NoticeKind::AlarmCleared: return kZrtNotifications + std::initializer_list<uint32_t>{kNtfAlarmCleared};
    case NoticeKind::LineLost: return kZrtNotifications + std::initializer_list<uint32_t>{kNtfLineLost};
    case NoticeKind::LineBack: break;
    }
    return kZrtNotifications + std::initializer_list<uint32_t>{kNtfLineBack};
}

std::vector<std::pair<Oid, Var>> notice_vars(const Notice& n) {
    std::vector<std::pair<Oid, Var>> v;
    if (n.kind == NoticeKind::AlarmRaised || n.kind == NoticeKind::AlarmCleared) {
        const ActiveAlarm& a = n.alarm;
        auto col = [&](uint32_t c, Var x) { v.emplace_back(kZrtAlarmEntry + std::initializer_list<uint32_t>{c, a.index}, std::move(x)); };
        col(kAlmSystem, Var::unsigned32(a.system));
        col(kAlmDataId, Var::unsigned32(a.data_id));
        col(kAlmSignalId, Var::text(a.signal_id));
        col(kAlmKey, Var::text(a.key));
        col(kAlmSequence, Var::unsigned32(a.sequence));
        col(kAlmLevel, Var::unsigned32(a.level));
        col(kAlmSeverity, Var::integer(severity_of_level(a.level)));
        col(kAlmText, Var::text(a.text));
        col(kAlmName, Var::text(a.name));
        col(kAlmInstance, Var::text(a.instance));
        col(kAlmRaised, Var::text(date_and_time(a.raised)));
        col(kAlmEntity, Var::integer(a.entity));
        return v;
    }
    const System& s = n.system;
    auto col = [&](uint32_t c, Var x) { v.emplace_back(kZrtSystemEntry + std::initializer_list<uint32_t>{c, s.index}, std::move(x)); };
    col(kSysDataId, Var::unsigned32(s.data_id));
    col(kSysName, Var::text(s.name));
    col(kSysLineState, Var::integer(static_cast<int32_t>(s.line)));
    col(kSysLineChanged, Var::text(s.line_changed ? date_and_time(*s.line_changed) : std::string(8, '\0')));
    return v;
}

}  // namespace zrt::snmp

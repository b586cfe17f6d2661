#include "tools/snmp/snmp_feed.h"

#include <algorithm>
#include <cstring>

#include <fmt/format.h>

#include "tools/core/alarm_names.h"
#include "tools/core/image_decode.h"

namespace zrt::snmp {

namespace {

const char* kind_of(const std::string& device_type) {
    if (device_type.size() >= 3) {
        const std::string tail = device_type.substr(device_type.size() - 3);
        if (tail == "-ac") return "ac";
        if (tail == "-dc") return "dc";
        if (tail == "-rc") return "rc";
    }
    return "";
}

// What a value measures, from its unit and its field's quantity: voltages of an AC screen
// and the AC input limits are AC, every other voltage is DC.
SensorType sensor_type(const zrt::host::DecodedValue& v) {
    if (v.unit == "V")
        return v.field && v.field->quantity == zrt::field::Quantity::ac_volts ? SensorType::VoltsAC : SensorType::VoltsDC;
    if (v.unit == "A") return SensorType::Amperes;
    if (v.unit == "Hz") return SensorType::Hertz;
    if (v.unit == "C" || v.unit == "°C") return SensorType::Celsius;
    return SensorType::Other;
}

// Digits after the point: the equipment reports tenths of volts, amperes and hertz; values
// of unknown quantity keep two; states and counts none.
int32_t precision_of(const zrt::host::DecodedValue& v, SensorType t) {
    if (v.kind == zrt::host::ValueKind::State || v.kind == zrt::host::ValueKind::Count) return 0;
    return t == SensorType::Other ? 2 : 1;
}

std::string units_of(const zrt::host::DecodedValue& v) { return v.unit == "°C" ? "C" : v.unit; }

}  // namespace


SnmpFeed::SnmpFeed(const std::string& site, uint32_t system_data_id, const std::string& system_type,
                   const std::vector<DeviceRef>& children)
    : site_(site) {
    site_entity_ = add_entity({0, 0, PhysicalClass::Stack, 0, site, "power plant site " + site, "", false});
    add_system(system_data_id, system_type, children);
}

void SnmpFeed::add_system(uint32_t system_data_id, const std::string& system_type,
                          const std::vector<DeviceRef>& children) {
    std::lock_guard<std::mutex> lock(mu_);
    const auto position = static_cast<int32_t>(m_.systems.size() + 1);
    const uint32_t sys = add_entity({0, site_entity_, PhysicalClass::Chassis, position,
                                     fmt::format("power system {}", system_data_id),
                                     fmt::format("{} power system, data id {}: AC distribution, rectifiers, DC "
                                                 "distribution",
                                                 system_type, system_data_id),
                                     system_type, false});
    System s;
    s.index = static_cast<uint32_t>(position);
    s.data_id = system_data_id;
    s.entity = sys;
    s.name = position == 1 ? site_ : fmt::format("{} {}", site_, system_data_id);
    m_.systems.push_back(s);
    changed();
    int ac = 0, dc = 0;
    for (const DeviceRef& d : children) {
        const std::string k = kind_of(d.device_type);
        Entity e;
        e.contained_in = sys;
        e.model = d.device_type;
        if (k == "ac") {
            e.cls = PhysicalClass::Module;
            e.rel_pos = ++ac;
            e.name = fmt::format("AC screen {}", d.data_id);
            e.descr = fmt::format("AC distribution screen, data id {}: input lines and phase currents", d.data_id);
        } else if (k == "dc") {
            e.cls = PhysicalClass::Module;
            e.rel_pos = ++dc;
            e.name = fmt::format("DC screen {}", d.data_id);
            e.descr = fmt::format("DC distribution screen, data id {}: output voltage, current and fuses", d.data_id);
        } else if (k == "rc") {
            e.cls = PhysicalClass::Container;
            e.rel_pos = 1;
            e.name = "rectifier group";
            e.descr = fmt::format("rectifier group of power system {}: output voltage, system parameters and "
                                  "modules",
                                  system_data_id);
        } else {
            e.name = fmt::format("{} {}", d.device_type, d.data_id);
            e.descr = e.name;
        }
        devices_.push_back({d, add_entity(e)});
    }
}

uint32_t SnmpFeed::add_entity(Entity e) {
    e.index = static_cast<uint32_t>(m_.entities.size() + 1);
    m_.entities.push_back(std::move(e));
    return m_.entities.back().index;
}

uint32_t SnmpFeed::device_entity(uint32_t data_id, const std::string& device_type) const {
    for (const auto& [d, ix] : devices_)
        if (d.data_id == data_id && d.device_type == device_type) return ix;
    return 0;
}

uint32_t SnmpFeed::module_entity(uint32_t group, size_t module) {
    auto [it, fresh] = modules_.emplace(std::make_pair(group, module), 0);
    if (fresh)
        it->second = add_entity({0, group, PhysicalClass::PowerSupply, static_cast<int32_t>(module + 1),
                                 fmt::format("rectifier module {}", module + 1),
                                 fmt::format("rectifier module {}: output current and states", module + 1), "", true});
    return it->second;
}

void SnmpFeed::publish(uint32_t data_id, const std::string& device_type, int record_type,
                       const zrt::host::DecodedImage& d, Steady::time_point at) {
    if (!d.valid) return;
    std::lock_guard<std::mutex> lock(mu_);
    const uint32_t dev = device_entity(data_id, device_type);
    if (dev == 0) return;
    std::vector<bool> seen(m_.sensors.size(), false);
    for (const zrt::host::DecodedValue& v : d.values) {
        auto [it, fresh] = sensor_index_.emplace(std::make_pair(dev, v.key), 0);
        const SensorType type = sensor_type(v);
        if (fresh) {
            // A value of a rectifier module is a sensor of the module's own entity.
            const std::optional<size_t> module = record_type == ::kRcRecordType && v.item >= 0
                                                     ? std::optional<size_t>(static_cast<size_t>(v.item))
                                                     : std::nullopt;
            const uint32_t parent = module ? module_entity(dev, *module) : dev;
            const Entity& owner = *m_.entity(parent);
            const std::string name = module ? v.label : owner.name + " " + v.label;
            it->second = add_entity({0, parent, PhysicalClass::Sensor, static_cast<int32_t>(++device_sensors_[dev]),
                                     module ? fmt::format("{} {}", m_.entity(dev)->name, name) : name,
                                     fmt::format("{} ({})", name, v.key), "", false});
            Sensor s;
            s.index = it->second;
            s.type = type;
            s.units = units_of(v);
            s.device = dev;
            m_.sensors.push_back(s);
            seen.push_back(false);
        }
        auto sensor = std::lower_bound(m_.sensors.begin(), m_.sensors.end(), it->second,
                                       [](const Sensor& s, uint32_t ix) { return s.index < ix; });
        seen[static_cast<size_t>(sensor - m_.sensors.begin())] = true;
        sensor->updated = at;
        sensor->precision = precision_of(v, type);
        std::optional<Fixed> f;
        if (v.value) f = to_fixed(*v.value, sensor->precision);
        sensor->status = f ? SensorStatus::Ok : SensorStatus::Unavailable;
        sensor->value = f ? f->value : 0;
    }
    // A value this image no longer holds (a module gone) reads unavailable.
    for (size_t i = 0; i < m_.sensors.size(); ++i)
        if (!seen[i] && m_.sensors[i].device == dev) {
            m_.sensors[i].status = SensorStatus::Unavailable;
            m_.sensors[i].updated = at;
        }
    changed();
}

void SnmpFeed::alarm(const AlarmReport& a, bool raised, SystemClock::time_point at) {
    std::lock_guard<std::mutex> lock(mu_);
    change_alarm(a, raised, at, true);
}

void SnmpFeed::restored(const AlarmReport& a, SystemClock::time_point since) {
    // Raised before this run: listed, but neither a change nor news.
    std::lock_guard<std::mutex> lock(mu_);
    change_alarm(a, true, since, false);
}

void SnmpFeed::change_alarm(const AlarmReport& a, bool raised, SystemClock::time_point at, bool news) {
    auto same = [&](const ActiveAlarm& x) {
        return x.data_id == a.data_id && x.device_type == a.device_type && x.key == a.key && x.sequence == a.sequence;
    };
    auto it = std::find_if(m_.alarms.begin(), m_.alarms.end(), same);
    if (raised) {
        if (it != m_.alarms.end()) return;
        ActiveAlarm x;
        x.index = next_alarm_++;
        x.entity = device_entity(a.data_id, a.device_type);
        for (const System& sys : m_.systems)
            if (x.entity == 0 && a.data_id == sys.data_id) x.entity = sys.entity;
        x.data_id = a.data_id;
        x.device_type = a.device_type;
        x.key = a.key;
        x.sequence = a.sequence;
        x.signal_id = a.signal_id;
        x.level = a.level;
        x.text = a.name;
        x.name = host::alarm_english_by_signal(a.key, a.signal_id);
        x.instance = a.instance;
        x.raised = at;
        m_.alarms.push_back(x);
        if (news) {
            ++m_.alarm_changes;
            notices_.push_back({NoticeKind::AlarmRaised, x, {}});
        }
    } else {
        if (it == m_.alarms.end()) return;
        const ActiveAlarm x = *it;
        m_.alarms.erase(it);
        ++m_.alarm_changes;
        notices_.push_back({NoticeKind::AlarmCleared, x, {}});
    }
    changed();
}

System& SnmpFeed::system(uint32_t data_id) {
    for (System& s : m_.systems)
        if (s.data_id == data_id) return s;
    return m_.systems[0];
}

void SnmpFeed::cycle(SystemClock::time_point end, uint32_t system_data_id) {
    std::lock_guard<std::mutex> lock(mu_);
    System& s = system(system_data_id);
    s.last_cycle = end;
    ++s.cycles;
    changed();
}

void SnmpFeed::line(bool up, SystemClock::time_point at, uint32_t system_data_id) {
    std::lock_guard<std::mutex> lock(mu_);
    System& s = system(system_data_id);
    const LineState state = up ? LineState::Up : LineState::Lost;
    if (s.line == state) return;
    s.line = state;
    s.line_changed = at;
    notices_.push_back({up ? NoticeKind::LineBack : NoticeKind::LineLost, {}, s});
    changed();
}

SiteModel SnmpFeed::snapshot() const {
    std::lock_guard<std::mutex> lock(mu_);
    return m_;
}

std::vector<Notice> SnmpFeed::take_notices() {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<Notice> out;
    out.swap(notices_);
    return out;
}

}  // namespace zrt::snmp

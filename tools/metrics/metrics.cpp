#include "tools/metrics/metrics.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include <cstring>
#include <optional>

#include <asio/ip/address.hpp>
#include <fmt/format.h>
#include <json/json.h>

#include "tools/core/image_decode.h"
#include "tools/core/alarm_names.h"
#include "tools/metrics/families.h"
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

void Exposition::family(const std::string& name, const std::string& type, const std::string& help,
                        const std::string& unit) {
    if (!valid_name(name, true)) throw std::invalid_argument("metric name \"" + name + "\" is not valid");
    if (type != "gauge" && type != "counter" && type != "info" && type != "unknown")
        throw std::invalid_argument("metric type \"" + type + "\" is not one this writer knows");
    if (type == "counter" && name.size() >= 6 && name.compare(name.size() - 6, 6, "_total") == 0)
        throw std::invalid_argument("counter family \"" + name + "\" is named without _total");
    if (!unit.empty() && (name.size() <= unit.size() || name.compare(name.size() - unit.size() - 1, std::string::npos,
                                                                      "_" + unit) != 0))
        throw std::invalid_argument("metric name \"" + name + "\" does not end with its unit \"" + unit + "\"");
    sample_name_ = name + (type == "counter" ? "_total" : type == "info" ? "_info" : "");
    const bool om = format_ == Format::OpenMetrics;
    // The older format knows no info type: an info family is a gauge of value 1 there.
    const std::string& shown = om ? name : sample_name_;
    const std::string shown_type = om || type != "info" ? type : "gauge";
    out_ += "# HELP " + shown + " " + escape_help(help, om) + "\n";
    out_ += "# TYPE " + shown + " " + (om || type != "unknown" ? shown_type : std::string("untyped")) + "\n";
    if (om && !unit.empty()) out_ += "# UNIT " + shown + " " + unit + "\n";
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

MetricsState::MetricsState(std::string site, uint32_t system) : site_(std::move(site)) {
    s_.systems.push_back({});
    s_.systems.front().id = system;
}

void MetricsState::start(const StartInfo& info) {
    if (info.systems.empty()) return;
    std::lock_guard<std::mutex> lock(mu_);
    ++s_.version;
    s_.systems.clear();
    for (const SystemRef& r : info.systems) {
        SystemState st;
        st.id = r.data_id;
        st.name = r.name;
        st.address = r.address;
        s_.systems.push_back(st);
    }
    for (const auto& [id, k] : info.system_of) s_.owner[id] = info.systems[k].data_id;
}

MetricsState::SystemState& MetricsState::system_state(uint32_t id) {
    for (SystemState& st : s_.systems)
        if (st.id == id) return st;
    return s_.systems.front();
}

uint32_t MetricsState::owner_of(const Snapshot& s, uint32_t data_id) {
    const auto it = s.owner.find(data_id);
    return it == s.owner.end() ? s.systems.front().id : it->second;
}

namespace {

// How far back the status keeps the DC bus voltage.
constexpr double kTrendSeconds = 15 * 60;

double unix_seconds(std::chrono::system_clock::time_point t) {
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

}  // namespace

void MetricsState::publish(uint32_t data_id, const std::string& device_type, int record_type,
                           const DecodedImage& image) {
    // The samples and the bus voltage for the trend are worked out outside the lock.
    Image img{record_type, image, {}, Clock::now()};
    std::optional<double> bus;
    if (image.valid) {
        const auto& defs = value_families();
        for (const DecodedValue& v : image.values) {
            if (record_type == kDcRecordType && v.key == "v") bus = v.value;
            ValueSample vs;
            if (!v.value || !family_of(record_type, v, vs)) continue;
            const FamilyDef& def = defs[vs.family];
            if (!def.states) {
                img.samples.push_back({vs.family, std::move(vs.labels), *v.value});
                continue;
            }
            for (int code = 0; code < def.state_count; ++code) {
                if (!*def.states[code]) continue;  // a code without a known meaning
                Exposition::Labels l = vs.labels;
                l.emplace_back("state", def.states[code]);
                img.samples.push_back({vs.family, std::move(l), *v.value == static_cast<double>(code) ? 1.0 : 0.0});
            }
        }
    }
    const double now_s = unix_seconds(std::chrono::system_clock::now());
    std::lock_guard<std::mutex> lock(mu_);
    ++s_.version;
    if (bus) {
        auto& t = s_.dc_trend[data_id];
        t.emplace_back(now_s, *bus);
        size_t old = 0;
        while (old < t.size() && t[old].first < now_s - kTrendSeconds) ++old;
        t.erase(t.begin(), t.begin() + static_cast<std::ptrdiff_t>(old));
    }
    const DeviceKey k{data_id, device_type};
    for (auto& [key, held] : s_.images)
        if (key == k) {
            held = std::move(img);
            return;
        }
    s_.images.push_back({k, std::move(img)});
}

void MetricsState::alarm(const MetricAlarm& a, bool raised) {
    std::lock_guard<std::mutex> lock(mu_);
    ++s_.version;
    const AlarmKey k{a.data_id, a.device_type, a.key, a.instance};
    if (raised) {
        auto it = s_.alarms.find(k);
        if (it == s_.alarms.end())
            s_.alarms.emplace(k, Raised{a, std::chrono::system_clock::now()});
        else
            it->second.alarm = a;
    } else {
        s_.alarms.erase(k);
    }
}

void MetricsState::cycle(const CycleStats& c) {
    std::lock_guard<std::mutex> lock(mu_);
    ++s_.version;
    SystemState& st = system_state(c.system.data_id);
    st.cycles = c.n;
    st.timeouts += c.timeouts - std::min(c.timeouts, st.pending_timeouts);
    st.bad_frames += c.bad_frames - std::min(c.bad_frames, st.pending_bad_frames);
    st.pending_timeouts = st.pending_bad_frames = 0;
    st.errors = std::max(c.total_errors, st.timeouts + st.bad_frames);
    st.tx_bytes += c.tx_bytes;
    st.rx_bytes += c.rx_bytes;
    st.last_cycle_s = c.duration_ms / 1000.0;
    st.last_cycle_end = c.end;
    st.have_cycle = true;
}

void MetricsState::image(const ImageEvent& e) {
    if (!e.saved) publish(e.raw.data_id, e.raw.device_type, e.raw.record_type, e.decoded);
}

void MetricsState::alarm(const devhost::AlarmEvent& e) {
    alarm({e.data_id, e.device_type, e.rule.key, e.rule.name, e.rule.signal_id, e.rule.sequence, e.rule.level,
           e.rule.instance},
          e.raised);
}

void MetricsState::restored(const devhost::AlarmEvent& e, const std::string&) { alarm(e); }

void MetricsState::contradicted(const ConfigIssue& c) {
    if (c.check == "device_model" && !c.reported.empty()) set_model(c.reported, c.system.data_id);
}

void MetricsState::cycle_ended(const CycleStats& c) {
    cycle(c);
    set_line_up(true, c.system.data_id);  // a complete cycle: the line delivers
}

void MetricsState::timeout(const SystemRef& system) {
    std::lock_guard<std::mutex> lock(mu_);
    ++s_.version;
    SystemState& st = system_state(system.data_id);
    ++st.timeouts;
    ++st.pending_timeouts;
    st.errors = std::max(st.errors, st.timeouts + st.bad_frames);
}

void MetricsState::bad_frames(const SystemRef& system, uint64_t n) {
    std::lock_guard<std::mutex> lock(mu_);
    ++s_.version;
    SystemState& st = system_state(system.data_id);
    st.bad_frames += n;
    st.pending_bad_frames += n;
    st.errors = std::max(st.errors, st.timeouts + st.bad_frames);
}

void MetricsState::reply_received(const ReplyReceived& r) {
    uint32_t system = 0;
    {
        std::lock_guard<std::mutex> lock(mu_);
        for (const SystemState& st : s_.systems)
            if (st.address == r.address) system = st.id;
    }
    count_rtn(r.rtn, system);
}

void MetricsState::set_line_up(bool up, uint32_t system) {
    std::lock_guard<std::mutex> lock(mu_);
    SystemState& st = system_state(system);
    // A line reported lost before it was ever up is a loss too: a system that never
    // answered shows as lost, not as a line without losses.
    const bool first = !st.line_known;
    st.line_known = true;
    if (st.line_up == up && !(first && !up)) return;
    ++s_.version;
    if (!up) ++st.line_lost;
    st.line_up = up;
}

void MetricsState::count_stale_frame(uint32_t system) {
    std::lock_guard<std::mutex> lock(mu_);
    ++s_.version;
    ++system_state(system).stale_frames;
}

void MetricsState::count_rtn(unsigned code, uint32_t system) {
    std::lock_guard<std::mutex> lock(mu_);
    ++s_.version;
    ++system_state(system).rtn[code];
}

void MetricsState::set_model(const std::string& model, uint32_t system) {
    std::lock_guard<std::mutex> lock(mu_);
    SystemState& st = system_state(system);
    if (st.model == model) return;
    ++s_.version;
    st.model = model;
}

void MetricsState::history_writes(const HistoryWrites& w) {
    std::lock_guard<std::mutex> lock(mu_);
    const bool changed = !s_.history || s_.history->errors != w.errors || s_.history->failing != w.failing;
    s_.history = w;
    if (changed) ++s_.version;
}

uint64_t MetricsState::version() const {
    std::lock_guard<std::mutex> lock(mu_);
    return s_.version;
}

MetricsState::Snapshot MetricsState::copy() const {
    std::lock_guard<std::mutex> lock(mu_);
    return s_;
}

std::string MetricsState::render(Exposition::Format format) const {
    const Snapshot s = copy();
    const auto now = Clock::now();
    Exposition x(format);
    using L = Exposition::Labels;
    const L site{{"site", site_}};
    auto with = [](L l, L more) {
        l.insert(l.end(), more.begin(), more.end());
        return l;
    };
    // The labels of a system, and of the system that holds a device.
    auto base_of = [&](uint32_t system) { return with(site, {{"system", std::to_string(system)}}); };
    auto device_base = [&](uint32_t data_id) { return base_of(owner_of(s, data_id)); };

    x.family("zrt4600a_build", "info", "Version and git revision of the host");
    x.sample({{"version", ZRT_VERSION}, {"revision", ZRT_GIT_REVISION}}, 1);
    x.family("zrt4600a_http_rejected", "counter",
             "Connections the HTTP server refused or dropped, by reason: full (answered 503), evicted (a connection "
             "that had sent no request made room for a new one), idle_timeout, header_timeout, tls_handshake, "
             "unauthorized (answered 401); since start");
    std::map<std::string, uint64_t> rejected;
    {
        std::lock_guard<std::mutex> lock(mu_);
        rejected = http_rejected_;
    }
    for (const char* reason : {"full", "evicted", "idle_timeout", "header_timeout", "tls_handshake", "unauthorized"})
        x.sample(with(site, {{"reason", reason}}), static_cast<double>(rejected[reason]));
    x.family("zrt4600a_device", "info",
             "Each device of the system; model: the model text the system reported when it differs from the driver's, "
             "else the driver's once a cycle completed");
    for (const SystemState& st : s.systems)
        x.sample(with(base_of(st.id), {{"data_id", std::to_string(st.id)},
                                       {"device_type", "zrt4600a"},
                                       {"model", !st.model.empty() ? st.model : st.have_cycle ? "zrt4600a" : ""}}),
                 1);
    for (const auto& [k, img] : s.images)
        x.sample(with(device_base(k.first), {{"data_id", std::to_string(k.first)}, {"device_type", k.second}, {"model", ""}}),
                 1);
    // Events name a system by its name; the series carry its data id: joined on this.
    x.family("zrt4600a_system", "info",
             "Each power system on the line: its name from the settings (empty when it has none) and its address");
    for (const SystemState& st : s.systems)
        x.sample(with(base_of(st.id), {{"name", st.name}, {"address", std::to_string(st.address)}}), 1);

    // One sample per system of each line and cycle family.
    auto per_system = [&](const char* name, const char* type, const char* help, auto value, const char* unit = "") {
        x.family(name, type, help, unit);
        for (const SystemState& st : s.systems)
            if (const std::optional<double> v = value(st)) x.sample(base_of(st.id), *v);
    };
    using V = std::optional<double>;
    per_system("zrt4600a_line_up", "gauge", "1 while the serial line delivers complete cycles, else 0",
               [](const SystemState& st) { return V(st.line_up ? 1 : 0); });
    per_system("zrt4600a_last_cycle_timestamp_seconds", "gauge", "Unix time at which the last complete cycle ended",
               [](const SystemState& st) { return st.have_cycle ? V(unix_seconds(st.last_cycle_end)) : V(); },
               "seconds");
    per_system("zrt4600a_cycle_duration_seconds", "gauge",
               "Duration of the last complete cycle, from its first command to its last publication",
               [](const SystemState& st) { return st.have_cycle ? V(st.last_cycle_s) : V(); }, "seconds");
    per_system("zrt4600a_cycles", "counter", "Complete polling cycles since start",
               [](const SystemState& st) { return V(static_cast<double>(st.cycles)); });
    per_system("zrt4600a_errors", "counter", "Bad frames and time-outs since start",
               [](const SystemState& st) { return V(static_cast<double>(st.errors)); });
    per_system("zrt4600a_timeouts", "counter", "Replies that never came, since start",
               [](const SystemState& st) { return V(static_cast<double>(st.timeouts)); });
    per_system("zrt4600a_bad_frames", "counter", "Replies dropped by the frame decoder, since start",
               [](const SystemState& st) { return V(static_cast<double>(st.bad_frames)); });
    per_system("zrt4600a_stale_frames", "counter",
               "Good frames that came when no reply was awaited (late or queued answers), dropped, since start",
               [](const SystemState& st) { return V(static_cast<double>(st.stale_frames)); });
    x.family("zrt4600a_reply_rtn", "counter", "Replies by their return code (RTN), since start");
    for (const SystemState& st : s.systems)
        for (const auto& [code, n] : st.rtn)
            x.sample(with(base_of(st.id), {{"code", fmt::format("{:02X}", code)}}), static_cast<double>(n));
    if (s.history) {
        x.family("zrt4600a_history_write_errors", "counter",
                 "Writes of the history file that failed (a full disk, a failing medium), since start; what they "
                 "held is kept in memory and written with the next write that succeeds");
        x.sample(site, static_cast<double>(s.history->errors));
    }
    per_system("zrt4600a_line_lost", "counter", "Times the line went from up to lost, since start",
               [](const SystemState& st) { return V(static_cast<double>(st.line_lost)); });
    per_system("zrt4600a_tx_bytes", "counter", "Bytes written to the line, counted at the end of each cycle",
               [](const SystemState& st) { return V(static_cast<double>(st.tx_bytes)); });
    per_system("zrt4600a_rx_bytes", "counter", "Bytes received from the line, counted at the end of each cycle",
               [](const SystemState& st) { return V(static_cast<double>(st.rx_bytes)); });

    x.family("zrt4600a_image_age_seconds", "gauge", "Seconds since the device last published its image", "seconds");
    for (const auto& [k, img] : s.images)
        x.sample(with(device_base(k.first), {{"data_id", std::to_string(k.first)}, {"device_type", k.second}}),
                 std::chrono::duration<double>(now - img.at).count());

    // Every device value goes to its family; absent values are left out.
    const auto& defs = value_families();
    std::vector<std::vector<std::pair<L, double>>> samples(defs.size());
    for (const auto& [k, img] : s.images) {
        if (!img.decoded.valid) continue;
        L device = device_base(k.first);
        if (has_screen_label(img.record_type)) device.emplace_back("screen", std::to_string(k.first));
        for (const ValueSampleAt& vs : img.samples) {
            L labels = device;
            labels.insert(labels.end(), vs.labels.begin(), vs.labels.end());
            samples[vs.family].emplace_back(std::move(labels), vs.value);
        }
    }
    for (size_t f = 0; f < defs.size(); ++f) {
        x.family(defs[f].name, "gauge", defs[f].help, defs[f].unit);
        for (const auto& [labels, value] : samples[f]) x.sample(labels, value);
    }

    x.family("zrt4600a_alarm_active", "gauge",
             "1 for each alarm that is raised now; name and instance are the system's own texts, alarm their English "
             "name");
    for (const auto& [k, r] : s.alarms) {
        const MetricAlarm& a = r.alarm;
        x.sample(with(device_base(a.data_id), {{"device", a.device_type},
                       {"data_id", std::to_string(a.data_id)},
                       {"key", a.key},
                       {"signal_id", a.signal_id},
                       {"level", std::to_string(a.level)},
                       {"severity", alarm_severity(a.level)},
                       {"alarm", alarm_english(a.key, a.name)},
                       {"name", a.name},
                       {"instance", a.instance}}),
                 1);
    }
    if (uplink_) {
        const UplinkFigures u = uplink_();
        x.family("zrt4600a_uplink_connected", "gauge", "1 while the uplink's session with its broker is up");
        x.sample(with(site, {{"broker", u.broker}}), u.connected ? 1 : 0);
        x.family("zrt4600a_uplink_sent_bytes", "counter", "Bytes of MQTT messages the uplink sent");
        x.sample(with(site, {{"broker", u.broker}}), static_cast<double>(u.sent_bytes));
    }
    return x.finish();
}

std::string MetricsState::status_json() const {
    Json::StreamWriterBuilder w;
    w["indentation"] = "";
    w["emitUTF8"] = true;
    return Json::writeString(w, status());
}

void MetricsState::count_http_rejected(const std::string& reason) const {
    std::lock_guard<std::mutex> lock(mu_);
    ++http_rejected_[reason];
}

Json::Value MetricsState::status() const {
    const Snapshot s = copy();
    const auto now = Clock::now();
    const auto wall = std::chrono::system_clock::now();
    auto rounded = [](double v) { return std::round(v * 1000.0) / 1000.0; };

    Json::Value systems(Json::arrayValue);
    for (const SystemState& st : s.systems) {
        Json::Value sys(Json::objectValue);
        sys["site"] = site_;
        sys["system"] = st.id;
        if (s.systems.size() > 1) {
            sys["address"] = st.address;
            sys["name"] = st.name.empty() ? std::to_string(st.address) : st.name;
        }
        sys["model"] = st.model;
        Json::Value line(Json::objectValue);
        line["up"] = st.line_up;
        line["cycles"] = Json::UInt64(st.cycles);
        line["timeouts"] = Json::UInt64(st.timeouts);
        line["bad_frames"] = Json::UInt64(st.bad_frames);
        line["stale_frames"] = Json::UInt64(st.stale_frames);
        line["line_lost"] = Json::UInt64(st.line_lost);
        line["last_cycle"] = st.have_cycle ? Json::Value(iso_utc(st.last_cycle_end)) : Json::Value();
        line["last_cycle_age_s"] =
            st.have_cycle ? Json::Value(rounded(std::chrono::duration<double>(wall - st.last_cycle_end).count())) : Json::Value();
        line["cycle_duration_s"] = st.have_cycle ? Json::Value(rounded(st.last_cycle_s)) : Json::Value();
        sys["line"] = line;

        Json::Value devices(Json::arrayValue);
        for (const auto& [k, img] : s.images) {
            if (owner_of(s, k.first) != st.id) continue;
            const DecodedImage& d = img.decoded;
            Json::Value dev(Json::objectValue);
            dev["data_id"] = k.first;
            dev["device_type"] = k.second;
            dev["record_type"] = img.record_type;
            dev["device"] = d.device;
            dev["valid"] = d.valid;
            dev["image_time"] = d.time;
            dev["age_s"] = rounded(std::chrono::duration<double>(now - img.at).count());
            Json::Value values(Json::arrayValue);
            for (const DecodedValue& v : d.values) {
                Json::Value j(Json::objectValue);
                j["key"] = v.key;
                j["label"] = v.label;
                j["unit"] = v.unit;
                j["kind"] = v.kind == ValueKind::Measure ? "measure"
                            : v.kind == ValueKind::Setting ? "setting"
                            : v.kind == ValueKind::State   ? "state"
                                                           : "count";
                j["value"] = v.value ? Json::Value(*v.value) : Json::Value();
                if (!v.state_text.empty()) j["state"] = v.state_text;
                values.append(j);
            }
            dev["values"] = values;
            devices.append(dev);
        }
        sys["devices"] = devices;

        Json::Value alarms(Json::arrayValue);
        for (const auto& [k, r] : s.alarms) {
            const MetricAlarm& a = r.alarm;
            if (owner_of(s, a.data_id) != st.id) continue;
            Json::Value j(Json::objectValue);
            j["data_id"] = a.data_id;
            j["device_type"] = a.device_type;
            j["key"] = a.key;
            j["signal_id"] = a.signal_id;
            j["level"] = a.level;
            j["severity"] = alarm_severity(a.level);
            j["name"] = a.name;
            j["instance"] = a.instance;
            j["alarm"] = alarm_english(a.key, a.name);
            j["since"] = iso_utc(r.since);
            alarms.append(j);
        }
        sys["alarms"] = alarms;

        Json::Value trend(Json::objectValue);
        for (const auto& [id, points] : s.dc_trend) {
            if (owner_of(s, id) != st.id) continue;
            Json::Value p(Json::arrayValue);
            for (const auto& [t, v] : points) {
                Json::Value pair(Json::arrayValue);
                pair.append(rounded(t));
                pair.append(v);
                p.append(pair);
            }
            trend[std::to_string(id)] = p;
        }
        sys["dc_trend"] = trend;
        systems.append(sys);
    }

    Json::Value root(Json::objectValue);
    root["time"] = iso_utc(wall);
    root["version"] = Json::UInt64(s.version);
    root["systems"] = systems;
    if (s.history) {
        Json::Value h(Json::objectValue);
        h["file"] = s.history->file;
        h["write_errors"] = Json::UInt64(s.history->errors);
        h["failing"] = s.history->failing;
        h["error"] = s.history->failing ? Json::Value(s.history->error) : Json::Value();
        h["held_bytes"] = Json::UInt64(s.history->held_bytes);
        root["history"] = h;
    }
    if (uplink_) {
        const UplinkFigures u = uplink_();
        Json::Value up(Json::objectValue);
        up["broker"] = u.broker;
        up["connected"] = u.connected;
        up["state"] = u.state;
        up["sent_bytes"] = Json::UInt64(u.sent_bytes);
        up["since"] = u.since;
        up["replay_backlog_s"] = Json::Int64(u.replay_pending_ms / 1000);
        root["uplink"] = up;
    }
    return root;
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

}  // namespace zrt::host

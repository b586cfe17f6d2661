// The uplink's devices and their values: the events update them under the lock and, while
// the session is live, publish the births and the data by exception without waiting.
#include "tools/uplink/uplink_sink.h"

#include <cmath>
#include <cstring>

#include "tools/core/alarm_names.h"
#include "tools/uplink/uplink_impl.h"

namespace zrt::uplink {

using zrt::host::DecodedValue;
using zrt::host::ValueKind;

namespace {
// How far a measured value moves before it is sent again: the equipment's last digit
// flickers, and a message per flicker would cost the link for nothing. The same bands as
// the history's, so that the centre and the site's own file agree on what changed.
double dead_band(const DecodedValue& v) {
    if (v.kind != ValueKind::Measure) return 0.0;
    if (v.unit == "V" || v.unit == "A") return 0.15;
    if (v.unit == "Hz") return 0.05;
    return 0.0;
}

DataType type_of(ValueKind k) {
    return k == ValueKind::State || k == ValueKind::Count ? DataType::Int32 : DataType::Float;
}

// The alarm keys each child's type raises; the top device holds the others.
bool alarm_belongs(const std::string& key, const std::string& device_type, bool top) {
    auto ends = [&](const char* suffix) {
        const size_t n = std::strlen(suffix);
        return device_type.size() >= n && device_type.compare(device_type.size() - n, n, suffix) == 0;
    };
    if (key.rfind("AC_", 0) == 0) return ends("-ac");
    if (key.rfind("DC_", 0) == 0) return ends("-dc");
    if (key.rfind("RC_", 0) == 0) return ends("-rc");
    return top;
}

}  // namespace

UplinkSink::Impl::Impl(UplinkOptions o, Diag d) : opt(std::move(o)), diag(std::move(d)) {
    const UplinkSettings& s = opt.settings;
    prefix = "spBv1.0/" + s.group + "/";
    if (!opt.history.empty()) {
        acks = std::make_unique<AckStore>(opt.history, s.group + "/" + opt.node);
        if (!acks->open()) {
            diag(0, "uplink: cannot keep the acknowledged time in " + opt.history + ": " + acks->error() +
                        "; the values of an outage wait in memory");
            acks.reset();
        } else if (const auto t = acks->load()) {
            acked = *t;
            ack_known = true;
            persisted = *t;
        }
    }
    worker = std::thread([this] { run(); });
}

void UplinkSink::Impl::finish() {
    {
        std::lock_guard<std::mutex> lock(mu);
        if (stopping) return;
        stopping = true;
    }
    wake.notify_all();
    if (worker.joinable()) worker.join();
}

uint32_t UplinkSink::Impl::system_of(uint32_t data_id) const {
    const zrt::host::SystemRef* s = start.system_for(data_id);
    return s ? s->data_id : data_id;
}

size_t UplinkSink::Impl::add_metric(Device& d, const std::string& name, DataType type, double band,
                                    std::vector<Property> props, std::optional<double> value) {
    const auto it = d.by_name.find(name);
    if (it != d.by_name.end()) return it->second;
    d.metrics.push_back({name, next_alias++, type, band, std::move(props)});
    d.current.push_back(value);
    d.sent.push_back(std::nullopt);
    d.recorded.push_back(value);
    d.by_name[name] = d.metrics.size() - 1;
    return d.metrics.size() - 1;
}

void UplinkSink::Impl::add_alarm_metric(Device& d, const std::string& key, const std::string& name, const std::string& english) {
    add_metric(d, "alarm/" + key, DataType::Boolean, 0, {{"text", name}, {"english", english}}, 0.0);
}

size_t UplinkSink::Impl::device_index(uint32_t data_id, const std::string& type) {
    const auto key = std::make_pair(data_id, type);
    const auto it = device_at.find(key);
    if (it != device_at.end()) return it->second;
    Device d;
    d.data_id = data_id;
    d.type = type;
    d.id = type + "-" + std::to_string(data_id);
    d.top = false;
    for (const zrt::host::SystemRef& s : start.systems)
        if (s.data_id == data_id && type == start.device_type) d.top = true;
    devices.push_back(std::move(d));
    Device& dev = devices.back();
    for (const zrt::host::KnownAlarm& a : zrt::host::known_alarms())
        if (alarm_belongs(a.key, type, dev.top)) add_alarm_metric(dev, a.key, a.name, a.english);
    add_metric(dev, kLineUp, DataType::Boolean, 0, {}, 1.0);
    device_at[key] = devices.size() - 1;
    return devices.size() - 1;
}

void UplinkSink::Impl::dbirth(Device& d) {
    Payload p;
    p.timestamp = static_cast<uint64_t>(now_ms());
    for (size_t i = 0; i < d.metrics.size(); ++i) {
        const MetricDef& m = d.metrics[i];
        Metric x;
        x.name = m.name;
        x.alias = m.alias;
        x.datatype = m.type;
        x.send_datatype = true;
        x.value = d.current[i];
        x.properties = m.props;
        p.metrics.push_back(std::move(x));
    }
    track(publish(device_topic("DBIRTH", d), p, true), now_ms());
    d.sent = d.current;
    d.born = true;
}

void UplinkSink::Impl::ddeath(Device& d) {
    Payload p;
    p.timestamp = static_cast<uint64_t>(now_ms());
    track(publish(device_topic("DDEATH", d), p, true), now_ms());
    d.born = false;
}

// The metrics of `d` that moved past their dead band since they were last sent.
void UplinkSink::Impl::send_changes(Device& d, int64_t t) {
    Payload p;
    p.timestamp = static_cast<uint64_t>(t);
    for (size_t i = 0; i < d.metrics.size(); ++i) {
        const std::optional<double>& now = d.current[i];
        const std::optional<double>& was = d.sent[i];
        if (!moved(d.metrics[i], now, was)) continue;
        Metric x;
        x.alias = d.metrics[i].alias;
        x.datatype = d.metrics[i].type;
        x.value = now;
        p.metrics.push_back(std::move(x));
        d.sent[i] = now;
    }
    if (!p.metrics.empty()) track(publish(device_topic("DDATA", d), p, true), t);
}

// A live message: acknowledged, it moves the acknowledged time.
void UplinkSink::Impl::track(int mid, int64_t t) {
    if (mid < 0) return;
    outstanding[mid] = t;
}

void UplinkSink::Impl::on_image(const zrt::host::ImageEvent& e) {
    if (e.saved || !e.decoded.valid) return;
    const int64_t t = now_ms();
    std::lock_guard<std::mutex> lock(mu);
    const size_t di = device_index(e.raw.data_id, e.raw.device_type);
    Device& d = devices[di];
    bool grown = false;
    for (const DecodedValue& v : e.decoded.values) {
        const size_t before = d.metrics.size();
        const size_t i = add_metric(d, v.key, type_of(v.kind), dead_band(v), {}, v.value);
        grown = grown || d.metrics.size() != before;
        d.current[i] = v.value;
    }
    d.has_values = true;
    keep(di, t);
    if (!live || d.dead) return;
    if (!d.born || grown) {
        // New metrics (more modules, say) need a new birth before data may name them.
        dbirth(d);
        return;
    }
    send_changes(d, t);
}

void UplinkSink::Impl::on_alarm(const devhost::AlarmEvent& e, bool restored_one) {
    std::lock_guard<std::mutex> lock(mu);
    const size_t di = device_index(e.data_id, e.device_type);
    Device& d = devices[di];
    const std::string name = "alarm/" + e.rule.key;
    bool grown = false;
    if (!d.by_name.count(name)) {
        add_alarm_metric(d, e.rule.key, e.rule.name, zrt::host::alarm_english_by_signal(e.rule.key, e.rule.signal_id));
        grown = true;
    }
    auto& set = d.raised[e.rule.key];
    if (e.raised)
        set.insert(e.rule.sequence);
    else
        set.erase(e.rule.sequence);
    const size_t i = d.by_name[name];
    d.current[i] = set.empty() ? 0.0 : 1.0;
    if (d.top) d.has_values = true;
    const int64_t t = now_ms();
    keep(di, t);
    if (restored_one || !live || d.dead || !d.has_values) return;
    if (!d.born || grown)
        dbirth(d);
    else
        send_changes(d, t);
}

void UplinkSink::Impl::on_line(const zrt::host::LineStatus& l) {
    std::lock_guard<std::mutex> lock(mu);
    const int64_t t = now_ms();
    for (size_t di = 0; di < devices.size(); ++di) {
        Device& d = devices[di];
        if (system_of(d.data_id) != l.system.data_id) continue;
        d.current[d.by_name[kLineUp]] = l.up ? 1.0 : 0.0;
        keep(di, t);
        if (!l.up) {
            // The line state first, then the death: the centre sees why.
            if (live && d.born) {
                send_changes(d, t);
                ddeath(d);
            }
            d.dead = true;
        } else {
            d.dead = false;
            // A child is born again with its next image; the top device has none.
            if (live && d.top && d.has_values) dbirth(d);
        }
    }
}

void UplinkSink::Impl::on_start(const zrt::host::StartInfo& s) {
    std::lock_guard<std::mutex> lock(mu);
    start = s;
    // Devices made before the start (by restored alarms) learn now which are top devices.
    for (auto& d : devices)
        for (const zrt::host::SystemRef& sys : s.systems)
            if (sys.data_id == d.data_id && d.type == s.device_type && !d.top) {
                d.top = true;
                for (const zrt::host::KnownAlarm& a : zrt::host::known_alarms())
                    if (alarm_belongs(a.key, d.type, true)) add_alarm_metric(d, a.key, a.name, a.english);
            }
    for (const zrt::host::SystemRef& sys : s.systems) devices[device_index(sys.data_id, s.device_type)].has_values = true;
    started = true;
    wake.notify_all();
}

UplinkSink::UplinkSink(UplinkOptions o, Diag diag) : impl_(std::make_unique<Impl>(std::move(o), std::move(diag))) {}
UplinkSink::~UplinkSink() = default;

void UplinkSink::start(const zrt::host::StartInfo& s) { impl_->on_start(s); }
void UplinkSink::image(const zrt::host::ImageEvent& e) { impl_->on_image(e); }
void UplinkSink::alarm(const devhost::AlarmEvent& e) { impl_->on_alarm(e, false); }
void UplinkSink::restored(const devhost::AlarmEvent& e, const std::string&) { impl_->on_alarm(e, true); }
void UplinkSink::line(const zrt::host::LineStatus& l) { impl_->on_line(l); }
void UplinkSink::stop(uint64_t, const std::string&) { impl_->finish(); }

UplinkStatus UplinkSink::status() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    UplinkStatus s;
    s.connected = impl_->live;
    s.sent_bytes = impl_->sent_bytes;
    s.messages = impl_->messages;
    s.broker = impl_->opt.settings.url;
    s.state = impl_->state;
    s.since = zrt::host::iso_utc(impl_->state_since);
    s.mqtt5 = impl_->session_mqtt5;
    s.replay_pending_ms = impl_->replaying ? impl_->replay_to - impl_->replay_from : 0;
    return s;
}

}  // namespace zrt::uplink

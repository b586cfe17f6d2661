#include "tools/uplink/uplink_sink.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include <mosquitto.h>

#include "tools/core/alarm_names.h"
#include "tools/uplink/sparkplug.h"
#include "tools/uplink/uplink_store.h"

namespace zrt::uplink {

using zrt::host::DecodedValue;
using zrt::host::SystemClock;
using zrt::host::ValueKind;
using Steady = std::chrono::steady_clock;

namespace {

int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(SystemClock::now().time_since_epoch()).count();
}

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

size_t packet_bytes(size_t topic, size_t payload) {
    // PUBLISH at QoS 1: the fixed header, the topic with its length, the packet id.
    const size_t rest = 2 + topic + 2 + payload;
    size_t len = 1;
    for (size_t r = rest; r >= 128; r >>= 7) ++len;
    return 1 + len + rest;
}

constexpr const char* kRebirth = "Node Control/Rebirth";
constexpr const char* kLineUp = "line/up";
constexpr int kMaxBackoffS = 60;
constexpr size_t kReplayMetricsPerMessage = 400;

}  // namespace

struct UplinkSink::Impl {
    struct MetricDef {
        std::string name;
        uint64_t alias = 0;
        DataType type = DataType::Float;
        double band = 0;
        std::vector<Property> props;
    };
    struct Device {
        uint32_t data_id = 0;
        std::string type;
        std::string id;  // the Sparkplug device id
        bool top = false;
        std::vector<MetricDef> metrics;
        std::map<std::string, size_t> by_name;
        std::vector<std::optional<double>> current, sent, recorded;
        std::map<std::string, std::set<uint32_t>> raised;  // alarm key -> raised sequences
        bool has_values = false;  // an image came, or it is a top device
        bool born = false;
        bool dead = false;  // its system's line is lost
    };
    // A value kept in memory for the replay, without a history file.
    struct Kept {
        int64_t time_ms;
        size_t device, metric;
        std::optional<double> value;
    };

    Impl(UplinkOptions o, Diag d) : opt(std::move(o)), diag(std::move(d)) {
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
        // Once per process, and never undone: other uplinks (a fleet in one benchmark
        // process) may still be using the library's TLS state.
        static std::once_flag init;
        std::call_once(init, [] { mosquitto_lib_init(); });
        worker = std::thread([this] { run(); });
    }

    ~Impl() { finish(); }

    void finish() {
        {
            std::lock_guard<std::mutex> lock(mu);
            if (stopping) return;
            stopping = true;
        }
        wake.notify_all();
        if (worker.joinable()) worker.join();
    }

    // --- devices and values (under mu) -------------------------------------------------

    uint32_t system_of(uint32_t data_id) const {
        const zrt::host::SystemRef* s = start.system_for(data_id);
        return s ? s->data_id : data_id;
    }

    size_t add_metric(Device& d, const std::string& name, DataType type, double band, std::vector<Property> props,
                      std::optional<double> value) {
        const auto it = d.by_name.find(name);
        if (it != d.by_name.end()) return it->second;
        d.metrics.push_back({name, next_alias++, type, band, std::move(props)});
        d.current.push_back(value);
        d.sent.push_back(std::nullopt);
        d.recorded.push_back(value);
        d.by_name[name] = d.metrics.size() - 1;
        return d.metrics.size() - 1;
    }

    void add_alarm_metric(Device& d, const std::string& key, const std::string& name, const std::string& english) {
        add_metric(d, "alarm/" + key, DataType::Boolean, 0, {{"text", name}, {"english", english}}, 0.0);
    }

    size_t device_index(uint32_t data_id, const std::string& type) {
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

    // Publishes at QoS 1; `seq` goes on every message but the NDEATH. Returns the message id,
    // or -1 when the client did not take it.
    int publish(const std::string& topic, Payload& p, bool with_seq) {
        if (!mosq) return -1;
        if (with_seq) {
            p.seq = seq;
            seq = (seq + 1) % 256;
        }
        const std::string bytes = encode(p);
        int mid = 0;
        const int rc = mosquitto_publish(mosq, &mid, topic.c_str(), static_cast<int>(bytes.size()), bytes.data(), 1,
                                         false);
        if (rc != MOSQ_ERR_SUCCESS) return -1;
        sent_bytes += packet_bytes(topic.size(), bytes.size());
        ++messages;
        return mid;
    }

    std::string device_topic(const char* kind, const Device& d) const {
        return prefix + kind + "/" + opt.node + "/" + d.id;
    }

    void dbirth(Device& d) {
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

    void ddeath(Device& d) {
        Payload p;
        p.timestamp = static_cast<uint64_t>(now_ms());
        track(publish(device_topic("DDEATH", d), p, true), now_ms());
        d.born = false;
    }

    // The metrics of `d` that moved past their dead band since they were last sent.
    void send_changes(Device& d, int64_t t) {
        Payload p;
        p.timestamp = static_cast<uint64_t>(t);
        for (size_t i = 0; i < d.metrics.size(); ++i) {
            const std::optional<double>& now = d.current[i];
            const std::optional<double>& was = d.sent[i];
            const bool changed = now.has_value() != was.has_value() ||
                                 (now && (d.metrics[i].band > 0 ? std::fabs(*now - *was) > d.metrics[i].band
                                                                : *now != *was));
            if (!changed) continue;
            Metric x;
            x.alias = d.metrics[i].alias;
            x.datatype = d.metrics[i].type;
            x.value = now;
            p.metrics.push_back(std::move(x));
            d.sent[i] = now;
        }
        if (!p.metrics.empty()) track(publish(device_topic("DDATA", d), p, true), t);
    }

    // Without a history file: the values that moved, kept for a replay.
    void keep(size_t di, int64_t t) {
        if (acks) return;
        Device& d = devices[di];
        for (size_t i = 0; i < d.metrics.size(); ++i) {
            const std::optional<double>& now = d.current[i];
            const std::optional<double>& was = d.recorded[i];
            const bool changed = now.has_value() != was.has_value() ||
                                 (now && (d.metrics[i].band > 0 ? std::fabs(*now - *was) > d.metrics[i].band
                                                                : *now != *was));
            if (!changed) continue;
            d.recorded[i] = now;
            kept.push_back({t, di, i, now});
            if (kept.size() > opt.memory_values) {
                if (!kept_overflow_said) {
                    diag(1, "uplink: the memory queue holds " + std::to_string(opt.memory_values) +
                                " values; older values of the outage are dropped");
                    kept_overflow_said = true;
                }
                kept.pop_front();
            }
        }
    }

    // A live message: acknowledged, it moves the acknowledged time.
    void track(int mid, int64_t t) {
        if (mid < 0) return;
        outstanding[mid] = t;
    }

    void on_image(const zrt::host::ImageEvent& e) {
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

    void on_alarm(const devhost::AlarmEvent& e, bool restored_one) {
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

    void on_line(const zrt::host::LineStatus& l) {
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

    void on_start(const zrt::host::StartInfo& s) {
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

    // --- the session (on the worker) -------------------------------------------------------

    static void on_connect_cb(struct mosquitto*, void* obj, int rc) {
        auto* self = static_cast<Impl*>(obj);
        std::lock_guard<std::mutex> lock(self->inbox_mu);
        self->connack = rc;
    }
    static void on_publish_cb(struct mosquitto*, void* obj, int mid) {
        auto* self = static_cast<Impl*>(obj);
        std::lock_guard<std::mutex> lock(self->inbox_mu);
        self->acked_mids.push_back(mid);
    }
    static void on_message_cb(struct mosquitto*, void* obj, const struct mosquitto_message* m) {
        auto* self = static_cast<Impl*>(obj);
        const std::string topic = m->topic ? m->topic : "";
        const std::string payload(static_cast<const char*>(m->payload), m->payloadlen > 0 ? m->payloadlen : 0);
        std::lock_guard<std::mutex> lock(self->inbox_mu);
        self->inbox.emplace_back(topic, payload);
    }
    static void on_log_cb(struct mosquitto*, void* obj, int level, const char* text) {
        if (!(level & MOSQ_LOG_ERR) || !text) return;
        auto* self = static_cast<Impl*>(obj);
        std::lock_guard<std::mutex> lock(self->inbox_mu);
        self->last_log_error = text;
    }

    std::string node_topic(const char* kind) const { return prefix + kind + "/" + opt.node; }

    Payload death_payload() const {
        Payload p;
        p.timestamp = static_cast<uint64_t>(now_ms());
        Metric bd;
        bd.name = "bdSeq";
        bd.datatype = DataType::Int64;
        bd.send_datatype = true;
        bd.value = static_cast<double>(session_bd);
        p.metrics.push_back(bd);
        return p;
    }

    // Says a failure once per cause, then tries again later.
    void failed(const std::string& why) {
        {
            std::lock_guard<std::mutex> lock(mu);
            live = false;
            for (Device& d : devices) d.born = false;
            outstanding.clear();
            replay_mids.clear();
            state = "retrying: " + why;
            if (mosq) {
                struct mosquitto* m = mosq;
                mosq = nullptr;
                mosquitto_destroy(m);
            }
        }
        if (why != said) {
            diag(0, "uplink: the broker " + opt.settings.url + " " + why + "; trying again, at most every " +
                        std::to_string(kMaxBackoffS) + " s, while polling goes on");
            said = why;
        }
        next_try = Steady::now() + std::chrono::seconds(backoff_s);
        backoff_s = std::min(backoff_s * 2, kMaxBackoffS);
        connecting = false;
    }

    void connect() {
        const UplinkSettings& s = opt.settings;
        {
            std::lock_guard<std::mutex> lock(inbox_mu);
            connack = -1;
            inbox.clear();
            acked_mids.clear();
            last_log_error.clear();
        }
        struct mosquitto* m = mosquitto_new((opt.node + "@" + s.group).c_str(), true, this);
        if (!m) return failed("cannot be used: no MQTT client (out of memory)");
        mosquitto_threaded_set(m, true);
        mosquitto_int_option(m, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
        mosquitto_connect_callback_set(m, on_connect_cb);
        mosquitto_publish_callback_set(m, on_publish_cb);
        mosquitto_message_callback_set(m, on_message_cb);
        mosquitto_log_callback_set(m, on_log_cb);
        session_bd = next_bd;
        const std::string will = encode(death_payload());
        mosquitto_will_set(m, node_topic("NDEATH").c_str(), static_cast<int>(will.size()), will.data(), 1, false);
        if (!s.username.empty())
            mosquitto_username_pw_set(m, s.username.c_str(), s.password.empty() ? nullptr : s.password.c_str());
        if (s.broker.tls) {
            const int rc = mosquitto_tls_set(m, s.ca_file.empty() ? nullptr : s.ca_file.c_str(),
                                             s.ca_file.empty() ? "/etc/ssl/certs" : nullptr,
                                             s.cert_file.empty() ? nullptr : s.cert_file.c_str(),
                                             s.key_file.empty() ? nullptr : s.key_file.c_str(), nullptr);
            if (rc != MOSQ_ERR_SUCCESS) {
                mosquitto_destroy(m);
                return failed(std::string("cannot be used: TLS settings refused: ") + mosquitto_strerror(rc));
            }
        }
        {
            std::lock_guard<std::mutex> lock(mu);
            mosq = m;
            state = "connecting";
        }
        const int rc = mosquitto_connect(m, s.broker.host.c_str(), s.broker.port, s.keepalive_s);
        if (rc != MOSQ_ERR_SUCCESS) return failed(connect_error(rc, errno));
        next_bd = (next_bd + 1) % 256;  // a CONNECT went out with this bdSeq
        connecting = true;
        connect_sent = Steady::now();
    }

    std::string connect_error(int rc, int err) {
        std::string log;
        {
            std::lock_guard<std::mutex> lock(inbox_mu);
            log = last_log_error;
        }
        if (rc == MOSQ_ERR_ERRNO) return std::string("cannot be reached: ") + std::strerror(err);
        if (rc == MOSQ_ERR_TLS) return "refused the TLS connection: " + (log.empty() ? std::string("TLS error") : log);
        if (rc == MOSQ_ERR_EAI) return "cannot be reached: its host name does not resolve";
        return std::string("cannot be reached: ") + mosquitto_strerror(rc) + (log.empty() ? "" : " (" + log + ")");
    }

    void births() {
        std::lock_guard<std::mutex> lock(mu);
        seq = 0;
        // The NBIRTH starts as the will does: its time and the session's bdSeq.
        Payload p = death_payload();
        Metric rebirth;
        rebirth.name = kRebirth;
        rebirth.datatype = DataType::Boolean;
        rebirth.send_datatype = true;
        rebirth.value = 0.0;
        p.metrics.push_back(rebirth);
        publish(node_topic("NBIRTH"), p, true);
        for (Device& d : devices)
            if (d.has_values && !d.dead) dbirth(d);
        if (!live) {
            // A new session: what the broker missed since the acknowledged time follows the births.
            const int64_t born_at = now_ms();
            const int64_t horizon = born_at - static_cast<int64_t>(opt.settings.replay_hours) * 3'600'000;
            if (opt.settings.replay_hours > 0 && ack_known && acked < born_at) {
                replay_from = std::max(acked, horizon);
                replay_to = born_at;
                replaying = replay_from < replay_to;
                if (replaying)
                    diag(2, "uplink: sending the " + std::to_string((replay_to - replay_from) / 1000) +
                                " s the broker missed as historical values");
            }
            if (!ack_known) {
                acked = born_at;
                ack_known = true;
            }
        }
        live = true;
        state = "connected";
    }

    void handle_inbox() {
        int ack = -1;
        std::vector<std::pair<std::string, std::string>> msgs;
        std::vector<int> mids;
        {
            std::lock_guard<std::mutex> lock(inbox_mu);
            std::swap(ack, connack);
            msgs.swap(inbox);
            mids.swap(acked_mids);
        }
        if (ack >= 0 && connecting) {
            connecting = false;
            if (ack != 0) {
                std::string why = mosquitto_connack_string(ack);
                if (!why.empty() && why.back() == '.') why.pop_back();
                return failed("refused the connection: " + why);
            }
            backoff_s = 1;
            if (!said.empty() || first_connect) diag(2, "uplink: connected to " + opt.settings.url + " as node " +
                                                            opt.settings.group + "/" + opt.node);
            said.clear();
            first_connect = false;
            mosquitto_subscribe(mosq, nullptr, node_topic("NCMD").c_str(), 1);
            if (!opt.settings.primary_host.empty()) {
                mosquitto_subscribe(mosq, nullptr, ("spBv1.0/STATE/" + opt.settings.primary_host).c_str(), 1);
                std::lock_guard<std::mutex> lock(mu);
                state = "waiting for the primary host";
            } else {
                births();
            }
        }
        for (const auto& [topic, payload] : msgs) {
            if (topic == node_topic("NCMD")) {
                const auto metrics = decode_metrics(payload);
                if (!metrics) continue;
                for (const ReceivedMetric& m : *metrics)
                    if (m.name == kRebirth && m.boolean.value_or(false)) {
                        diag(2, "uplink: rebirth asked for");
                        births();
                        break;
                    }
            } else if (topic == "spBv1.0/STATE/" + opt.settings.primary_host) {
                // {"online": true, "timestamp": ...}; read without a JSON library: one key.
                const size_t at = payload.find("\"online\"");
                const bool online = at != std::string::npos && payload.find("true", at) != std::string::npos &&
                                    payload.find("true", at) < payload.find_first_of(",}", at);
                bool is_live;
                {
                    std::lock_guard<std::mutex> lock(mu);
                    is_live = live;
                }
                if (online && !is_live) {
                    births();
                } else if (!online && is_live) {
                    diag(1, "uplink: the primary host " + opt.settings.primary_host + " is offline; waiting");
                    goodbye();
                    failed("has no primary host online (" + opt.settings.primary_host + ")");
                }
            }
        }
        std::lock_guard<std::mutex> lock(mu);
        for (int mid : mids) {
            const auto it = outstanding.find(mid);
            if (it != outstanding.end()) outstanding.erase(it);
            replay_mids.erase(mid);
        }
        if (live && outstanding.empty() && !replaying) acked = std::max(acked, last_quiet);
    }

    // The NDEATH, then DISCONNECT.
    void goodbye() {
        int mid = -1;
        {
            std::lock_guard<std::mutex> lock(mu);
            if (!mosq || !live) return;
            Payload p = death_payload();
            mid = publish(node_topic("NDEATH"), p, false);
            live = false;
        }
        const Steady::time_point until = Steady::now() + std::chrono::seconds(3);
        bool acked_death = false;
        while (mid >= 0 && !acked_death && Steady::now() < until) {
            if (mosquitto_loop(mosq, 100, 1) != MOSQ_ERR_SUCCESS) break;
            std::lock_guard<std::mutex> lock(inbox_mu);
            acked_death = std::find(acked_mids.begin(), acked_mids.end(), mid) != acked_mids.end();
        }
        mosquitto_disconnect(mosq);
        for (int i = 0; i < 5 && mosquitto_loop(mosq, 20, 1) == MOSQ_ERR_SUCCESS; ++i) {
        }
    }

    // One slice of the gap, when the last one was acknowledged.
    void replay_step() {
        int64_t from, to;
        {
            std::lock_guard<std::mutex> lock(mu);
            if (!live || !replaying || !replay_mids.empty()) return;
            if (replay_sent_to > 0) {
                // The slice before is acknowledged: it is the broker's now.
                acked = replay_sent_to;
                replay_from = replay_sent_to;
                replay_sent_to = 0;
                persist_locked(true);
            }
            if (replay_from >= replay_to) {
                replaying = false;
                diag(2, "uplink: the missed values are sent");
                acked = std::max(acked, replay_to);
                return;
            }
            from = replay_from + 1;
            to = std::min(replay_to, replay_from + opt.replay_slice_ms);
        }
        if (acks && opt.flush_history && flushed_to < to) {
            opt.flush_history();
            std::lock_guard<std::mutex> lock(mu);
            flushed_to = replay_to;
        }
        std::vector<std::pair<size_t, std::vector<StoredValue>>> slices;
        if (acks) {
            try {
                if (!gap) gap = std::make_unique<HistoryGap>(opt.history);
                auto want = [this](uint32_t id, const std::string& type, const std::string& key) -> std::optional<size_t> {
                    std::lock_guard<std::mutex> lock(mu);
                    const auto it = device_at.find({id, type});
                    if (it == device_at.end()) return std::nullopt;
                    const Device& d = devices[it->second];
                    const auto m = d.by_name.find(key);
                    if (m == d.by_name.end()) return std::nullopt;
                    return m->second;
                };
                gap->read(from, to, want, [&](uint32_t id, const std::string& type, std::vector<StoredValue>& v) {
                    std::lock_guard<std::mutex> lock(mu);
                    slices.emplace_back(device_at[{id, type}], std::move(v));
                });
            } catch (const std::exception& e) {
                diag(0, std::string("uplink: the missed values cannot be read: ") + e.what());
                std::lock_guard<std::mutex> lock(mu);
                replaying = false;
                return;
            }
        } else {
            std::lock_guard<std::mutex> lock(mu);
            std::map<size_t, std::vector<StoredValue>> by_device;
            for (const Kept& k : kept)
                if (k.time_ms >= from && k.time_ms <= to) by_device[k.device].push_back({k.time_ms, k.metric, k.value});
            for (auto& [di, v] : by_device) slices.emplace_back(di, std::move(v));
        }
        std::lock_guard<std::mutex> lock(mu);
        if (!live) return;
        for (auto& [di, values] : slices) {
            Device& d = devices[di];
            if (!d.born) continue;
            for (size_t start_at = 0; start_at < values.size(); start_at += kReplayMetricsPerMessage) {
                Payload p;
                p.timestamp = static_cast<uint64_t>(now_ms());
                const size_t end = std::min(values.size(), start_at + kReplayMetricsPerMessage);
                for (size_t k = start_at; k < end; ++k) {
                    const StoredValue& v = values[k];
                    if (v.metric >= d.metrics.size()) continue;
                    Metric x;
                    x.alias = d.metrics[v.metric].alias;
                    x.timestamp = static_cast<uint64_t>(v.time_ms);
                    x.historical = true;
                    x.datatype = d.metrics[v.metric].type;
                    x.value = v.value;
                    p.metrics.push_back(std::move(x));
                }
                const int mid = publish(device_topic("DDATA", d), p, true);
                if (mid >= 0) replay_mids.insert(mid);
            }
        }
        replay_sent_to = to;
    }

    // Writes the acknowledged time to the history file: after each replayed slice, else at
    // most once a minute (the file lives on flash).
    void persist_locked(bool now) {
        if (!acks || !ack_known || acked == persisted) return;
        const Steady::time_point t = Steady::now();
        if (!now && t - last_persist < std::chrono::seconds(60)) return;
        const std::string err = acks->save(acked);
        last_persist = t;
        if (err.empty()) {
            persisted = acked;
        } else if (err != persist_error) {
            diag(0, "uplink: cannot keep the acknowledged time in " + opt.history + ": " + err);
            persist_error = err;
        }
    }

    void run() {
        {
            // The devices are known once the line is open.
            std::unique_lock<std::mutex> lock(mu);
            wake.wait(lock, [this] { return started || stopping; });
        }
        while (true) {
            {
                std::unique_lock<std::mutex> lock(mu);
                if (stopping) break;
                if (!mosq) {
                    if (Steady::now() < next_try) {
                        wake.wait_until(lock, next_try, [this] { return stopping; });
                        continue;
                    }
                }
            }
            if (!mosq) {
                connect();
                continue;
            }
            const int rc = mosquitto_loop(mosq, 100, 1);
            const int err = errno;
            if (rc != MOSQ_ERR_SUCCESS) {
                handle_inbox();  // a refused CONNECT says why before the socket closes
                if (!mosq) continue;
                failed(rc == MOSQ_ERR_CONN_LOST || rc == MOSQ_ERR_NO_CONN
                           ? "closed the connection"
                           : connect_error(rc, err));
                continue;
            }
            handle_inbox();
            if (!mosq) continue;
            if (connecting && Steady::now() - connect_sent > std::chrono::seconds(30)) {
                failed("did not answer the connection");
                continue;
            }
            replay_step();
            std::lock_guard<std::mutex> lock(mu);
            if (live && !replaying) last_quiet = now_ms();
            persist_locked(false);
        }
        goodbye();
        std::lock_guard<std::mutex> lock(mu);
        persist_locked(true);
        if (mosq) {
            mosquitto_destroy(mosq);
            mosq = nullptr;
        }
        state = "stopped";
    }

    UplinkOptions opt;
    Diag diag;
    std::string prefix;  // "spBv1.0/<group>/"

    // Under mu: the devices, the session, the counters.
    mutable std::mutex mu;
    std::condition_variable wake;
    zrt::host::StartInfo start;
    bool started = false, stopping = false;
    std::vector<Device> devices;
    std::map<std::pair<uint32_t, std::string>, size_t> device_at;
    uint64_t next_alias = 1;
    struct mosquitto* mosq = nullptr;  // created and destroyed by the worker
    bool live = false;  // the births are out
    unsigned seq = 0;
    uint64_t sent_bytes = 0, messages = 0;
    std::string state = "connecting";
    std::map<int, int64_t> outstanding;  // live messages not yet acknowledged, by message id
    std::set<int> replay_mids;
    std::deque<Kept> kept;
    bool kept_overflow_said = false;
    // The broker has everything up to `acked` (ms UTC).
    int64_t acked = 0, persisted = 0, last_quiet = 0;
    bool ack_known = false;
    bool replaying = false;
    int64_t replay_from = 0, replay_to = 0, replay_sent_to = 0;
    int64_t flushed_to = 0;  // the history store was written up to here for a replay
    std::unique_ptr<AckStore> acks;
    std::unique_ptr<HistoryGap> gap;
    Steady::time_point last_persist{};
    std::string persist_error;

    // The worker's own.
    std::thread worker;
    unsigned session_bd = 0, next_bd = 0;
    bool connecting = false, first_connect = true;
    Steady::time_point connect_sent, next_try{};
    int backoff_s = 1;
    std::string said;  // the failure last said

    // Filled by the client's callbacks (on the worker, inside mosquitto_loop).
    std::mutex inbox_mu;
    int connack = -1;
    std::vector<std::pair<std::string, std::string>> inbox;
    std::vector<int> acked_mids;
    std::string last_log_error;
};

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
    s.replay_pending_ms = impl_->replaying ? impl_->replay_to - impl_->replay_from : 0;
    return s;
}

}  // namespace zrt::uplink

// The uplink's MQTT session, on its worker thread: connect (MQTT 5, else 3.1.1), births,
// publishing with topic aliases, the broker's commands and acknowledgements, back-off.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include "tools/uplink/uplink_impl.h"

namespace zrt::uplink {

namespace {

constexpr int kMaxBackoffS = 60;

// A PUBLISH at QoS 1 as it goes on the wire: the fixed header with the remaining length,
// the topic with its length (empty when an alias stands for it), the packet id, under MQTT 5
// the properties with their length (a topic alias: three bytes), and the payload.
size_t packet_bytes(size_t topic, size_t payload, bool mqtt5, bool alias) {
    const size_t props = mqtt5 ? 1 + (alias ? 3 : 0) : 0;
    const size_t rest = 2 + topic + 2 + props + payload;
    size_t len = 1;
    for (size_t r = rest; r >= 128; r >>= 7) ++len;
    return 1 + len + rest;
}

}  // namespace

// Publishes at QoS 1; `seq` goes on every message but the NDEATH. Returns the message id,
// or -1 when the client did not take it.
int UplinkSink::Impl::publish(const std::string& topic, Payload& p, bool with_seq) {
    if (!mosq) return -1;
    if (with_seq) {
        p.seq = seq;
        seq = (seq + 1) % 256;
    }
    const std::string bytes = encode(p);
    // The topic is most of a small DDATA: under MQTT 5 a device's DDATA topic gets an alias
    // (within the broker's maximum), and after the first message, which names both and so
    // sets the alias at the broker, goes as the two-byte alias alone. Aliases last as long
    // as the connection; the rare births and deaths go in full.
    uint16_t alias = 0;
    bool alias_only = false;
    bool new_alias = false;
    if (session_mqtt5 && topic.compare(prefix.size(), 6, "DDATA/") == 0) {
        const auto it = topic_alias.find(topic);
        if (it != topic_alias.end()) {
            alias = it->second;
            alias_only = true;
        } else if (topic_alias.size() < alias_max) {
            alias = static_cast<uint16_t>(topic_alias.size() + 1);
            topic_alias[topic] = alias;
            new_alias = true;
        }
    }
    mosquitto_property* props = nullptr;
    if (alias) mosquitto_property_add_int16(&props, MQTT_PROP_TOPIC_ALIAS, alias);
    int mid = 0;
    const int rc = mosquitto_publish_v5(mosq, &mid, alias_only ? "" : topic.c_str(), static_cast<int>(bytes.size()),
                                        bytes.data(), 1, false, props);
    mosquitto_property_free_all(&props);
    if (rc != MOSQ_ERR_SUCCESS) {
        if (new_alias) topic_alias.erase(topic);  // the broker never saw it
        return -1;
    }
    sent_bytes += packet_bytes(alias_only ? 0 : topic.size(), bytes.size(), session_mqtt5, alias != 0);
    ++messages;
    return mid;
}

std::string UplinkSink::Impl::device_topic(const char* kind, const Device& d) const {
    return prefix + kind + "/" + opt.node + "/" + d.id;
}

void UplinkSink::Impl::on_connect_cb(struct mosquitto*, void* obj, int rc, int, const mosquitto_property* props) {
    auto* self = static_cast<Impl*>(obj);
    // No Topic Alias Maximum in the CONNACK means the broker takes no aliases.
    uint16_t max = 0;
    mosquitto_property_read_int16(props, MQTT_PROP_TOPIC_ALIAS_MAXIMUM, &max, false);
    std::lock_guard<std::mutex> lock(self->inbox_mu);
    self->connack = rc;
    self->connack_alias_max = max;
}

void UplinkSink::Impl::on_publish_cb(struct mosquitto*, void* obj, int mid, int reason, const mosquitto_property*) {
    auto* self = static_cast<Impl*>(obj);
    std::lock_guard<std::mutex> lock(self->inbox_mu);
    self->acked_mids.push_back(mid);
    // An MQTT 5 broker may take a message and say it will not deliver it (not authorised,
    // say); the message is not sent again, but the operator hears of it.
    if (reason >= 128 && self->refused_reason < 0) self->refused_reason = reason;
}

void UplinkSink::Impl::on_message_cb(struct mosquitto*, void* obj, const struct mosquitto_message* m) {
    auto* self = static_cast<Impl*>(obj);
    const std::string topic = m->topic ? m->topic : "";
    const std::string payload(static_cast<const char*>(m->payload), m->payloadlen > 0 ? m->payloadlen : 0);
    std::lock_guard<std::mutex> lock(self->inbox_mu);
    self->inbox.emplace_back(topic, payload);
}

void UplinkSink::Impl::on_log_cb(struct mosquitto*, void* obj, int level, const char* text) {
    if (!(level & MOSQ_LOG_ERR) || !text) return;
    auto* self = static_cast<Impl*>(obj);
    std::lock_guard<std::mutex> lock(self->inbox_mu);
    self->last_log_error = text;
}

Payload UplinkSink::Impl::death_payload() const {
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

// Ends the session and frees the client.
void UplinkSink::Impl::drop(const std::string& why) {
    std::lock_guard<std::mutex> lock(mu);
    live = false;
    for (Device& d : devices) d.born = false;
    outstanding.clear();
    replay_mids.clear();
    set_state("retrying: " + why);
    topic_alias.clear();
    if (mosq) {
        struct mosquitto* m = mosq;
        mosq = nullptr;
        mosquitto_destroy(m);
    }
    connecting = false;
}

// Says a failure once per cause, then tries again later.
void UplinkSink::Impl::failed(const std::string& why) {
    drop(why);
    if (why != said) {
        diag(0, "uplink: the broker " + opt.settings.url + " " + why + "; trying again, at most every " +
                    std::to_string(kMaxBackoffS) + " s, while polling goes on");
        said = why;
    }
    next_try = Steady::now() + std::chrono::seconds(backoff_s);
    backoff_s = std::min(backoff_s * 2, kMaxBackoffS);
}

// A broker that does not speak MQTT 5 refuses the CONNECT (with the 3.1.1 "unacceptable
// protocol version" or the MQTT 5 reason code) or closes the connection before its CONNACK:
// the uplink then connects again at once over MQTT 3.1.1, topics in full. A refusal holds for
// the rest of the run; a closed connection may have had another cause (a broker restarting),
// so only the next try is MQTT 3.1.1, and the one after a session ends is MQTT 5 again.
bool UplinkSink::Impl::fall_back(int ack) {
    const bool refused_version = ack == CONNACK_REFUSED_PROTOCOL_VERSION || ack == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION;
    if (!session_mqtt5 || !(refused_version || ack < 0)) return false;
    mqtt311 = true;
    mqtt311_once = !refused_version;
    drop("connecting over MQTT 3.1.1");
    const std::string why = refused_version ? "does not speak MQTT 5" : "closed an MQTT 5 connection before answering it";
    if (why != said_fallback)
        diag(1, "uplink: the broker " + opt.settings.url + " " + why + "; connecting over MQTT 3.1.1, topics in full");
    said_fallback = why;
    next_try = Steady::now();
    return true;
}

void UplinkSink::Impl::connect() {
    const UplinkSettings& s = opt.settings;
    // Once per process, and never undone: other uplinks (a fleet in one benchmark process)
    // may still be using the library's TLS state.
    static std::once_flag init;
    std::call_once(init, [] { mosquitto_lib_init(); });
    {
        std::lock_guard<std::mutex> lock(inbox_mu);
        connack = -1;
        connack_alias_max = 0;
        inbox.clear();
        acked_mids.clear();
        last_log_error.clear();
    }
    struct mosquitto* m = mosquitto_new((opt.node + "@" + s.group).c_str(), true, this);
    if (!m) return failed("cannot be used: no MQTT client (out of memory)");
    mosquitto_threaded_set(m, true);
    const bool v5 = opt.mqtt5 && !mqtt311;
    if (mqtt311_once) mqtt311 = mqtt311_once = false;
    mosquitto_int_option(m, MOSQ_OPT_PROTOCOL_VERSION, v5 ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
    mosquitto_connect_v5_callback_set(m, on_connect_cb);
    mosquitto_publish_v5_callback_set(m, on_publish_cb);
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
        session_mqtt5 = v5;
        set_state("connecting");
    }
    const int rc = mosquitto_connect(m, s.broker.host.c_str(), s.broker.port, s.keepalive_s);
    if (rc != MOSQ_ERR_SUCCESS) return failed(connect_error(rc, errno));
    next_bd = (next_bd + 1) % 256;  // a CONNECT went out with this bdSeq
    connecting = true;
    connect_sent = Steady::now();
}

std::string UplinkSink::Impl::connect_error(int rc, int err) {
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

void UplinkSink::Impl::births() {
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
    set_state("connected");
}

void UplinkSink::Impl::handle_inbox() {
    int ack = -1;
    std::vector<std::pair<std::string, std::string>> msgs;
    std::vector<int> mids;
    uint16_t ack_alias_max = 0;
    int refused = -1;
    {
        std::lock_guard<std::mutex> lock(inbox_mu);
        std::swap(ack, connack);
        ack_alias_max = connack_alias_max;
        msgs.swap(inbox);
        mids.swap(acked_mids);
        std::swap(refused, refused_reason);
    }
    if (refused >= 0 && refused != said_refused) {
        diag(1, std::string("uplink: the broker ") + opt.settings.url + " took a message but will not deliver it: " +
                    mosquitto_reason_string(refused));
        said_refused = refused;
    }
    if (ack >= 0 && connecting) {
        connecting = false;
        if (ack != 0) {
            if (fall_back(ack)) return;
            std::string why = session_mqtt5 ? mosquitto_reason_string(ack) : mosquitto_connack_string(ack);
            if (!why.empty() && why.back() == '.') why.pop_back();
            return failed("refused the connection: " + why);
        }
        backoff_s = 1;
        {
            std::lock_guard<std::mutex> lock(mu);
            alias_max = session_mqtt5 ? ack_alias_max : 0;
            topic_alias.clear();
        }
        if (!said.empty() || first_connect) diag(2, "uplink: connected to " + opt.settings.url + " as node " +
                                                        opt.settings.group + "/" + opt.node);
        said.clear();
        first_connect = false;
        mosquitto_subscribe(mosq, nullptr, node_topic("NCMD").c_str(), 1);
        if (!opt.settings.primary_host.empty()) {
            mosquitto_subscribe(mosq, nullptr, ("spBv1.0/STATE/" + opt.settings.primary_host).c_str(), 1);
            std::lock_guard<std::mutex> lock(mu);
            set_state("waiting for the primary host");
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
void UplinkSink::Impl::goodbye() {
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

void UplinkSink::Impl::run() {
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
            const bool closed = rc == MOSQ_ERR_CONN_LOST || rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_PROTOCOL ||
                                rc == MOSQ_ERR_MALFORMED_PACKET;
            if (connecting && closed && fall_back(-1)) continue;
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
    set_state("stopped");
}

}  // namespace zrt::uplink

#pragma once
// The uplink sink's state, shared by its three parts: uplink_sink.cpp (the devices and
// their values, fed by the events), uplink_session.cpp (the MQTT session on the worker
// thread: connect, births, topic aliases, commands, back-off) and uplink_replay.cpp (the
// values of an outage, from the history file or the memory queue).
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tools/uplink/sparkplug.h"
#include "tools/uplink/uplink_sink.h"
#include "tools/uplink/uplink_store.h"

struct mosquitto;
struct mosquitto_message;
typedef struct mqtt5__property mosquitto_property;

namespace zrt::uplink {

using Steady = std::chrono::steady_clock;

inline int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               zrt::host::SystemClock::now().time_since_epoch())
        .count();
}

constexpr const char* kRebirth = "Node Control/Rebirth";
constexpr const char* kLineUp = "line/up";

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

    // Whether a value moved past the metric's dead band (or came or went) since `was`.
    static bool moved(const MetricDef& m, const std::optional<double>& now, const std::optional<double>& was) {
        if (now.has_value() != was.has_value()) return true;
        if (!now) return false;
        return m.band > 0 ? std::fabs(*now - *was) > m.band : *now != *was;
    }

    Impl(UplinkOptions o, Diag d);
    ~Impl() { finish(); }
    void finish();

    // Defined in uplink_sink.cpp (devices, values), uplink_session.cpp (publish, the session)
    // and uplink_replay.cpp (keep, replay_step, persist_locked).
    uint32_t system_of(uint32_t data_id) const;
    size_t add_metric(Device& d, const std::string& name, DataType type, double band, std::vector<Property> props,
                      std::optional<double> value);
    void add_alarm_metric(Device& d, const std::string& key, const std::string& name, const std::string& english);
    size_t device_index(uint32_t data_id, const std::string& type);
    // Publishes at QoS 1; `seq` goes on every message but the NDEATH. Returns the message id,
    // or -1 when the client did not take it.
    int publish(const std::string& topic, Payload& p, bool with_seq);
    std::string device_topic(const char* kind, const Device& d) const;
    void dbirth(Device& d);
    void ddeath(Device& d);
    // The metrics of `d` that moved past their dead band since they were last sent.
    void send_changes(Device& d, int64_t t);
    // Without a history file: the values that moved, kept for a replay.
    void keep(size_t di, int64_t t);
    // A live message: acknowledged, it moves the acknowledged time.
    void track(int mid, int64_t t);
    void on_image(const zrt::host::ImageEvent& e);
    void on_alarm(const devhost::AlarmEvent& e, bool restored_one);
    void on_line(const zrt::host::LineStatus& l);
    void on_start(const zrt::host::StartInfo& s);
    static void on_connect_cb(struct mosquitto*, void* obj, int rc, int flags, const mosquitto_property* props);
    static void on_publish_cb(struct mosquitto*, void* obj, int mid, int reason, const mosquitto_property* props);
    static void on_message_cb(struct mosquitto*, void* obj, const struct mosquitto_message* m);
    static void on_log_cb(struct mosquitto*, void* obj, int level, const char* text);
    Payload death_payload() const;
    void drop(const std::string& why);
    // Says a failure once per cause, then tries again later.
    void failed(const std::string& why);
    // After a CONNECT refused (`ack`, or -1: closed unanswered): whether to try MQTT 3.1.1 now.
    bool fall_back(int ack);
    void connect();
    std::string connect_error(int rc, int err);
    void births();
    void handle_inbox();
    // The NDEATH, then DISCONNECT.
    void goodbye();
    // One slice of the gap, when the last one was acknowledged.
    void replay_step();
    // Writes the acknowledged time to the history file: after each replayed slice, else at
    // most once a minute (the file lives on flash).
    void persist_locked(bool now);
    void run();
    // Under mu: the state shown on the live page, and since when it holds.
    void set_state(const std::string& s) {
        if (s == state) return;
        state = s;
        state_since = zrt::host::SystemClock::now();
    }
    std::string node_topic(const char* kind) const { return prefix + kind + "/" + opt.node; }

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
    bool session_mqtt5 = false;  // this session speaks MQTT 5
    uint16_t alias_max = 0;      // the broker's Topic Alias Maximum for this session
    std::map<std::string, uint16_t> topic_alias;
    uint64_t sent_bytes = 0, messages = 0;
    std::string state = "connecting";
    zrt::host::SystemClock::time_point state_since = zrt::host::SystemClock::now();
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
    bool mqtt311 = false;       // the broker did not take MQTT 5
    bool mqtt311_once = false;  // ... as far as a connection closed unanswered tells: one try
    std::string said_fallback;
    int said_refused = -1;
    std::string said;  // the failure last said

    // Filled by the client's callbacks (on the worker, inside mosquitto_loop).
    std::mutex inbox_mu;
    int connack = -1;
    uint16_t connack_alias_max = 0;
    int refused_reason = -1;
    std::vector<std::pair<std::string, std::string>> inbox;
    std::vector<int> acked_mids;
    std::string last_log_error;
};

}  // namespace zrt::uplink

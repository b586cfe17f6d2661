#pragma once
// The development host: our implementation of the host contract. A Controller collects
// everything the plug-in reports (log lines, published and saved images, rules, alarm
// transitions) and runs history jobs inline (deterministic tests) or on a worker thread.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include <json/value.h>

#include "devhost/frame.h"
#include "devhost/transport.h"
#include "host/PMBusProtocol.h"
#include "host/TXQController.h"

namespace devhost {

// One argument of a log line. Integers keep their signedness and width class so that a
// byte prints as a number; floats stay floats so that they print in their shortest form.
using LogArg = std::variant<int64_t, uint64_t, float, double, std::string>;

struct LogEvent {
    uint32_t data_id = 0;
    std::string text;  // formatted line
    // The device's format text and its arguments, so that a reader recognises a line by
    // what it says rather than by parsing the formatted text back.
    std::string format;
    std::vector<LogArg> args;
};

struct ImageEvent {
    uint32_t data_id = 0;
    std::string device_type;
    int record_type = 0;  // SendSP's record type; for saved images the device's last published type
    std::vector<uint8_t> image;
};

struct AlarmEvent {
    uint32_t data_id = 0;
    std::string device_type;
    rule_value rule;
    bool raised = false;  // false: cleared
};

// Receives events as they happen (on the thread that caused them).
class Observer {
public:
    virtual ~Observer() = default;
    virtual void on_log(const LogEvent&) {}
    virtual void on_publish(const ImageEvent&) {}
    virtual void on_saved(const ImageEvent&) {}
    virtual void on_rule(uint32_t /*data_id*/, const rule_value&) {}
    virtual void on_alarm(const AlarmEvent&) {}
};

class Controller : public TXQController {
public:
    enum class JobMode { Inline, Worker };
    explicit Controller(JobMode mode = JobMode::Inline);
    ~Controller() override;

    void add_observer(Observer* o);

    // Runs (Inline) or queues (Worker) a history job.
    void run_job(std::function<void()> job);
    // Waits until every queued job has run.
    void drain();

    // Alarm table: per device (data id and device type), key and sequence.
    bool batch_check(TXQVDevice& dev, const std::vector<rule_value>& rules);
    void publish(TXQVDevice& dev, int record_type, const unsigned char* data, int len);
    void save(TXQVDevice& dev, const unsigned char* data, int len);
    void rule(TXQVDevice& dev, const rule_value& r);

    // The alarm table as an earlier run left it: puts a rule into the table as raised,
    // without a transition, so that a later batch that finds it inactive reports the clear.
    void restore_alarm(uint32_t data_id, const std::string& device_type, const rule_value& r);
    // Clears one raised rule and reports the transition as batch_check does; false when it
    // is not raised.
    bool clear_alarm(uint32_t data_id, const std::string& device_type, const std::string& key, uint32_t sequence);

    // Recorded events, for tests. Guarded by mutex() when jobs run on the worker.
    std::vector<LogEvent> logs;
    std::vector<ImageEvent> published;
    std::vector<ImageEvent> saved;
    std::vector<rule_value> rules;  // every CheckThresholdBool call, in order
    std::vector<AlarmEvent> alarms; // raise and clear transitions
    bool record_events = true;
    std::mutex& mutex() { return mu_; }

    // False: the devices' log lines are dropped before they are packed or formatted (a
    // fuzzer's controller, to which a line is worth nothing).
    bool log_lines = true;

    // Sets a top device's data_ready once each of its children has published since start.
    bool auto_data_ready = true;

    // Formats and records one log line. Devices reach it through their InfoLog, by way of
    // the controller process's log sink that this library defines.
    virtual void Log(const std::string& format, const std::vector<LogArg>& args);

private:
    std::mutex mu_;
    // Replaced whole when an observer is added, so that an event takes its snapshot of the
    // list without copying it (a cycle end reports hundreds of rules).
    using ObserverList = std::shared_ptr<const std::vector<Observer*>>;
    ObserverList observers_ = std::make_shared<const std::vector<Observer*>>();
    // ... alarm table, worker thread and queue live in the implementation
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Hands reply bytes to a device as if they came from the line.
void inject(TXQSPDevice& dev, const std::string& bytes);

// The reply buffer `reply` points at: VER, ADR, CID1, RTN, LENID (16-bit little-endian
// count of info hex characters), then the info. Room for the longest info plus the 20-byte
// model field, which the poller reads whatever the reply's length.
constexpr size_t kReplyHeader = 6;
constexpr size_t kReplyBufferSize = kReplyHeader + 2048 + 20;

using SteadyClock = std::chrono::steady_clock;

// The meaning of a reply's return code: "normal" for 0, the frame protocol's name for 1 to
// 6, "equipment-defined" for any other.
const char* rtn_meaning(uint8_t rtn);

// What the frame layer tells the host about the line, beside the replies it hands on.
struct LineNotice {
    enum Kind {
        Stale,   // a good frame arrived when no reply was awaited, and was dropped
        Resync,  // the first good frame after a loss: dropped, the cycle starts again
        Rtn,     // a reply with a non-zero return code (handed on as any other)
    };
    Kind kind = Stale;
    uint8_t cid1 = 0;
    uint8_t rtn = 0;
    std::string text;  // one line for the diagnostics
};

// The host-side state of one serial device: its line, the awaited reply, and for frame
// protocol devices the address, the decoder and the reply buffer. Tests reach it through
// serial_state() below to read the counters or to replace the clock.
struct SerialState {
    SerialState();
    SerialState(const SerialState&) = delete;
    SerialState& operator=(const SerialState&) = delete;

    std::shared_ptr<Transport> transport;

    // The awaited reply. It times out once the line has been silent for reply_timeout since
    // the command went out or since the last byte received, so a long reply that is still
    // arriving is not cut off.
    bool awaiting = false;
    uint8_t last_cid1 = 0, last_cid2 = 0;  // the command sent last
    SteadyClock::time_point last_activity{};
    std::chrono::milliseconds reply_timeout{1000};
    std::function<SteadyClock::time_point()> now;  // steady clock; tests may replace it

    // Line discipline. After a time-out the input is discarded and no command goes out
    // before the line has been quiet for the guard time; after a loss (kLossTimeouts
    // time-outs in a row, or the line opened again) the first good frame is a resync: it
    // and everything up to the next quiet guard time are dropped, and the cycle starts over.
    static constexpr unsigned kLossTimeouts = 2;
    static constexpr unsigned kGuardChars = 3;  // default guard, in character times
    std::chrono::microseconds guard{-1};  // the "guard_ms" setting; negative: kGuardChars characters
    std::optional<SteadyClock::time_point> quiet_since;  // last byte received, or the last input flush
    unsigned timeouts_in_row = 0;
    bool after_loss = false;  // the next good frame starts a resync
    bool resyncing = false;   // frames are dropped until the line has been quiet for the guard
    // Commands sent since the last reply handed on. A resync also waits for the answers to
    // all of them (a unit that reads queued commands one at a time answers them one
    // turnaround apart), or for a reply time-out of quiet when some never come.
    uint64_t unanswered = 0;
    uint64_t resync_expect = 0;
    // A reply taken after a time-out may be the late answer to the first copy of the
    // command; the answer to the copy sent again may still come. While such answers are
    // owed, the next command is held back (`held`), and goes once they have come (a bad
    // frame counts) or the line has been quiet for the reply time-out.
    uint64_t owed = 0;
    uint64_t errors_seen = 0;  // decoder errors already counted against `owed`
    std::string held;
    bool holding = false;
    // While the line is lost (after_loss) the device's command is parked and a probe goes
    // in its place: the protocol-version query (CID2 4F) to the same CID1, answered by one
    // short frame whether the equipment knows the query or refuses it. A line that keeps
    // what is sent into it while the equipment is away then holds only short answers, and
    // the probes slow down as the loss goes on (from one a reply time-out to one every
    // kMaxProbeInterval), so that what waits on such a line stays small however long the
    // loss: the answers it still owes go by in a few seconds when the equipment returns.
    // The first good frame ends the loss; the parked command is dropped then, as the
    // cycle starts again.
    static constexpr uint8_t kProbeCid2 = 0x4F;
    static constexpr std::chrono::seconds kMaxProbeInterval{4};
    std::string parked;
    SteadyClock::time_point lost_since{}, next_probe{};
    uint8_t last_ver = 0x20;  // the version byte of the command sent last
    bool port_closed = false; // ClosePort ran: the next OpenPort is a reopening
    std::function<void(const LineNotice&)> on_notice;  // set by the host; may be empty
    int baud = 0;  // the line's speed, set by the host; 0: the device's baud_rate

    // Frame layer.
    uint8_t address = 1;  // the "address" setting: replies from other addresses are dropped
    FrameDecoder decoder;
    std::function<void(const Frame&)> on_frame;  // set by PMBusProtocol
    std::vector<uint8_t> reply_buf;
    bool auto_data_ready = true;  // the "auto_data_ready" setting

    // Bytes that arrived while process() was already running (a transport that answers
    // from inside write()); fed once the current frame is handled.
    std::string pending_input;
    bool in_process = false;

    // Counters.
    uint64_t bytes_received = 0;
    uint64_t commands_sent = 0;
    uint64_t send_failures = 0;    // no open line, or the transport refused the bytes
    uint64_t refused_commands = 0; // info pointer/length unusable
    uint64_t replies = 0;          // frames handed to process_payload
    uint64_t foreign_frames = 0;   // good frames from another address, dropped
    uint64_t stale_frames = 0;     // good frames when no reply was awaited (or during a resync), dropped
    uint64_t resyncs = 0;          // losses ended by a good frame
    uint64_t probes = 0;           // probes sent while the line was lost
    uint64_t timeouts = 0;         // awaited replies that did not come
    std::map<uint8_t, uint64_t> rtn_counts;  // replies per non-zero return code

    // The guard time at a line speed of `baud` (10 bits a character).
    std::chrono::microseconds guard_at(int baud) const;
    // The line is lost from `at`: the next command is parked and a probe goes instead.
    void enter_loss(SteadyClock::time_point at);
    // The time between probes after the line has been lost for `lost_for`.
    std::chrono::microseconds probe_interval(SteadyClock::duration lost_for) const;
};

// The development host's own access to a device, beside the contract's operations.
// Attaches a line to a serial device and opens it (OpenPort); false when the line is not
// open. ClosePort() detaches it again.
bool attach(TXQSPDevice& dev, std::shared_ptr<Transport> transport);
// The line state of a serial device.
SerialState& serial_state(TXQSPDevice& dev);
const SerialState& serial_state(const TXQSPDevice& dev);
// The frame address a device's commands carry and its replies must carry.
uint8_t address(const TXQSPDevice& dev);
// The settings a device was last configured with (InitV or Init).
const Json::Value& setting(const TXQVDevice& dev);

namespace detail {
// Sends a probe on a lost line, in place of the parked command (see SerialState).
void send_probe(TXQSPDevice& dev, SerialState& s, SteadyClock::time_point now);
}  // namespace detail

}  // namespace devhost

// Reaches the host state that the contract classes keep behind their private pointer.
struct TXQHostAccess {
    static devhost::SerialState& serial(TXQSPDevice& dev);
    static const devhost::SerialState& serial(const TXQSPDevice& dev);
    static const Json::Value& setting(const TXQVDevice& dev);
};

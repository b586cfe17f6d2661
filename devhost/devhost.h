#pragma once
// The development host: our implementation of the host contract. A Controller collects
// everything the plug-in reports (log lines, published and saved images, rules, alarm
// transitions) and runs history jobs inline (deterministic tests) or on a worker thread.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
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
    SteadyClock::time_point last_activity{};
    std::chrono::milliseconds reply_timeout{1000};
    std::function<SteadyClock::time_point()> now;  // steady clock; tests may replace it

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

}  // namespace devhost

// Reaches the host state that the contract classes keep behind their private pointer.
struct TXQHostAccess {
    static devhost::SerialState& serial(TXQSPDevice& dev);
    static const devhost::SerialState& serial(const TXQSPDevice& dev);
    static const Json::Value& setting(const TXQVDevice& dev);
};

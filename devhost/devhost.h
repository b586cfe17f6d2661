#pragma once
// The development host: our implementation of the host contract. A Controller collects
// everything the plug-in reports (log lines, published and saved images, rules, alarm
// transitions) and runs history jobs inline (deterministic tests) or on a worker thread.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devhost/frame.h"
#include "devhost/transport.h"
#include "host/PMBusProtocol.h"
#include "host/TXQController.h"

namespace devhost {

struct LogEvent {
    uint32_t data_id = 0;
    std::string text;  // formatted line
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
    bool batch_check(const TXQVDevice& dev, const std::vector<rule_value>& rules);
    void publish(const TXQVDevice& dev, int record_type, const unsigned char* data, int len);
    void save(const TXQVDevice& dev, const unsigned char* data, int len);
    void rule(const TXQVDevice& dev, const rule_value& r);

    // Recorded events, for tests. Guarded by mutex() when jobs run on the worker.
    std::vector<LogEvent> logs;
    std::vector<ImageEvent> published;
    std::vector<ImageEvent> saved;
    std::vector<rule_value> rules;  // every CheckThresholdBool call, in order
    std::vector<AlarmEvent> alarms; // raise and clear transitions
    bool record_events = true;
    std::mutex& mutex() { return mu_; }

    // Sets a top device's data_ready once each of its children has published since start.
    bool auto_data_ready = true;

protected:
    void Log(const std::string& format, const std::vector<LogArg>& args) override;

private:
    std::mutex mu_;
    std::vector<Observer*> observers_;
    // ... alarm table, worker thread and queue live in the implementation
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Hands reply bytes to a device as if they came from the line.
void inject(TXQSPDevice& dev, const std::string& bytes);

}  // namespace devhost

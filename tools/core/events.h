#pragma once
// What the host observes, as typed events, and the sinks that receive them. The application
// registers each sink (history, JSON lines or the live view, metrics) with one Dispatcher at
// start; whatever observes the line, the plug-in and the cycle dispatches, and no sink knows
// another. Events may be dispatched from the serial thread and from the history worker at
// once: a sink guards its own state.
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "devhost/devhost.h"
#include "tools/core/image_decode.h"

namespace zrt::host {

using SystemClock = std::chrono::system_clock;

// "2026-12-08T23:19:33.123Z": ISO 8601, UTC, milliseconds. Every JSON event carries one.
std::string iso_utc(SystemClock::time_point t);
// A stored image time as a time point: "YYYY-MM-DDTHH:MM:SS.mmmZ" (UTC), or the local
// "YYYY-MM-DD HH:MM:SS[.mmm]" of rows written by older versions.
std::optional<SystemClock::time_point> from_stored_time(const std::string& text);

// A power system on the line: its frame address, its top device's data id, and the name the
// settings give it. Data ids are unique across the systems of a run.
struct SystemRef {
    int address = 1;
    uint32_t data_id = 0;
    std::string name;
    // How events name the system: its name, else its address.
    std::string label() const { return name.empty() ? std::to_string(address) : name; }
};

struct CycleStats {
    uint64_t n = 0;
    double duration_ms = 0.0;  // from the cycle's first command to its end
    uint64_t tx_bytes = 0;     // bytes written and received since the previous cycle ended
    uint64_t rx_bytes = 0;
    uint64_t bad_frames = 0;   // replies dropped by the frame decoder in this cycle
    uint64_t timeouts = 0;     // replies that never came in this cycle
    uint64_t garbage = 0;      // bytes outside any frame in this cycle
    uint64_t errors() const { return bad_frames + timeouts; }
    uint64_t total_errors = 0;  // since start
    SystemClock::time_point end;  // when the cycle completed
    SystemRef system;             // whose cycle
};

// How the history file is being written: the failed writes (commits) since the start, and
// whether the last one failed (a full disk), with what is held in memory meanwhile.
struct HistoryWrites {
    std::string file;
    uint64_t errors = 0;
    bool failing = false;
    std::string error;
    uint64_t held_bytes = 0;
};

// The line as the host sees it: replies coming, or silence for longer than the line
// time-out (or a port that failed and is being opened again).
struct LineStatus {
    bool up = true;
    bool port_open = true;
    std::string port;
    std::optional<SystemClock::time_point> last_reply;  // the last good reply
    SystemClock::time_point since;   // lost: the last good reply (or the opening); up: when replies came back
    uint64_t timeouts_in_row = 0;
    uint64_t bad_frames = 0;         // since start
    double silence_s = 0;            // since the last good reply (or the opening)
    SystemRef system;  // whose replies: each system on a shared line has its own status
};

// A setting the plant contradicts, reported once.
struct ConfigIssue {
    uint32_t data_id = 0;
    std::string check;     // "ac_number", "dc_number", "module_count", "device_model"
    std::string expected;  // what the settings (or the device) expect
    std::string reported;  // what the plant reports; empty when not known
    std::string text;      // the plug-in's log line or alarm text behind it
    uint64_t count = 0;    // how often in a row
    SystemRef system;      // the system of the device
};

struct StartInfo {
    std::string plugin, device_type, port;
    uint32_t data_id = 0;
    int baud = 0;
    bool simulated = false;
    std::string plant;  // the simulated plant file
    // Every system on the line (one for a one-system file), and which system each device's
    // data id belongs to.
    std::vector<SystemRef> systems;
    std::map<uint32_t, size_t> system_of;  // data id -> index into `systems`
    // The system of a device, or nullptr for an id no system holds.
    const SystemRef* system_for(uint32_t data_id) const {
        const auto it = system_of.find(data_id);
        return it == system_of.end() ? nullptr : &systems[it->second];
    }
};

struct ValueAnswer {
    std::string device;  // as asked: a data id or "rc"
    uint32_t data_id = 0;
    std::string device_type;
    std::string key;
    std::optional<float> value;
    std::string absent;       // the device answered, but with its mark of an absent value: why
    std::string error;        // the device's refusal, as it gave it (or "no such device")
    std::string explanation;  // the refusal in English
    // Where the device's data come from: "cycle" (a cycle of this run), "stored" (an image
    // of the history store handed to the device at start) or "none".
    std::string source = "none";
    uint64_t cycle = 0;  // source "cycle": its number
    std::optional<SystemClock::time_point> time;  // of that cycle's publication, or of the stored image
    double age_s = 0;    // now - time
};

// An image a device published (every cycle) or saved (its history job), with its values
// decoded through the field tables.
struct ImageEvent {
    const devhost::ImageEvent& raw;
    const DecodedImage& decoded;
    bool saved = false;
};

// A command written to the line, and a reply read from it, as the frame decoder saw them.
// Counters of the serial state ride along, so that a sink needs no access to the line.
struct CommandSent {
    uint8_t address = 0, cid1 = 0, cid2 = 0;
};
struct ReplyReceived {
    uint8_t address = 0, cid1 = 0, rtn = 0;
    size_t info_bytes = 0;
};

// Receives the events it overrides. Called on the thread that observed the event.
class Sink {
public:
    virtual ~Sink();
    virtual void start(const StartInfo&) {}
    virtual void cache(uint32_t /*data_id*/, const std::string& /*device_type*/, size_t /*size*/, bool /*loaded*/) {}
    virtual void log(const devhost::LogEvent&) {}
    // The last log line came `repeated` more times (identical lines are shown once).
    virtual void log_repeated(const devhost::LogEvent&, uint64_t /*repeated*/) {}
    virtual void image(const ImageEvent&) {}
    virtual void alarm(const devhost::AlarmEvent&) {}
    // An alarm an earlier run left raised, put back into the alarm table at start.
    virtual void restored(const devhost::AlarmEvent&, const std::string& /*since*/) {}
    // The line went lost or came back up.
    virtual void line(const LineStatus&) {}
    // Every second: the line as it is now.
    virtual void status(const LineStatus&) {}
    // Bytes as they crossed the line: written to the devices (`to_device`) or read from them.
    virtual void wire(bool /*to_device*/, const uint8_t* /*data*/, size_t /*n*/) {}
    virtual void command_sent(const CommandSent&) {}
    virtual void reply_received(const ReplyReceived&) {}
    // A reply that never came (to a command of `system`), and frames the decoder dropped,
    // when they happen.
    virtual void timeout(const SystemRef& /*system*/) {}
    virtual void bad_frames(const SystemRef& /*system*/, uint64_t /*n*/) {}
    // A good frame from `system`'s address that came when it awaited no reply (a late or
    // queued answer), dropped.
    virtual void stale_frame(const SystemRef& /*system*/) {}
    virtual void cycle_begun(const SystemRef&, uint64_t /*n*/) {}
    virtual void cycle_ended(const CycleStats&) {}
    virtual void contradicted(const ConfigIssue&) {}
    virtual void value(const ValueAnswer&) {}
    virtual void stop(uint64_t /*cycles*/, const std::string& /*reason*/) {}
    // Every second: how the history file is being written.
    virtual void history_writes(const HistoryWrites&) {}
};

// Hands every event to every registered sink, in the order of registration. Sinks are
// registered before the first event and live as long as the dispatcher.
class Dispatcher {
public:
    void add(Sink* s) { sinks_.push_back(s); }
    template <class F>
    void each(F&& f) const {
        for (Sink* s : sinks_) f(*s);
    }

private:
    std::vector<Sink*> sinks_;
};

}  // namespace zrt::host

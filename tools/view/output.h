#pragma once
// What the host shows: one JSON object per line (for programs and pipes), or a live view
// redrawn after each cycle (for a terminal). Both may be called from the serial thread and
// from the history worker at once.
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "devhost/devhost.h"

namespace zrt::host {

using SystemClock = std::chrono::system_clock;

// "2026-12-08T23:19:33.123Z": ISO 8601, UTC, milliseconds. Every JSON event carries one.
std::string iso_utc(SystemClock::time_point t);
// A stored image time as a time point: "YYYY-MM-DDTHH:MM:SS.mmmZ" (UTC), or the local
// "YYYY-MM-DD HH:MM:SS[.mmm]" of rows written by older versions.
std::optional<SystemClock::time_point> from_stored_time(const std::string& text);

struct CycleStats {
    uint64_t n = 0;
    double duration_ms = 0.0;  // from the cycle's first command to its last publication
    uint64_t tx_bytes = 0;     // bytes written and received since the previous cycle ended
    uint64_t rx_bytes = 0;
    uint64_t bad_frames = 0;   // replies dropped by the frame decoder in this cycle
    uint64_t timeouts = 0;     // replies that never came in this cycle
    uint64_t garbage = 0;      // bytes outside any frame in this cycle
    uint64_t errors() const { return bad_frames + timeouts; }
    uint64_t total_errors = 0;  // since start
    SystemClock::time_point end;  // when the cycle completed
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
};

// A setting the plant contradicts, reported once.
struct ConfigIssue {
    uint32_t data_id = 0;
    std::string check;     // "ac_number", "dc_number", "module_count", "device_model"
    std::string expected;  // what the settings (or the device) expect
    std::string reported;  // what the plant reports; empty when not known
    std::string text;      // the plug-in's log line or alarm text behind it
    uint64_t count = 0;    // how often in a row
};

struct StartInfo {
    std::string plugin, device_type, port;
    uint32_t data_id = 0;
    int baud = 0;
    bool simulated = false;
    std::string plant;  // the simulated plant file
};

struct ValueAnswer {
    std::string device;  // as asked: a data id or "rc"
    uint32_t data_id = 0;
    std::string device_type;
    std::string key;
    std::optional<float> value;
    std::string error;  // when there is no value
    // Where the device's data come from: "cycle" (a cycle of this run), "stored" (an image
    // of the history store handed to the device at start) or "none".
    std::string source = "none";
    uint64_t cycle = 0;  // source "cycle": its number
    std::optional<SystemClock::time_point> time;  // of that cycle's publication, or of the stored image
    double age_s = 0;    // now - time
};

class Presenter {
public:
    virtual ~Presenter();
    virtual void start(const StartInfo&) = 0;
    virtual void cache(uint32_t data_id, const std::string& device_type, size_t size, bool loaded) = 0;
    virtual void log(const devhost::LogEvent&) = 0;
    // The last log line came `repeated` more times (identical lines are shown once).
    virtual void log_repeated(const devhost::LogEvent&, uint64_t repeated) = 0;
    virtual void publish(const devhost::ImageEvent&) = 0;
    virtual void saved(const devhost::ImageEvent&) = 0;
    virtual void alarm(const devhost::AlarmEvent&) = 0;
    // An alarm an earlier run left raised, put back into the alarm table at start.
    virtual void restored(const devhost::AlarmEvent&, const std::string& since) = 0;
    // The line went lost or came back up.
    virtual void line(const LineStatus&) = 0;
    // Every second: the line as it is now (the live view's header).
    virtual void status(const LineStatus&) {}
    virtual void config(const ConfigIssue&) = 0;
    virtual void cycle(const CycleStats&) = 0;
    virtual void value(const ValueAnswer&) = 0;
    virtual void stop(uint64_t cycles, const std::string& reason) = 0;
};

// Writes whole lines to a file descriptor.
class LineWriter {
public:
    explicit LineWriter(int fd) : fd_(fd) {}
    void write(const std::string& text);

private:
    std::mutex mu_;
    int fd_;
};

std::unique_ptr<Presenter> make_json_presenter(int fd);
std::unique_ptr<Presenter> make_live_presenter(int fd);

}  // namespace zrt::host

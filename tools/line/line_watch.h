#pragma once
// What the host keeps of one system's line, apart from the port: whether replies come (the
// line-lost alarm), the time-outs in a row, and the cycle's accounting of bytes, time-outs,
// bad frames and garbage. Plain state driven by counters and clock readings, so that the
// supervisor feeds it from the device and a test feeds it by hand.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "tools/core/events.h"

namespace zrt::host {

using Steady = std::chrono::steady_clock;

// The communication-lost alarm the host raises for a silent line; on a line shared by
// several systems, for the system that went silent (`address` >= 0).
rule_value line_lost_rule(uint32_t data_id, const std::string& port, int address, bool active);

// The frame address of a command as written: "~", two hex digits of version, two of address.
std::optional<int> command_address(const uint8_t* p, size_t n);

// Whether replies come: up while the device's reply count grows, lost after `timeout_s` of
// silence since the last reply (or since the line opened).
class LineWatch {
public:
    enum class Change { None, Up, Lost };

    // `replies`: the device's count of handed-on replies so far.
    Change observe(uint64_t replies, Steady::time_point now, SystemClock::time_point wall, Steady::time_point opened,
                   double timeout_s);
    void timed_out() { ++timeouts_in_row_; }

    bool up() const { return up_; }
    uint64_t timeouts_in_row() const { return timeouts_in_row_; }
    double silence_s(Steady::time_point now, Steady::time_point opened) const;
    // The status as events show it; `opened_wall` stands for the last reply before the first.
    LineStatus status(Steady::time_point now, Steady::time_point opened, SystemClock::time_point opened_wall) const;

private:
    bool up_ = true;
    uint64_t replies_seen_ = 0;
    Steady::time_point last_reply_steady_;
    std::optional<SystemClock::time_point> last_reply_;
    SystemClock::time_point up_since_;
    uint64_t timeouts_in_row_ = 0;
};

// A system's cycle: opened by the first byte written, closed by the reply that publishes
// its images, or given up when the line is resynchronised after a loss.
class CycleBook {
public:
    // Returns true when these bytes open a cycle.
    bool written(size_t n, Steady::time_point now);
    void received(size_t n) { rx_ += n; }
    void bad_frames(uint64_t n) { bad_ += n; }
    void garbage(uint64_t n) { garbage_ += n; }
    void timed_out() { ++timeouts_; }
    // The figures of the cycle that ends now; the next one counts from here.
    CycleStats close(Steady::time_point now, SystemClock::time_point wall);
    // The cycle under way when the line went silent is given up, not reported as one long
    // cycle full of time-outs.
    void drop();

    uint64_t cycles() const { return cycles_; }
    uint64_t bad_frames_total() const { return bad_; }
    bool open() const { return open_; }

private:
    void mark();
    std::atomic<uint64_t> cycles_{0};  // read by the history worker too
    bool open_ = false;
    Steady::time_point start_;
    uint64_t tx_ = 0, rx_ = 0, timeouts_ = 0, bad_ = 0, garbage_ = 0, total_errors_ = 0;
    uint64_t tx_mark_ = 0, rx_mark_ = 0, timeouts_mark_ = 0, bad_mark_ = 0, garbage_mark_ = 0;
};

}  // namespace zrt::host

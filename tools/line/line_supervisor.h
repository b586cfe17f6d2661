#pragma once
// The line supervisor: owns the port and drives the systems on it. It opens the port (a
// failed one is opened again every second), hands it to each system's top device (several
// systems share it one command at a time, taking turns after each reply), refreshes the
// devices, probes a lost system of a shared line now and then, watches each system's line
// (the line-lost alarm, raised once and cleared when replies come back) and keeps each
// system's cycle accounting. What it sees goes to the sinks as events.
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include "devhost/devhost.h"
#include "devhost/frame.h"
#include "devhost/shared_line.h"
#include "tools/core/events.h"
#include "tools/line/line_settings.h"
#include "tools/line/line_watch.h"

namespace zrt::host {

class SerialLine;

// One power system on the line, as the supervisor keeps it.
struct LineSystem {
    SystemRef ref;
    std::shared_ptr<TXQSPDevice> dev;
    LineWatch watch;
    CycleBook book;
    uint64_t stale_seen = 0;
    uint64_t publications = 0;  // images published, counted by published() on the serial thread
    Steady::time_point next_probe;
    std::optional<devhost::Frame> last_command;

    // The model text of the last model reply (the 40/51 command), for a contradicted model.
    std::string reported_model() const {
        std::lock_guard<std::mutex> lock(model_mu_);
        return model_;
    }
    void set_reported_model(std::string m) {
        std::lock_guard<std::mutex> lock(model_mu_);
        model_ = std::move(m);
    }

private:
    mutable std::mutex model_mu_;
    std::string model_;
};

struct LineOptions {
    std::string port;
    LineSettings settings;       // with the baud rate
    double line_timeout_s = 10;  // silence before a system's line counts as lost
    std::chrono::milliseconds refresh{20};
    long cycles = -1;            // stop after this many complete cycles of every system; -1: never
    double give_up_s = 0;        // with cycles > 0: stop after this long without a complete cycle
};

class LineSupervisor {
public:
    struct Hooks {
        std::function<void(int level, const std::string& text)> diag;
        // Called first at every tick; may stop the run.
        std::function<void()> tick;
        // Once a second, after the lines' status.
        std::function<void(Steady::time_point now)> every_second;
        // A system's line went lost before its first cycle completed.
        std::function<void(LineSystem&)> lost_before_first_cycle;
        // A system's cycle completed: before its count moves on, and after.
        std::function<void(LineSystem&, const CycleStats&)> cycle_closing;
        std::function<void(LineSystem&, const CycleStats&)> cycle_closed;
    };

    // The systems and the controller outlive the supervisor.
    LineSupervisor(LineOptions o, std::vector<LineSystem*> systems, devhost::Controller& controller,
                   const Dispatcher& events, Hooks hooks);
    ~LineSupervisor();

    // Opens the port; throws PortError (the first opening decides the exit code).
    void open();
    // Polls until stop(); then hands the devices their port back closed.
    void run();
    void stop(const std::string& reason);
    // An image of `s` was published (on the serial thread).
    void published(LineSystem& s) { ++s.publications; }

    // The cycles every system has completed: the least among the systems whose line is up
    // (a silent system does not hold the others' run), or among all when none is.
    uint64_t cycles_done() const;
    const std::string& stop_reason() const { return stop_reason_; }
    bool failed() const { return failed_; }      // the port failed for good
    bool gave_up() const { return no_cycle_; }   // no complete cycle within give_up_s
    const std::string& port() const { return o_.port; }

private:
    void open_port();
    void received(const uint8_t* p, size_t n);
    void written(const uint8_t* p, size_t n);
    void pass_turn();
    void detach_all();
    void line_failed(const std::string& err);
    void tick();
    void refresh(LineSystem& s, Steady::time_point now);
    void watch_line();
    void watch_system(LineSystem& s, Steady::time_point now);
    LineStatus line_status(const LineSystem& s, Steady::time_point now) const;
    void cycle_done(LineSystem& s);
    void drop_cycle(LineSystem& s) { s.book.drop(); }
    void reply(const devhost::Frame& f);
    LineSystem* system_at(int address) const;
    std::string who(const LineSystem& s) const;
    void diag(int level, const std::string& text) const {
        if (hooks_.diag) hooks_.diag(level, text);
    }
    template <class F>
    void emit(F&& f) {
        events_.each(f);
    }

    LineOptions o_;
    std::vector<LineSystem*> systems_;
    devhost::Controller& controller_;
    const Dispatcher& events_;
    Hooks hooks_;

    asio::io_context io_;
    std::shared_ptr<SerialLine> line_;
    std::shared_ptr<devhost::SharedLine> shared_;  // several systems: the line they share
    std::unique_ptr<asio::steady_timer> timer_, turn_timer_;
    LineSystem* current_ = nullptr;  // the system whose command went out last
    bool port_open_ = false;
    Steady::time_point opened_, next_reopen_, next_status_, last_progress_;
    SystemClock::time_point opened_wall_;
    // The frame decoders of all systems see every byte: the line's errors are read from
    // the first and counted against the system whose command was out.
    uint64_t bad_frames_seen_ = 0, garbage_seen_ = 0;
    devhost::FrameDecoder tx_frames_, rx_frames_;

    std::string stop_reason_;
    bool failed_ = false;
    bool no_cycle_ = false;
};

}  // namespace zrt::host

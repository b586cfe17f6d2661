#pragma once
// The reference site of examples/ for the benchmarks: its settings, its plant, the reply
// information bytes the plant gives, and a rig that drives one top device through whole
// cycles on an in-memory line, answered by the simulator library or by the replies of an
// earlier cycle.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <json/value.h>

#include "devhost/devhost.h"
#include "power/zrt4600a.h"
#include "sim/simulator.h"

namespace zrt::bench {

// examples/site.json. With `full_reads` the frame layer never sets the top device's
// data_ready, so that every cycle reads every group and every parse hook runs.
Json::Value site_settings(bool full_reads);
// examples/plant.json without its scripted steps and faults, answering without turnaround,
// so that every cycle sees the same plant.
sim::Scenario reference_scenario();

// Information bytes of the reference plant's reply to `c` (DATAFLAG 0).
std::vector<uint8_t> reference_info(sim::Command c);

// The parse hooks write trace lines to standard output. This sends them to /dev/null and
// returns a descriptor of the original standard output for the figures; -1 on failure.
int divert_trace_lines();

// Seconds the line needs for `bytes` at `baud`, 10 bits a byte (start, 8 data, stop).
inline double wire_seconds(uint64_t bytes, int baud) { return static_cast<double>(bytes) * 10.0 / baud; }

// A line that keeps the bytes of the command being written in a fixed buffer, so that
// writing a command allocates nothing on the benchmark's side.
class CommandLine : public devhost::Transport {
public:
    bool is_open() const override { return true; }
    bool write(const uint8_t* data, size_t n) override;
    std::string_view written() const { return {buf_, n_}; }
    void clear() { n_ = 0; }
    bool overflowed() const { return overflow_; }

private:
    char buf_[256];
    size_t n_ = 0;
    bool overflow_ = false;
};

struct Exchange {
    std::string command;
    std::string reply;
};

// The commands of one cycle, as "40_41 41_41 ...", for messages.
std::string command_names(const std::vector<Exchange>& cycle);

// One top device on a CommandLine, with a development controller that records nothing and
// runs history jobs inline. The line has no wire, so a command may follow a reply at once:
// no quiet guard time.
template <class Top>
class Rig {
public:
    explicit Rig(Json::Value settings)
        : controller(std::make_shared<devhost::Controller>(devhost::Controller::JobMode::Inline)),
          top(std::make_shared<Top>()),
          line(std::make_shared<CommandLine>()),
          sim(std::make_unique<sim::PlantResponder>(reference_scenario())) {
        controller->record_events = false;
        if (!settings.isMember("guard_ms")) settings["guard_ms"] = 0;
        if (!top->Init(controller, settings["data_id"].asUInt(), settings))
            throw std::runtime_error("the reference settings were refused");
        devhost::attach(*top, line);
    }

    // The 2-second rest after a cycle is over at once.
    void allow_next_cycle() { top->last_update = boost::posix_time::ptime(); }

    // Starts a cycle and lets the simulator answer every command until the cycle ends.
    // The device's first cycle begins with the model query.
    std::vector<Exchange> run_cycle() {
        std::vector<Exchange> cycle;
        allow_next_cycle();
        line->clear();
        if (!top->RefreshStatus()) throw std::runtime_error("the top device did not start a cycle");
        for (int guard = 0; guard < 64 && !line->written().empty(); ++guard) {
            Exchange e{std::string(line->written()), {}};
            line->clear();
            sim.feed(e.command);
            e.reply = sim.take_output();
            if (e.reply.empty()) throw std::runtime_error("the simulator did not answer " + e.command);
            devhost::inject(*top, e.reply);
            cycle.push_back(std::move(e));
        }
        check_ended(cycle);
        return cycle;
    }

    // Runs a cycle whose commands must be those of `recorded`, answering each with the
    // recorded reply. Allocates nothing on the rig's side. False when the device sent
    // another command, or did not end the cycle after the last reply.
    bool replay(const std::vector<Exchange>& recorded) {
        allow_next_cycle();
        line->clear();
        if (!top->RefreshStatus()) return false;
        for (const Exchange& e : recorded) {
            if (line->written() != e.command) return false;
            line->clear();
            top->process(reinterpret_cast<const unsigned char*>(e.reply.data()), static_cast<int>(e.reply.size()));
        }
        return line->written().empty() && top->poll_state == 0;
    }

    std::shared_ptr<devhost::Controller> controller;
    std::shared_ptr<Top> top;
    std::shared_ptr<CommandLine> line;
    sim::Simulator sim;

private:
    void check_ended(const std::vector<Exchange>& cycle) const {
        if (!line->written().empty() || top->poll_state != 0 || line->overflowed())
            throw std::runtime_error("the cycle did not end: " + command_names(cycle));
    }
};

}  // namespace zrt::bench

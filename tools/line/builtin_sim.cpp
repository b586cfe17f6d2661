#include "tools/line/builtin_sim.h"

#include <iostream>

#include "sim/line.h"
#include "sim/simulator.h"
#include "tools/core/host_error.h"

namespace zrt::host {

BuiltinSim::BuiltinSim(const std::string& plant_path, int baud) {
    sim::LineScenario s;  // one system, or several at their addresses
    try {
        s = sim::load_line_scenario(plant_path);
    } catch (const std::exception& e) {
        throw HostError(kExitUsage, "the plant file " + plant_path + ": " + e.what());
    }
    const int delay = s.reply_delay_ms;
    try {
        pty_ = std::make_unique<sim::Pty>();
    } catch (const std::exception& e) {
        throw HostError(kExitPort, std::string("cannot make a pseudo-terminal: ") + e.what());
    }
    sim_ = std::make_unique<sim::Simulator>(std::move(s));
    runner_ = std::make_unique<sim::LineRunner>(pty_->master(), *sim_, baud, delay);
    thread_ = std::thread([this] {
        try {
            runner_->run(stop_);
        } catch (const std::exception& e) {
            std::cerr << "zrt4600a-host: simulator stopped: " << e.what() << "\n";
        }
    });
}

BuiltinSim::~BuiltinSim() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
}

const std::string& BuiltinSim::path() const { return pty_->path(); }

}  // namespace zrt::host

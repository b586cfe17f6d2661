#pragma once
// The built-in plant simulator (--simulate): a plant answering on a pseudo-terminal, in a
// thread of its own, so that the host polls it through the same serial line as a real port.
#include <atomic>
#include <memory>
#include <string>
#include <thread>

namespace zrt::sim {
class Pty;
class Simulator;
class LineRunner;
}  // namespace zrt::sim

namespace zrt::host {

class BuiltinSim {
public:
    // Throws HostError: kExitUsage for a plant file that cannot be read, kExitPort when no
    // pseudo-terminal can be made.
    BuiltinSim(const std::string& plant_path, int baud);
    ~BuiltinSim();
    BuiltinSim(const BuiltinSim&) = delete;
    BuiltinSim& operator=(const BuiltinSim&) = delete;
    // The pseudo-terminal the host opens as its port.
    const std::string& path() const;

private:
    std::unique_ptr<sim::Pty> pty_;
    std::unique_ptr<sim::Simulator> sim_;
    std::unique_ptr<sim::LineRunner> runner_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace zrt::host

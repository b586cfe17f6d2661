#pragma once
// An AgentX subagent (net-snmp's agent library) of the system's SNMP daemon. It answers the
// ENTITY-MIB entPhysicalTable, the ENTITY-SENSOR-MIB entPhySensorTable and the objects of
// ZRT4600A-MIB from an SnmpFeed, and sends the feed's notifications through the master.
//
// net-snmp is not thread-safe: every call into it is made on the subagent's own thread, which
// reads the feed's snapshots and nothing else of the host. A master agent that is absent or
// restarts never holds up the host: the subagent tries again every ping interval, and says
// once that it is not registered and once that it is again.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace zrt::snmp {

class SnmpFeed;

// Where the master agent listens for subagents: a unix socket path ("/var/agentx/master",
// "unix:/run/x/master") or a TCP address on loopback ("tcp:127.0.0.1:705",
// "localhost:705", "tcp:[::1]:705"). AgentX carries no authentication, so other hosts are
// refused.
struct AgentxAddress {
    std::string text;      // as net-snmp takes it
    bool is_unix = false;
};
// Throws std::invalid_argument saying what is wrong.
AgentxAddress parse_agentx_address(const std::string& text);

// A log line of net-snmp's in plain words, for the lines that have them (a subtree another
// subagent of the master at `master` holds); empty for any other line.
std::string plain_netsnmp_text(const std::string& text, const std::string& master);

struct AgentOptions {
    AgentxAddress address;
    int ping_interval_s = 15;          // how often a lost or absent master is tried again
    std::string name = "zrt4600a-host";
};

class SnmpAgent {
public:
    // `diag(level, text)`: 0 error, 1 warning, 2 info, 3 debug; called on the subagent's
    // thread. One subagent per process (net-snmp keeps its state in globals): a second
    // throws std::logic_error.
    SnmpAgent(AgentOptions options, SnmpFeed& feed, std::function<void(int, const std::string&)> diag);
    ~SnmpAgent();
    SnmpAgent(const SnmpAgent&) = delete;
    SnmpAgent& operator=(const SnmpAgent&) = delete;

    // Registered with the master now.
    bool connected() const { return connected_.load(); }

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
    std::atomic<bool> connected_{false};
    std::thread thread_;
};

}  // namespace zrt::snmp

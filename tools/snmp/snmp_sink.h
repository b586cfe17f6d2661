#pragma once
// The SNMP subagent as the host runs it: a sink of the host's events that fills the feed the
// subagent answers from, and the subagent thread, made from the settings. A bad AgentX
// address is reported and leaves the sink without a subagent; the host polls on either way.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tools/core/events.h"
#include "tools/snmp/snmp_agent.h"
#include "tools/snmp/snmp_feed.h"

namespace zrt::snmp {

struct SinkOptions {
    std::string agentx;       // the master's address; checked here
    std::string origin;       // where it was given, for the diagnostics ("--snmp-agentx")
    int ping_interval_s = 15;
    std::string site;
    uint32_t system_data_id = 0;
    std::string system_type;
    std::vector<DeviceRef> children;
    // The other power systems on the same line, each with its children.
    struct OtherSystem {
        uint32_t data_id = 0;
        std::string type;
        std::vector<DeviceRef> children;
    };
    std::vector<OtherSystem> more_systems;
};

class SnmpSink : public host::Sink {
public:
    SnmpSink(const SinkOptions& o, std::function<void(int, const std::string&)> diag);
    ~SnmpSink() override;

    // The events the subagent answers from: published images, alarm changes, the line's
    // state and the end of each cycle.
    void image(const host::ImageEvent& e) override;
    void alarm(const devhost::AlarmEvent& e) override;
    void line(const host::LineStatus& l) override { feed_.line(l.up, host::SystemClock::now(), l.system.data_id); }
    void cycle_ended(const host::CycleStats& c) override { feed_.cycle(c.end, c.system.data_id); }

    SnmpFeed& feed() { return feed_; }
    // Running (its address was good); not necessarily registered with a master.
    bool running() const { return agent_ != nullptr; }
    // Ends the subagent (the master sees it close); the feed stays for late reports.
    void stop() { agent_.reset(); }

private:
    SnmpFeed feed_;
    std::unique_ptr<SnmpAgent> agent_;
};

}  // namespace zrt::snmp

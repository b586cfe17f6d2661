#include "tools/snmp/snmp_sink.h"

#include <stdexcept>

namespace zrt::snmp {

SnmpSink::SnmpSink(const SinkOptions& o, std::function<void(int, const std::string&)> diag)
    : feed_(o.site, o.system_data_id, o.system_type, o.children) {
    for (const SinkOptions::OtherSystem& s : o.more_systems) feed_.add_system(s.data_id, s.type, s.children);
    AgentOptions a;
    try {
        a.address = parse_agentx_address(o.agentx);
    } catch (const std::invalid_argument& e) {
        diag(0, "SNMP: " + o.origin + " \"" + o.agentx + "\": " + e.what() + "; no SNMP subagent, the host polls on");
        return;
    }
    a.ping_interval_s = o.ping_interval_s;
    diag(2, "SNMP: subagent of the AgentX master at " + a.address.text);
    try {
        agent_ = std::make_unique<SnmpAgent>(a, feed_, diag);
    } catch (const std::exception& e) {
        diag(0, std::string("SNMP: ") + e.what() + "; the host polls on");
    }
}

SnmpSink::~SnmpSink() = default;

void SnmpSink::image(const host::ImageEvent& e) {
    if (e.saved) return;  // a history job's copy of an image already published
    feed_.publish(e.raw.data_id, e.raw.device_type, e.raw.record_type, e.decoded);
}

void SnmpSink::alarm(const devhost::AlarmEvent& e) {
    feed_.alarm({e.data_id, e.device_type, e.rule.key, e.rule.sequence, e.rule.signal_id, e.rule.level, e.rule.name,
                 e.rule.instance},
                e.raised);
}

}  // namespace zrt::snmp

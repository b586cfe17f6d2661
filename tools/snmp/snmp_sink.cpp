#include "tools/snmp/snmp_sink.h"

#include <stdexcept>

namespace zrt::snmp {

SnmpSink::SnmpSink(const SinkOptions& o, std::function<void(int, const std::string&)> diag)
    : feed_(o.site, o.system_data_id, o.system_type, o.children) {
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

}  // namespace zrt::snmp

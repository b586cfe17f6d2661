// A build without net-snmp's agent library: the address is still checked, and asking for a
// subagent says why there is none.
#include <stdexcept>

#include "tools/snmp/snmp_agent.h"

namespace zrt::snmp {

struct SnmpAgent::Impl {};

SnmpAgent::SnmpAgent(AgentOptions, SnmpFeed&, std::function<void(int, const std::string&)>) {
    throw std::runtime_error("this build has no SNMP subagent (net-snmp's agent library was missing when it was built)");
}

SnmpAgent::~SnmpAgent() = default;

}  // namespace zrt::snmp

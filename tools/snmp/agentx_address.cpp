#include <sys/stat.h>

#include <algorithm>
#include <stdexcept>

#include "tools/snmp/snmp_agent.h"

namespace zrt::snmp {

namespace {

bool all_digits(const std::string& s) { return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos; }

bool loopback_host(const std::string& h) {
    if (h == "localhost" || h == "[::1]" || h == "::1") return true;
    // 127.0.0.0/8 as a dotted quad.
    int parts = 0;
    size_t at = 0;
    while (at <= h.size()) {
        const size_t dot = std::min(h.find('.', at), h.size());
        const std::string p = h.substr(at, dot - at);
        if (!all_digits(p) || p.size() > 3 || std::stoi(p) > 255) return false;
        if (parts == 0 && p != "127") return false;
        ++parts;
        at = dot + 1;
    }
    return parts == 4;
}

}  // namespace

AgentxAddress parse_agentx_address(const std::string& text) {
    if (text.empty()) throw std::invalid_argument("is empty");
    std::string t = text;
    if (t.rfind("unix:", 0) == 0) t = t.substr(5);
    if (!t.empty() && t[0] == '/') {
        if (t.size() > 107) throw std::invalid_argument("the socket path is longer than a unix socket path may be");
        struct stat st {};
        if (stat(t.c_str(), &st) == 0 && !S_ISSOCK(st.st_mode))
            throw std::invalid_argument(t + " exists and is not a socket");
        return {t, true};
    }
    if (text.rfind("unix:", 0) == 0) throw std::invalid_argument("a unix socket path must be absolute");
    if (t.rfind("tcp:", 0) == 0) t = t.substr(4);
    else if (t.find(':') == std::string::npos || t.rfind("udp", 0) == 0)
        throw std::invalid_argument(
            "expected a unix socket path (/var/agentx/master) or a TCP address on loopback (tcp:127.0.0.1:705)");
    const size_t colon = t.rfind(':');
    if (colon == std::string::npos) throw std::invalid_argument("expected tcp:HOST:PORT");
    const std::string host = t.substr(0, colon), port = t.substr(colon + 1);
    if (!all_digits(port) || port.size() > 5 || std::stoi(port) < 1 || std::stoi(port) > 65535)
        throw std::invalid_argument("the port must be a number from 1 to 65535");
    if (!loopback_host(host))
        throw std::invalid_argument("AgentX has no authentication: the master must listen on loopback (127.0.0.1, "
                                    "localhost or [::1]), not " + host);
    return {"tcp:" + host + ":" + port, false};
}

std::string plain_netsnmp_text(const std::string& text, const std::string& master) {
    // AgentX error 263, duplicateRegistration: the subtree is another subagent's.
    if (text.find("registering pdu failed: 263") != std::string::npos)
        return "another subagent of the AgentX master at " + master +
               " already serves this host's tables (a second host on the same snmpd?): the master refused them, "
               "and SNMP answers for this host are missing until that one stops; one host per master agent "
               "(the host polls on)";
    return {};
}

}  // namespace zrt::snmp

#include "tools/uplink/uplink_settings.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "tools/core/host_error.h"

namespace zrt::uplink {

using zrt::host::HostError;

BrokerUrl parse_broker_url(const std::string& url) {
    BrokerUrl b;
    std::string rest;
    if (url.rfind("mqtt://", 0) == 0) {
        rest = url.substr(7);
    } else if (url.rfind("mqtts://", 0) == 0) {
        rest = url.substr(8);
        b.tls = true;
        b.port = 8883;
    } else {
        throw std::invalid_argument("expected mqtt://HOST:PORT or mqtts://HOST:PORT");
    }
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    if (rest.find_first_of("/@?# ") != std::string::npos)
        throw std::invalid_argument("expected mqtt://HOST:PORT or mqtts://HOST:PORT, without a path, user or query");
    std::string port;
    if (!rest.empty() && rest[0] == '[') {
        const size_t close = rest.find(']');
        if (close == std::string::npos) throw std::invalid_argument("an IPv6 host lacks its closing bracket");
        b.host = rest.substr(1, close - 1);
        if (close + 1 < rest.size()) {
            if (rest[close + 1] != ':') throw std::invalid_argument("expected :PORT after the host");
            port = rest.substr(close + 2);
            if (port.empty()) throw std::invalid_argument("the port is empty");
        }
    } else {
        const size_t colon = rest.find(':');
        b.host = rest.substr(0, colon);
        if (colon != std::string::npos) {
            port = rest.substr(colon + 1);
            if (port.empty()) throw std::invalid_argument("the port is empty");
        }
    }
    if (b.host.empty()) throw std::invalid_argument("the host is empty");
    if (!port.empty()) {
        if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
            throw std::invalid_argument("the port " + port + " is not a number from 1 to 65535");
        const int n = std::stoi(port);
        if (n < 1 || n > 65535) throw std::invalid_argument("the port " + port + " is not a number from 1 to 65535");
        b.port = n;
    }
    return b;
}

bool valid_sparkplug_id(const std::string& id) {
    return !id.empty() && id.find_first_of("/+#") == std::string::npos;
}

namespace {

// A file the uplink reads at start: its content, or exit 2 naming the key and the file.
std::string read_file(const std::string& path, const std::string& key, const std::string& file) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    if (in) text << in.rdbuf();
    if (!in || in.bad())
        throw HostError(zrt::host::kExitUsage,
                        "settings key uplink." + key + " in " + file + ": cannot read " + path);
    return text.str();
}

}  // namespace

UplinkChoice uplink_settings(const Json::Value& s, const std::string& url_option, const std::string& file) {
    UplinkChoice c;
    const Json::Value& u = s["uplink"];  // checked by check_settings: an object when present
    UplinkSettings& o = c.settings;
    o.url = !url_option.empty() ? url_option : u.isMember("url") ? u["url"].asString() : std::string();
    if (o.url.empty()) {
        if (s.isMember("uplink") && url_option.empty())
            throw HostError(zrt::host::kExitUsage,
                            "settings key uplink in " + file + ": \"url\" is missing (mqtt://HOST:PORT)");
        return c;
    }
    const std::string origin = !url_option.empty() ? "--uplink" : "settings key uplink.url in " + file;
    try {
        o.broker = parse_broker_url(o.url);
    } catch (const std::invalid_argument& e) {
        throw HostError(zrt::host::kExitUsage, origin + ": " + o.url + ": " + e.what());
    }
    if (u.isMember("group")) o.group = u["group"].asString();
    if (u.isMember("node")) o.node = u["node"].asString();
    for (const auto& [key, value] : {std::pair<const char*, const std::string*>{"group", &o.group}, {"node", &o.node}})
        if (u.isMember(key) && !valid_sparkplug_id(*value))
            throw HostError(zrt::host::kExitSettingValue, "settings key uplink." + std::string(key) + " in " + file +
                                                              ": expected a text without '/', '+' or '#', found \"" +
                                                              *value + "\"");
    if (u.isMember("username")) o.username = u["username"].asString();
    if (u.isMember("password_file")) {
        o.password = read_file(u["password_file"].asString(), "password_file", file);
        // The file's last line break is not part of the password.
        while (!o.password.empty() && (o.password.back() == '\n' || o.password.back() == '\r')) o.password.pop_back();
        if (o.username.empty())
            throw HostError(zrt::host::kExitUsage,
                            "settings key uplink.password_file in " + file + ": a password needs uplink.username");
    }
    for (const auto& [key, value] : {std::pair<const char*, std::string*>{"ca_file", &o.ca_file},
                                     {"cert_file", &o.cert_file},
                                     {"key_file", &o.key_file}}) {
        if (!u.isMember(key)) continue;
        *value = u[key].asString();
        read_file(*value, key, file);  // readable now, or the start stops here
    }
    if (o.cert_file.empty() != o.key_file.empty())
        throw HostError(zrt::host::kExitUsage, "settings key uplink." + std::string(o.cert_file.empty() ? "cert_file" : "key_file") +
                                                   " in " + file + ": a client certificate needs both cert_file and key_file");
    if (!o.broker.tls && (!o.ca_file.empty() || !o.cert_file.empty()))
        throw HostError(zrt::host::kExitUsage, origin + ": " + o.url + ": certificates are given, but the URL is not mqtts://");
    if (u.isMember("replay_hours")) o.replay_hours = u["replay_hours"].asInt();
    if (u.isMember("primary_host")) {
        o.primary_host = u["primary_host"].asString();
        if (!valid_sparkplug_id(o.primary_host))
            throw HostError(zrt::host::kExitSettingValue, "settings key uplink.primary_host in " + file +
                                                              ": expected a text without '/', '+' or '#'");
    }
    if (u.isMember("keepalive_s")) o.keepalive_s = u["keepalive_s"].asInt();
    c.enabled = true;
    return c;
}

}  // namespace zrt::uplink

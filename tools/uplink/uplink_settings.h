#pragma once
// The uplink's settings: the "uplink" object of the settings file, with --uplink URL over
// its "url". Checked whole before the line is opened, so that a bad URL or a password file
// that cannot be read stops the start (exit 2) rather than a run that never connects.
#include <string>

#include <json/value.h>

namespace zrt::uplink {

struct BrokerUrl {
    bool tls = false;
    std::string host;
    int port = 1883;
};

// "mqtt://HOST:PORT" or "mqtts://HOST:PORT" (the port defaults to 1883 and 8883; an IPv6
// host is written in brackets). Throws std::invalid_argument saying what is wrong.
BrokerUrl parse_broker_url(const std::string& url);

struct UplinkSettings {
    std::string url;
    BrokerUrl broker;
    std::string group = "zrt4600a";
    std::string node;  // empty: the caller's default (the site label, else the top data id)
    std::string username;
    std::string password;  // read from "password_file"
    std::string ca_file, cert_file, key_file;
    int replay_hours = 24;
    std::string primary_host;
    int keepalive_s = 30;
};

// The uplink of the settings `s` (the whole settings object), `url_option` (--uplink) over
// its "url"; std::nullopt-like: `enabled` false when neither names a broker. `file` is the
// settings file, named in errors. Throws zrt::host::HostError: kExitUsage for a bad URL or a
// file that cannot be read, kExitSettingValue for a bad id.
struct UplinkChoice {
    bool enabled = false;
    UplinkSettings settings;
};
UplinkChoice uplink_settings(const Json::Value& s, const std::string& url_option, const std::string& file);

// A Sparkplug id holds none of '/', '+', '#' and is not empty.
bool valid_sparkplug_id(const std::string& id);

}  // namespace zrt::uplink

#pragma once
// The settings file's keys, checked strictly against one table of known keys: an unknown
// key, a value of the wrong type or out of range, and two devices with the same data id
// are refused with a line that names the key (with its path, "acSetting[1].appSetting.diff_v")
// and the file. Keys starting with '_' are free for comments, at every level.
#include <cstdint>
#include <string>
#include <vector>

#include <json/value.h>

#include "tools/line/line_settings.h"

namespace zrt::host {

// One power system on the line: its frame address and what its top device's Init takes.
struct SystemSettings {
    int address = 1;
    std::string name;  // from the settings; empty: none (events then show the address)
    uint32_t data_id = 1;
    std::string device_type = "zrt4600a";
    Json::Value settings;  // the top device's settings
};

// Host keys of the settings file.
struct HostSettings {
    std::string device_type = "zrt4600a";
    uint32_t data_id = 1;
    std::string port;
    int baud = 9600;
    LineSettings line;  // data bits, parity, stop bits, flow control, RS-485 (baud stays in `baud`)
    int refresh_ms = 20;
    int history_retention = 0;  // images kept per device; 0: no cap, images go by age
    int history_days = 30;       // days of history kept; 0: keep everything
    int history_commit_s = 60;   // the history is written every this many seconds; 0: every save
    int history_rollup_days = 400;  // days of hourly rollups kept; 0: keep them all
    bool simulate = false;
    std::string plant;           // as written in the file
    double line_timeout_s = 10;  // silence before the line counts as lost
    std::string metrics;  // ADDR:PORT of the metrics endpoint, empty: none
    std::string site;     // the metrics' site label, empty: the data id
    std::string web_config;  // as written in the file, empty: none
    std::string snmp_agentx;  // the AgentX master's address, empty: no SNMP subagent
    int snmp_ping_s = 15;     // how often a lost master is tried again
    // The systems on the line: the file's "systems", else one made of the whole file.
    // `device_type` and `data_id` above are the first system's.
    std::vector<SystemSettings> systems;
    bool listed = false;  // the file holds a list of systems
};
// Checks the whole settings object (check_settings) and returns its host keys. Throws
// HostError (kExitUnknownKey, kExitSettingValue, kExitDuplicateId).
HostSettings host_settings(const Json::Value& settings, const std::string& file = "the settings");
// Reads and parses the settings file. Throws HostError (kExitUsage) naming the file.
Json::Value read_settings(const std::string& path);

// Throws HostError: kExitUnknownKey, kExitSettingValue or kExitDuplicateId. `file` names
// the settings file in the message.
void check_settings(const Json::Value& settings, const std::string& file);

// What the top device needs before it is configured (a missing "rcSetting" is named).
// Throws HostError (kExitDevice).
void check_top_structure(const Json::Value& settings, const std::string& device_type, const std::string& file);

}  // namespace zrt::host

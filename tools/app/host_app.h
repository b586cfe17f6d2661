#pragma once
// zrt4600a-host: loads a device plug-in, configures its top device from a settings file (or
// one top device per power system, when the settings list several systems on the line),
// hands each child its last saved image, and drives the serial line (a real port, or the
// built-in simulator on a pseudo-terminal) until the wanted number of cycles is done. It
// watches the line of each system (the last good reply, time-outs in a row, bad frames) and
// reports a silent system, and settings the plant contradicts, as events of their own.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/app/query_sink.h"
#include "tools/app/settings_check.h"

namespace zrt::host {

struct HostOptions {
    std::string plugin;    // the plug-in library
    std::string settings;  // the top device's settings, or a list of systems (JSON)
    std::string port;      // serial device; empty: the settings' "port"
    bool simulate = false; // the built-in simulator, when no --port is given
    int baud = 0;          // 0: the settings' "baud", else 9600
    // Line format and frame address; unset (0, empty, -1): the settings' value.
    int data_bits = 0;
    std::string parity;
    int stop_bits = 0;
    std::string flow_control;
    bool rs485 = false;    // true: RS-485 half duplex whatever the settings say
    int address = -1;      // a one-system file only
    std::string plant;     // the built-in simulator's plant; empty: the settings' "plant", else default_plant
    std::string default_plant;
    std::string history;   // SQLite file; empty: in memory
    long cycles = -1;      // stop after this many complete cycles; -1: run until signalled
    double give_up_s = 60; // with cycles > 0: stop (kExitNoCycle) after this long without a complete cycle; 0: never
    bool json = false;     // JSON lines even on a terminal
    std::vector<Query> queries;
    std::string record;    // wire record file
    std::string log_level = "info";  // error, warn, info, debug
    std::string metrics;   // ADDR:PORT of the metrics endpoint; empty: the settings' "metrics", else none
    std::string site;      // the metrics' site label; empty: the settings' "site", else the data id
    std::string web_config;  // the HTTP server's TLS and users (YAML); empty: the settings' "web_config", else none
    std::string snmp_agentx;  // the AgentX master's address; empty: the settings' "snmp"."agentx", else no subagent
    std::string uplink;    // mqtt(s)://HOST:PORT of the uplink's broker; empty: the settings' "uplink"."url", else none
};

// SIGINT and SIGTERM are caught from the first moment to the last: the run ends in order
// and a signal after the stop event changes nothing. SIGPIPE is ignored (a closed reader
// of the events ends nothing but the output). Call first thing in main.
void install_signal_handlers();
// The first SIGINT or SIGTERM received, or 0.
int received_signal();

// Runs the host; `out_fd` receives the events. Returns the exit code; failures before the
// line runs throw HostError.
int run_host(const HostOptions& options, int out_fd);

}  // namespace zrt::host

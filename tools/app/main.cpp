// zrt4600a-host: runs a device plug-in against a serial line and reports what it sees.
//
//   zrt4600a-host --simulate --cycles 3 --json       the example site on the built-in simulator
//   zrt4600a-host --port /dev/ttyS1 --history site.db
//   zrt4600a-host --cycles 0 --history site.db --query 21:v --query 11:channel_0_a
//
// Events go to standard output: JSON lines when --json is given or the output is not a
// terminal, a live view otherwise. The plug-in's own standard-output trace lines go to
// standard error (or to --trace FILE), so they never break the JSON stream; beside a live
// view on the same terminal they are dropped, so they never land in the view.
#include <algorithm>
#include <cstdio>
#include <limits>
#include <iostream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include "tools/core/diag_log.h"
#include "tools/core/field_text.h"
#include "tools/history/history_cli.h"
#include "tools/app/host_app.h"
#include "tools/core/host_error.h"
#include "base/paths.h"

namespace {

const char* const kExitCodes =
    "Exit codes:\n"
    "  0  done (the cycles asked for, or stopped by SIGINT/SIGTERM when no --cycles was given)\n"
    "  1  the line failed while running and cannot be opened again (no serial device any more)\n"
    "  2  a bad option, or a settings, plant or record file that cannot be read or parsed\n"
    "  3  the plug-in cannot be loaded or has no get_providers\n"
    "  4  the port cannot be opened, or is in use by another process\n"
    "  5  no factory for the device type, or the device refused its settings (the reason follows)\n"
    "  6  the history store cannot be opened, or is in use by another writer\n"
    "  7  an unknown settings key (named with its path, e.g. acSetting[1].appSetting.diff_x)\n"
    "  8  a settings value of the wrong type or out of range (also a frame address two systems share)\n"
    "  9  a data id used twice (AC and DC screens and the top device's own, across every system)\n"
    " 10  interrupted by SIGINT/SIGTERM before --cycles N completed\n"
    " 11  --cycles N: no complete cycle for --give-up seconds (nothing attached, or a plant that contradicts the settings)\n"
    " 12  a --query the device refused (its own text and an English explanation are printed)\n"
    "Export and report exit 0 when done, 2 for a bad option or an unknown --device or --key, 6 for a history file\n"
    "that cannot be read.\n";

const char* const kCommands =
    "Commands:\n"
    "  zrt4600a-host export --history FILE [--device ID|rc]... [--key K]... [--from T] [--to T] [--format csv|jsonl]\n"
    "                       [--alarms] [--out FILE]     values or alarm transitions of a history file\n"
    "  zrt4600a-host report --history FILE --out report.html [--from T] [--to T] [--points N]\n"
    "                                                   one HTML page: charts, alarm timeline, line health\n"
    "  (zrt4600a-host export --help, zrt4600a-host report --help for their options)\n";

}  // namespace

int main(int argc, char** argv) {
    using namespace zrt::host;
    // Before anything else, and for good: a signal at any moment ends the run in order.
    install_signal_handlers();

    // "export" and "report" read a history file; everything else runs the line.
    if (argc > 1 && is_history_command(argv[1])) return history_command(argc, argv);
    CLI::App app{"Runs the zrt4600a device plug-in against a serial line"};
    HostOptions o;
    // Beside this program: the build tree's, else the installed plug-in and examples.
    const zrt::DefaultPaths paths = zrt::default_paths();
    o.plugin = paths.plugin;
    o.settings = paths.examples + "/site.json";
    o.default_plant = paths.examples + "/plant.json";
    app.set_version_flag("--version", zrt::version_text("zrt4600a-host"));
    std::vector<std::string> queries;
    std::string trace;
    bool keys = false;
    app.add_option("--plugin", o.plugin, "device plug-in library")->capture_default_str();
    app.add_option("--settings", o.settings, "settings of the top device (JSON)")->capture_default_str();
    app.add_option("--port", o.port, "serial device (default: the settings' \"port\")");
    app.add_flag("--simulate", o.simulate,
                 "poll the built-in plant simulator on a pseudo-terminal (also \"simulate\": true in the settings); "
                 "--port wins over it");
    app.add_option("--baud", o.baud, "line speed (default: the settings' \"baud\", else 9600)")
        ->check(CLI::Range(50, 4000000));
    app.add_option("--data-bits", o.data_bits, "bits a character (default: the settings' \"data_bits\", else 8)")
        ->check(CLI::Range(5, 8));
    app.add_option("--parity", o.parity, "none, odd or even (default: the settings' \"parity\", else none)")
        ->check(CLI::IsMember({"none", "odd", "even"}));
    app.add_option("--stop-bits", o.stop_bits, "1 or 2 (default: the settings' \"stop_bits\", else 1)")
        ->check(CLI::IsMember({1, 2}));
    app.add_option("--flow-control", o.flow_control,
                   "none, rtscts or xonxoff (default: the settings' \"flow_control\", else none)")
        ->check(CLI::IsMember({"none", "rtscts", "xonxoff"}));
    app.add_flag("--rs485", o.rs485,
                 "RS-485 half duplex by the kernel: RTS switches the transmitter (also \"rs485\": true; the delays "
                 "are settings)");
    app.add_option("--address", o.address, "frame address of the power system (default: the settings' \"address\", "
                                           "else 1; not with a list of \"systems\", which holds each address)")
        ->check(CLI::Range(0, 255));
    app.add_option("--plant", o.plant,
                   "plant of the built-in simulator (JSON; default: the settings' \"plant\", else " + o.default_plant +
                       ")");
    app.add_option("--history", o.history, "history store, an SQLite file (default: in memory)");
    app.add_option("--cycles", o.cycles, "stop after this many complete cycles (0: load the history read-only, answer "
                                         "the queries and stop; default: run until interrupted)")
        ->check(CLI::Range(0L, static_cast<long>(std::min<long long>(1LL << 40, std::numeric_limits<long>::max()))));
    app.add_option("--give-up", o.give_up_s, "with --cycles N: stop with exit code 11 after this many seconds "
                                             "without a complete cycle (0: wait for ever)")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 1e9));
    app.add_flag("--json", o.json, "JSON lines even on a terminal");
    app.add_option("--query", queries, "DEVICE:KEY read after the last cycle; DEVICE is a data id (in any system) or rc "
                                       "(every system's rectifier group; repeatable; see --keys)");
    app.add_flag("--keys", keys, "print every query key of every device type and exit");
    bool layouts = false;
    app.add_flag("--layouts", layouts, "print the image layouts (Markdown tables) and exit");
    app.add_option("--record", o.record, "write both directions of the line to this file");
    app.add_option("--log-level", o.log_level, "diagnostics on standard error: error, warn, info or debug (debug: "
                                               "every frame, each line with its time)")
        ->capture_default_str()
        ->check(CLI::IsMember({"error", "warn", "info", "debug"}));
    app.add_option("--metrics", o.metrics, "serve OpenMetrics at http://ADDR:PORT/metrics (ADDR default 127.0.0.1; "
                                           "default: the settings' \"metrics\", else none)");
    app.add_option("--web-config", o.web_config,
                   "TLS and basic-auth users of the metrics endpoint, in the exporters' web configuration format "
                   "(YAML; default: the settings' \"web_config\", else plain HTTP, no password)");
    app.add_option("--snmp-agentx", o.snmp_agentx,
                   "run an SNMP subagent of the AgentX master at ADDR: a unix socket path (/var/agentx/master) or "
                   "tcp:127.0.0.1:705 (default: the settings' \"snmp\".\"agentx\", else none)");
    app.add_option("--uplink", o.uplink, "push the values to an MQTT broker as a Sparkplug B node: mqtt://HOST:PORT or "
                                         "mqtts://HOST:PORT (default: the settings' \"uplink\".\"url\", else none)");
    app.add_option("--site", o.site, "site label of the metrics (default: the settings' \"site\", else the data id)");
    app.add_option("--trace", trace, "file for the plug-in's standard-output trace lines (default: standard error; dropped "
                                   "when the live view and standard error share a terminal)");
    app.footer(std::string("\n") + kCommands + "\n" + query_keys_text() + "\n" + kExitCodes);
    // A later option overrides an earlier one (scripts add to a fixed command line).
    for (CLI::Option* opt : app.get_options())
        if (opt->get_name() != "--query" && opt->get_expected_min() == 1)
            opt->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);  // prints CLI11's reason
        return kExitUsage;
    }
    if (keys) {
        std::cout << query_keys_text();
        return kExitOk;
    }
    if (layouts) {
        std::cout << layout_tables_markdown();
        return kExitOk;
    }

    try {
        for (const std::string& q : queries) o.queries.push_back(parse_query(q));

        // Events keep the real standard output; descriptor 1, which the plug-in's trace lines
        // use, goes to standard error or the trace file. Done before the plug-in is loaded.
        std::fflush(stdout);
        const int out_fd = dup(STDOUT_FILENO);
        if (out_fd < 0) throw HostError(kExitRuntime, "cannot duplicate standard output");
        fcntl(out_fd, F_SETFD, FD_CLOEXEC);
        // A live view on a terminal would be written over by trace lines on the same
        // terminal: there they are dropped, unless --trace names a file for them.
        const bool view_on_terminal = !o.json && isatty(out_fd) && isatty(STDERR_FILENO);
        const int trace_fd = !trace.empty()     ? open(trace.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)
                             : view_on_terminal ? open("/dev/null", O_WRONLY | O_CLOEXEC)
                                                : STDERR_FILENO;
        if (trace_fd < 0) throw HostError(kExitUsage, "cannot create the trace file " + trace);
        dup2(trace_fd, STDOUT_FILENO);

        return run_host(o, out_fd);
    } catch (const HostError& e) {
        write_diag(0, e.what());
        return e.code();
    } catch (const std::exception& e) {
        write_diag(0, e.what());
        return kExitRuntime;
    }
}

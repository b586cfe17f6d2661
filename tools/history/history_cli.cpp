#include "tools/history/history_cli.h"

#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <unistd.h>

#include "tools/history/history_export.h"
#include "tools/core/host_error.h"
#include "tools/history/report.h"

namespace zrt::host {

bool is_history_command(const char* arg) {
    return arg && (std::strcmp(arg, "export") == 0 || std::strcmp(arg, "report") == 0);
}

int history_command(int argc, char** argv) {
    CLI::App app{"Exports or reports the history that zrt4600a-host wrote (the file is only read)"};
    app.name("zrt4600a-host");
    app.require_subcommand(1);

    ExportOptions ex;
    std::string from, to;
    CLI::App* exp = app.add_subcommand("export", "values or alarm transitions as CSV or JSON Lines");
    exp->add_option("--history", ex.history, "history file (SQLite) written by zrt4600a-host")->required();
    exp->add_option("--device", ex.selection.devices, "data id, or rc for the rectifier group (repeatable; default all)");
    exp->add_option("--key", ex.selection.keys, "value key such as v or channel_0_a, or alarm key such as DC_0 "
                                                "(repeatable; default all)");
    exp->add_option("--from", from, "first time, UTC: 2026-12-08, 2026-12-08T14:05, 2026-12-08T14:05:30.250Z");
    exp->add_option("--to", to, "last time, UTC, in the same forms (inclusive)");
    exp->add_option("--format", ex.format, "csv or jsonl")->capture_default_str()->check(CLI::IsMember({"csv", "jsonl"}));
    exp->add_flag("--alarms", ex.alarms, "the alarm transitions instead of the values");
    exp->add_option("--out", ex.out, "output file (default: standard output)");

    ReportOptions rep;
    std::string rfrom, rto;
    CLI::App* rp = app.add_subcommand("report", "one self-contained HTML page: charts, alarm timeline, line health");
    rp->add_option("--history", rep.history, "history file (SQLite) written by zrt4600a-host")->required();
    rp->add_option("--out", rep.out, "the HTML file to write")->required();
    rp->add_option("--from", rfrom, "first time, UTC (default: the file's first row)");
    rp->add_option("--to", rto, "last time, UTC (default: the file's last row)");
    rp->add_option("--points", rep.buckets, "time buckets per chart; each gives a series' minimum and maximum")
        ->capture_default_str()
        ->check(CLI::Range(10, 100000));

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? kExitOk : kExitUsage;
    }
    try {
        if (exp->parsed()) {
            if (!from.empty()) ex.selection.from = parse_utc_time(from, "--from");
            if (!to.empty()) ex.selection.to = parse_utc_time(to, "--to");
            if (ex.selection.from && ex.selection.to && *ex.selection.from > *ex.selection.to)
                throw HostError(kExitUsage, "--from " + from + " lies after --to " + to);
            const uint64_t rows = run_export(ex);
            if (isatty(STDERR_FILENO) && !ex.out.empty())
                std::cerr << "zrt4600a-host: " << rows << " rows written to " << ex.out << "\n";
        } else {
            if (!rfrom.empty()) rep.from = parse_utc_time(rfrom, "--from");
            if (!rto.empty()) rep.to = parse_utc_time(rto, "--to");
            if (rep.from && rep.to && *rep.from > *rep.to)
                throw HostError(kExitUsage, "--from " + rfrom + " lies after --to " + rto);
            const ReportSummary s = write_report(rep);
            if (isatty(STDERR_FILENO))
                std::cerr << "zrt4600a-host: report " << rep.out << ": " << s.devices << " devices, " << s.charts
                          << " charts, " << s.alarm_rows << " alarms, " << s.hours << " hours of line health\n";
        }
        return kExitOk;
    } catch (const HostError& e) {
        std::cerr << "zrt4600a-host: " << e.what() << "\n";
        return e.code();
    } catch (const std::exception& e) {
        std::cerr << "zrt4600a-host: " << e.what() << "\n";
        return kExitRuntime;
    }
}

}  // namespace zrt::host

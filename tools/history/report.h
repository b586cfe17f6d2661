#pragma once
// zrt4600a-host report: one self-contained HTML page of a history file, with charts of each
// device's values over time (ranges of more than three days from the hourly rollups), a
// summary of each value, state and alarm timelines and the line's health per hour. The chart
// library is built into the program, so the page needs nothing from the network.
#include <cstdint>
#include <optional>
#include <string>

namespace zrt::host {

struct ReportOptions {
    std::string history;  // the history file, opened read-only
    std::string out;      // the HTML file to write
    std::optional<int64_t> from, to;  // milliseconds since 1970-01-01 UTC, inclusive
    int buckets = 600;    // points per series: each bucket gives its minimum and maximum
};

struct ReportSummary {
    size_t devices = 0, charts = 0, series = 0, alarm_rows = 0, hours = 0;
    uint64_t value_rows = 0;  // value rows read (or counted by the rollups drawn)
    bool from_rollups = false;  // a long range: drawn from the hourly rollups
};

// Writes the report. Throws HostError: kExitUsage for an output file that cannot be
// written, kExitHistory for a history file that cannot be read.
ReportSummary write_report(const ReportOptions& o);

// Text with &, <, >, " and ' escaped for HTML.
std::string html_escape(const std::string& s);

}  // namespace zrt::host

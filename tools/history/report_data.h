#pragma once
// The data of a history report, gathered from a history file: each device's charts (a
// minimum and maximum per time bucket), its value summary and state lanes, the alarms as
// intervals and lanes, the line's health per hour. report.cpp draws the page from it.
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "tools/history/history_read.h"
#include "tools/history/report.h"

namespace zrt::host::report {

struct ChartSeries {
    std::string name;
    std::vector<double> mn, mx;  // per bucket; NaN where the value is not known
};

struct Chart {
    std::string title, unit;
    int order = 0;
    std::vector<ChartSeries> series;
    std::vector<std::string> first_names;  // for "modules 1–24"
};

// A value's figures over the report's range.
struct Figures {
    uint64_t count = 0, absent = 0;
    double min = 0, max = 0, sum = 0;
    std::optional<double> last;
    int64_t last_at = INT64_MIN;
    bool last_absent = false;
    void add(double v) {
        if (!count || v < min) min = v;
        if (!count || v > max) max = v;
        ++count;
    }
};

// A state's values over time, for its lane of the timeline: [start, end) with the value;
// no segment where nothing is known.
struct Segment {
    int64_t start = 0, end = 0;
    double value = 0;
    bool mixed = false;  // the value changed within the segment (an hour of the rollups)
};

struct StateLane {
    std::string name;
    std::vector<Segment> segments;
};

struct SummaryRow {
    std::string name, unit;
    Figures f;
};

struct Device {
    int record_type = 0;
    uint32_t data_id = 0;
    std::string device_type, name;
    std::map<std::pair<int, std::string>, Chart> charts;  // by order and group
    std::vector<SummaryRow> summary;
    std::vector<StateLane> states;
};

struct Buckets {
    int64_t from = 0, to = 0, width = 1;
    size_t count = 0;
    size_t index(int64_t t) const { return static_cast<size_t>((t - from) / width); }
};


struct AlarmInterval {
    uint32_t data_id = 0;
    std::string device_type, key, signal_id, name, instance;
    int64_t seq = 0, level = 0;
    int64_t raised = 0;
    std::optional<int64_t> cleared;
};

struct HourRow {
    int64_t hour = 0;  // ms of the hour's start
    int64_t cycles = 0, errors = 0, bad_frames = 0, timeouts = 0;
    double mean_ms = 0;
};


struct ReportData {
    Buckets bk;
    bool from_rollups = false;  // a long range: drawn from the hourly rollups
    std::map<std::tuple<int, uint32_t, std::string>, Device> devices;  // by record type, data id, type
    std::vector<AlarmInterval> intervals;  // alarms active at some time in the range
    std::vector<StateLane> alarm_lanes;    // a lane per alarm (device, key, sequence)
    std::vector<HourRow> hours;
    double covered_ms = 0;  // the time the line was polled
};

// Reads the history file's rows over the options' range. Fills `sum`'s counts of what it
// read. Throws HostError: kExitHistory for a file that cannot be read, kExitUsage for a
// range that ends before it starts.
ReportData gather_report(const ReportOptions& o, ReportSummary& sum, Progress& progress);

}  // namespace zrt::host::report

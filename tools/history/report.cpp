#include "tools/history/report.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <tuple>
#include <vector>

#include <fmt/format.h>
#include <sqlite3.h>

#include "tools/history/history_read.h"
#include "tools/history/history_store.h"
#include "tools/core/host_error.h"
#include "tools/history/sqlite_util.h"
#include "tools/core/image_decode.h"
#include "tools/core/json_line.h"
#include "tools/history/report_assets.h"  // generated: kUplotJs, kUplotCss

namespace zrt::host {
namespace {

// A measured value holds from its row until the next row, but no longer than this: the
// store writes each value at least once a minute while the host runs, so a longer silence
// is a time the host did not record, drawn as a gap.
constexpr int64_t kHoldMs = HistoryStore::kRefreshMs * 5 / 2;

// Where a series goes: the chart (its group within the device) and its name in the legend.
struct Placement {
    std::string group;  // "channel 1 voltages", "module output current"
    std::string name;   // "voltage AB/A", "module 3"
    int order = 0;      // charts of a device in this order
};

Placement place(const Series& s) {
    unsigned n = 0, k = 0;
    char c = 0;
    char tail = 0;
    switch (s.record_type) {
    case kAcRecordType:
        if (s.key == "ia" || s.key == "ib" || s.key == "ic") return {"phase currents", s.label, 0};
        if (std::sscanf(s.key.c_str(), "channel_%u_%c%c", &n, &c, &tail) == 2) {
            if (c == 'f') return {"input frequency", fmt::format("channel {}", n + 1), 1000};
            const std::string label = s.label.substr(s.label.find(' ', 8) + 1);  // "voltage AB/A"
            return {fmt::format("channel {} voltages", n + 1), label, 1 + int(n)};
        }
        break;
    case kRcRecordType:
        if (s.key == "group_value") return {"output voltage", s.label, 0};
        if (std::sscanf(s.key.c_str(), "module_%u_user_%u%c", &n, &k, &tail) == 2)
            return {fmt::format("module user-defined value {}", k + 1), fmt::format("module {}", n + 1), 2 + int(k)};
        if (std::sscanf(s.key.c_str(), "module_%u_valu%c", &n, &c) == 2)
            return {"module output current", fmt::format("module {}", n + 1), 1};
        break;
    case kDcRecordType:
        if (s.key == "v") return {"output voltage", s.label, 0};
        if (s.key == "i") return {"output current", s.label, 1};
        if (s.key.rfind("dc_m_", 0) == 0) return {"values M", s.label, 2};
        if (s.key.rfind("dc_n_", 0) == 0) return {"values N", s.label, 3};
        if (s.key.rfind("user_p_", 0) == 0) return {"user-defined values", s.label, 4};
        break;
    default: break;
    }
    return {s.label, s.label, 5000};
}

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

struct Device {
    int record_type = 0;
    uint32_t data_id = 0;
    std::string device_type, name;
    std::map<std::pair<int, std::string>, Chart> charts;  // by order and group
};

struct Buckets {
    int64_t from = 0, to = 0, width = 1;
    size_t count = 0;
    size_t index(int64_t t) const { return static_cast<size_t>((t - from) / width); }
};

// The value `v` held over [a, b): widens the minimum and maximum of each bucket it covers.
void apply(const Buckets& bk, ChartSeries& cs, double v, int64_t a, int64_t b) {
    if (std::isnan(v) || !std::isfinite(v)) return;
    a = std::max(a, bk.from);
    b = std::min(b, bk.to + 1);
    if (a >= b) return;
    for (size_t k = bk.index(a), e = bk.index(b - 1); k <= e && k < bk.count; ++k) {
        if (std::isnan(cs.mn[k]) || v < cs.mn[k]) cs.mn[k] = v;
        if (std::isnan(cs.mx[k]) || v > cs.mx[k]) cs.mx[k] = v;
    }
}

std::string num(double v) {
    if (std::isnan(v) || !std::isfinite(v)) return "null";
    return fmt::format("{}", static_cast<float>(v));
}

// JSON for a <script> element: no "<" that could end it early.
std::string script_safe(const std::string& json) {
    std::string out;
    out.reserve(json.size());
    for (char c : json) {
        if (c == '<') out += "\\u003c";
        else out += c;
    }
    return out;
}

std::string duration_text(int64_t ms) {
    const int64_t s = ms / 1000;
    if (s < 60) return fmt::format("{} s", s);
    if (s < 3600) return fmt::format("{} min {} s", s / 60, s % 60);
    if (s < 86400) return fmt::format("{} h {} min", s / 3600, (s % 3600) / 60);
    return fmt::format("{} d {} h", s / 86400, (s % 86400) / 3600);
}

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

// The time range the file covers: the first and last row of any table.
std::pair<int64_t, int64_t> file_range(const HistoryReader& r, const std::vector<Series>& series) {
    int64_t lo = std::numeric_limits<int64_t>::max(), hi = std::numeric_limits<int64_t>::min();
    auto take = [&](sqlite3_stmt* q) {
        if (sqlite3_step(q) == SQLITE_ROW && sqlite3_column_type(q, 0) != SQLITE_NULL) {
            lo = std::min<int64_t>(lo, sqlite3_column_int64(q, 0));
            hi = std::max<int64_t>(hi, sqlite3_column_int64(q, 1));
        }
        sqlite3_reset(q);
    };
    if (!series.empty()) {
        Stmt q(r.prepare("SELECT min(time_ms), max(time_ms) FROM value WHERE series = ?"));
        for (const Series& s : series) {
            sqlite3_bind_int64(q.get(), 1, s.id);
            take(q.get());
        }
    }
    for (const char* t : {"alarm", "cycle"}) {
        if (!r.has_table(t)) continue;
        Stmt m(r.prepare(fmt::format("SELECT min(time_ms), max(time_ms) FROM {}", t).c_str()));
        take(m.get());
    }
    return {lo, hi};
}

}  // namespace

std::string html_escape(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

ReportSummary write_report(const ReportOptions& o) {
    if (o.out.empty()) throw HostError(kExitUsage, "--out: the report needs an output file");
    HistoryReader r(o.history);
    ReportSummary sum;
    Progress progress("report");

    const std::vector<Series> all = list_series(r, Selection{});
    // Files of older versions hold images only: their report has no value charts.
    std::vector<Series> measures;
    if (r.has_table("value"))
        for (const Series& s : all)
            if (s.kind == "measure") measures.push_back(s);

    Buckets bk;
    {
        const auto [lo, hi] = file_range(r, measures);
        bk.from = o.from.value_or(lo);
        bk.to = o.to.value_or(hi);
        if (lo > hi && (!o.from || !o.to)) bk.from = bk.to = 0;  // an empty file
    }
    if (bk.to < bk.from) throw HostError(kExitUsage, "--from lies after --to");
    const int buckets = std::max(10, o.buckets);
    bk.width = std::max<int64_t>(1, (bk.to - bk.from + buckets) / buckets);
    bk.count = static_cast<size_t>((bk.to - bk.from) / bk.width + 1);

    // Values: every measured series, bucketed.
    std::map<std::tuple<int, uint32_t, std::string>, Device> devices;
    const char* const no_rows = "SELECT 0, 0 WHERE 0";
    Stmt before(r.prepare(measures.empty() ? no_rows : "SELECT time_ms, value FROM value WHERE series = ? AND time_ms < ?"
                          " ORDER BY time_ms DESC LIMIT 1"));
    Stmt rows(r.prepare(measures.empty() ? no_rows : "SELECT time_ms, value FROM value WHERE series = ? AND time_ms BETWEEN ? AND ? ORDER BY time_ms"));
    for (size_t n = 0; n < measures.size(); ++n) {
        const Series& s = measures[n];
        progress.update(0.9 * double(n) / double(measures.size()));
        Device& d = devices[{s.record_type, s.data_id, s.device_type}];
        if (d.name.empty()) {
            d.record_type = s.record_type;
            d.data_id = s.data_id;
            d.device_type = s.device_type;
            d.name = decode_image(s.record_type, {}).device;
            if (d.name.empty()) d.name = "device";
        }
        const Placement p = place(s);
        Chart& chart = d.charts[{p.order, p.group}];
        if (chart.title.empty()) {
            chart.title = p.group;
            chart.unit = s.unit;
            chart.order = p.order;
        }
        ChartSeries cs;
        cs.name = p.name;
        cs.mn.assign(bk.count, std::nan(""));
        cs.mx.assign(bk.count, std::nan(""));

        double held = std::nan("");
        int64_t held_at = 0;
        bool holding = false;
        sqlite3_bind_int64(before.get(), 1, s.id);
        sqlite3_bind_int64(before.get(), 2, bk.from);
        if (sqlite3_step(before.get()) == SQLITE_ROW) {
            held_at = sqlite3_column_int64(before.get(), 0);
            held = sqlite3_column_type(before.get(), 1) == SQLITE_NULL ? std::nan("")
                                                                      : sqlite3_column_double(before.get(), 1);
            holding = true;
        }
        sqlite3_reset(before.get());
        sqlite3_bind_int64(rows.get(), 1, s.id);
        sqlite3_bind_int64(rows.get(), 2, bk.from);
        sqlite3_bind_int64(rows.get(), 3, bk.to);
        int rc;
        while ((rc = sqlite3_step(rows.get())) == SQLITE_ROW) {
            const int64_t t = sqlite3_column_int64(rows.get(), 0);
            if (holding) apply(bk, cs, held, held_at, std::min(t, held_at + kHoldMs));
            held_at = t;
            held = sqlite3_column_type(rows.get(), 1) == SQLITE_NULL ? std::nan("") : sqlite3_column_double(rows.get(), 1);
            holding = true;
            ++sum.value_rows;
        }
        if (rc != SQLITE_DONE) throw HostError(kExitHistory, "history file " + r.path() + ": " + sqlite3_errmsg(r.db()));
        sqlite3_reset(rows.get());
        if (holding) apply(bk, cs, held, held_at, held_at + kHoldMs);
        chart.series.push_back(std::move(cs));
        ++sum.series;
    }

    // Alarms: raise and clear transitions paired into intervals.
    std::vector<AlarmInterval> intervals;
    if (r.has_table("alarm")) {
        std::map<std::tuple<uint32_t, std::string, std::string, int64_t>, size_t> open;
        Stmt q(r.prepare("SELECT time_ms, data_id, device_type, key, seq, signal_id, name, instance, level, state"
                         " FROM alarm WHERE time_ms <= ? ORDER BY time_ms, id"));
        sqlite3_bind_int64(q.get(), 1, bk.to);
        while (sqlite3_step(q.get()) == SQLITE_ROW) {
            const int64_t t = sqlite3_column_int64(q.get(), 0);
            auto id = std::make_tuple(static_cast<uint32_t>(sqlite3_column_int64(q.get(), 1)), text_col(q.get(), 2),
                                      text_col(q.get(), 3), sqlite3_column_int64(q.get(), 4));
            const bool raised = sqlite3_column_int(q.get(), 9) != 0;
            auto it = open.find(id);
            if (raised && it == open.end()) {
                AlarmInterval a;
                std::tie(a.data_id, a.device_type, a.key, a.seq) = id;
                a.signal_id = text_col(q.get(), 5);
                a.name = text_col(q.get(), 6);
                a.instance = text_col(q.get(), 7);
                a.level = sqlite3_column_int64(q.get(), 8);
                a.raised = t;
                open[id] = intervals.size();
                intervals.push_back(std::move(a));
            } else if (!raised && it != open.end()) {
                intervals[it->second].cleared = t;
                open.erase(it);
            }
        }
        // Only what was active at some time in the range.
        intervals.erase(std::remove_if(intervals.begin(), intervals.end(),
                                       [&](const AlarmInterval& a) { return a.cleared && *a.cleared < bk.from; }),
                        intervals.end());
    }
    sum.alarm_rows = intervals.size();
    std::vector<double> active(bk.count, 0.0);
    for (const AlarmInterval& a : intervals) {
        const int64_t end = std::min(a.cleared.value_or(bk.to + 1), bk.to + 1);
        const int64_t start = std::max(a.raised, bk.from);
        if (start >= end) continue;
        for (size_t k = bk.index(start), e = bk.index(end - 1); k <= e && k < bk.count; ++k) active[k] += 1;
    }

    // Line health per hour.
    std::vector<HourRow> hours;
    if (r.has_table("cycle")) {
        Stmt q(r.prepare("SELECT time_ms / 3600000, count(*), sum(errors), sum(bad_frames), sum(timeouts),"
                         " avg(duration_ms) FROM cycle WHERE time_ms BETWEEN ? AND ? GROUP BY 1 ORDER BY 1"));
        sqlite3_bind_int64(q.get(), 1, bk.from);
        sqlite3_bind_int64(q.get(), 2, bk.to);
        while (sqlite3_step(q.get()) == SQLITE_ROW) {
            HourRow h;
            h.hour = sqlite3_column_int64(q.get(), 0) * 3600000;
            h.cycles = sqlite3_column_int64(q.get(), 1);
            h.errors = sqlite3_column_int64(q.get(), 2);
            h.bad_frames = sqlite3_column_int64(q.get(), 3);
            h.timeouts = sqlite3_column_int64(q.get(), 4);
            h.mean_ms = sqlite3_column_double(q.get(), 5);
            hours.push_back(h);
        }
    }
    sum.hours = hours.size();
    progress.update(0.95);

    // The page. Data first, as one JSON object the page's script draws from.
    std::string data = "{\"x\":[";
    for (size_t k = 0; k < bk.count; ++k) {
        const double start = double(bk.from + int64_t(k) * bk.width) / 1000.0;
        const double w = double(bk.width) / 1000.0;
        data += fmt::format("{}{:.3f},{:.3f}", k ? "," : "", start + w / 4, start + 3 * w / 4);
    }
    data += "],\"charts\":[";
    std::string sections;
    size_t chart_no = 0;
    std::string nav;
    for (auto& [id, d] : devices) {
        const std::string anchor = fmt::format("device-{}-{}", d.record_type, d.data_id);
        const std::string dev_title = fmt::format("{} {}", d.name, d.data_id);
        nav += fmt::format("<a href=\"#{}\">{}</a> ", anchor, html_escape(dev_title));
        sections += fmt::format("<section class=\"device\" id=\"{}\"><h2>{} <small>{} · record {}</small></h2>\n", anchor,
                                html_escape(dev_title), html_escape(d.device_type), d.record_type);
        for (auto& [key, c] : d.charts) {
            std::string title = dev_title + " · " + c.title;
            // A chart of one quantity over many channels or modules names their span.
            if (c.series.size() > 1 && c.series.front().name.rfind("module ", 0) == 0)
                title += fmt::format(", modules 1–{}", c.series.size());
            if (c.series.size() > 1 && c.series.front().name.rfind("channel ", 0) == 0)
                title += fmt::format(", channels 1–{}", c.series.size());
            if (!c.unit.empty()) title += " (" + c.unit + ")";
            data += fmt::format("{}{{\"title\":{},\"unit\":{},\"series\":[", chart_no ? "," : "", json_string(title),
                                json_string(c.unit));
            for (size_t s = 0; s < c.series.size(); ++s) {
                const ChartSeries& cs = c.series[s];
                data += fmt::format("{}{{\"name\":{},\"data\":[", s ? "," : "", json_string(cs.name));
                for (size_t k = 0; k < bk.count; ++k) {
                    if (k) data += ',';
                    data += num(cs.mn[k]);
                    data += ',';
                    data += num(cs.mx[k]);
                }
                data += "]}";
            }
            data += "]}";
            sections += fmt::format("<div class=\"chart\" id=\"chart-{}\" data-title=\"{}\"></div>\n", chart_no,
                                    html_escape(title));
            ++chart_no;
        }
        sections += "</section>\n";
    }
    sum.devices = devices.size();
    sum.charts = chart_no;
    data += "],\"active\":[";
    for (size_t k = 0; k < bk.count; ++k) data += fmt::format("{}{},{}", k ? "," : "", active[k], active[k]);
    data += "],\"hours\":{\"x\":[";
    for (size_t k = 0; k < hours.size(); ++k) data += fmt::format("{}{}", k ? "," : "", hours[k].hour / 1000);
    auto hour_col = [&](auto get) {
        std::string s = "[";
        for (size_t k = 0; k < hours.size(); ++k) s += fmt::format("{}{}", k ? "," : "", get(hours[k]));
        return s + "]";
    };
    data += "],\"cycles\":" + hour_col([](const HourRow& h) { return h.cycles; });
    data += ",\"errors\":" + hour_col([](const HourRow& h) { return h.errors; });
    data += ",\"timeouts\":" + hour_col([](const HourRow& h) { return h.timeouts; });
    data += "}}";

    // The line's health: totals and the table per hour.
    int64_t cycles = 0, errors = 0, bad = 0, timeouts = 0;
    double dur = 0;
    for (const HourRow& h : hours) {
        cycles += h.cycles;
        errors += h.errors;
        bad += h.bad_frames;
        timeouts += h.timeouts;
        dur += h.mean_ms * double(h.cycles);
    }
    std::string health = fmt::format(
        "<table class=\"summary\"><tr><th>cycles</th><th>errors</th><th>bad frames</th><th>time-outs</th>"
        "<th>errors per hour</th><th>mean cycle</th></tr><tr><td>{}</td><td>{}</td><td>{}</td><td>{}</td>"
        "<td>{:.1f}</td><td>{:.0f} ms</td></tr></table>\n",
        cycles, errors, bad, timeouts, hours.empty() ? 0.0 : double(errors) / double(hours.size()),
        cycles ? dur / double(cycles) : 0.0);
    health += "<div class=\"chart\" id=\"chart-health\"></div>\n<details><summary>Per hour</summary>"
              "<table class=\"hours\"><tr><th>hour (UTC)</th><th>cycles</th><th>errors</th><th>bad frames</th>"
              "<th>time-outs</th><th>mean cycle</th></tr>\n";
    for (const HourRow& h : hours)
        health += fmt::format("<tr><td>{}</td><td>{}</td><td>{}</td><td>{}</td><td>{}</td><td>{:.0f} ms</td></tr>\n",
                              utc_text(h.hour).substr(0, 16), h.cycles, h.errors, h.bad_frames, h.timeouts, h.mean_ms);
    health += "</table></details>\n";

    // The alarm timeline, newest first.
    std::sort(intervals.begin(), intervals.end(),
              [](const AlarmInterval& a, const AlarmInterval& b) { return a.raised > b.raised; });
    constexpr size_t kMaxAlarmRows = 5000;
    std::string timeline = "<div class=\"chart\" id=\"chart-active\"></div>\n";
    if (intervals.empty()) {
        timeline += "<p class=\"none\">No alarm in this range.</p>\n";
    } else {
        timeline += "<table class=\"timeline\"><tr><th>raised (UTC)</th><th>cleared (UTC)</th><th>duration</th>"
                    "<th>device</th><th>alarm</th><th>instance</th><th>level</th><th>signal</th></tr>\n";
        for (size_t k = 0; k < intervals.size() && k < kMaxAlarmRows; ++k) {
            const AlarmInterval& a = intervals[k];
            const int64_t end = a.cleared.value_or(bk.to);
            timeline += fmt::format(
                "<tr class=\"{}\"><td>{}</td><td>{}</td><td>{}</td><td>{} {}</td><td>{}</td><td>{}</td><td>{}</td>"
                "<td>{} ({} #{})</td></tr>\n",
                a.cleared ? "cleared" : "active", utc_text(a.raised).substr(0, 19),
                a.cleared ? utc_text(*a.cleared).substr(0, 19) : std::string("still active"),
                duration_text(std::max<int64_t>(0, end - a.raised)), html_escape(a.device_type), a.data_id,
                html_escape(a.name), html_escape(a.instance), a.level, html_escape(a.signal_id), html_escape(a.key),
                a.seq);
        }
        timeline += "</table>\n";
        if (intervals.size() > kMaxAlarmRows)
            timeline += fmt::format("<p>The {} older alarms are left out; the export lists every one.</p>\n",
                                    intervals.size() - kMaxAlarmRows);
    }

    const std::string range =
        fmt::format("{} to {}", utc_text(bk.from).substr(0, 19), utc_text(bk.to).substr(0, 19)) + " UTC";
    const auto generated = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
    std::string page;
    page.reserve(data.size() + sizeof kUplotJs + 65536);
    page += "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n<title>History report · " +
            html_escape(o.history) + "</title>\n<style>\n";
    page.append(reinterpret_cast<const char*>(kUplotCss), sizeof kUplotCss);
    page += R"(
body{font-family:"Noto Sans","WenQuanYi Zen Hei",sans-serif;margin:16px 24px;color:#222}
h1{margin:0 0 4px}h2{border-bottom:1px solid #ccc;padding-bottom:2px;margin-top:28px}h2 small{color:#777;font-weight:normal;font-size:60%}
p.meta{color:#555;margin:2px 0}nav a{margin-right:10px}
table{border-collapse:collapse;font-size:13px;margin:8px 0}th,td{border:1px solid #ccc;padding:2px 8px;text-align:left}
th{background:#f2f2f2}tr.active td{background:#fde8e8}.chart{margin:10px 0 18px}
)";
    page += "</style></head>\n<body>\n<h1>History report</h1>\n";
    page += fmt::format("<p class=\"meta\">File {} · {} · generated {}</p>\n", html_escape(o.history), range,
                        utc_text(generated).substr(0, 19) + " UTC");
    page += "<nav><a href=\"#health\">Line health</a> <a href=\"#alarms\">Alarms</a> " + nav + "</nav>\n";
    page += "<section id=\"health\"><h2>Line health</h2>\n" + health + "</section>\n";
    page += "<section id=\"alarms\"><h2>Alarm timeline</h2>\n" + timeline + "</section>\n";
    if (devices.empty()) page += "<p class=\"none\">No decoded values in this file.</p>\n";
    page += sections;
    page += "<script>\n";
    page.append(reinterpret_cast<const char*>(kUplotJs), sizeof kUplotJs);
    page += "\n</script>\n<script type=\"application/json\" id=\"report-data\">" + script_safe(data) + "</script>\n";
    page += R"(<script>
(function () {
  var D = JSON.parse(document.getElementById('report-data').textContent);
  var palette = ['#1f77b4','#d62728','#2ca02c','#ff7f0e','#9467bd','#8c564b','#e377c2','#7f7f7f','#bcbd22','#17becf'];
  var utc = function (ts) { return uPlot.tzDate(new Date(ts * 1e3), 'Etc/UTC'); };
  var drawn = 0;
  // kind: 'line' (values: min and max of each time bucket), 'step' (a count that holds
  // until it changes) or 'bars' (a figure per hour).
  function draw(el, title, x, series, unit, kind) {
    var width = Math.max(600, (el.parentNode.clientWidth || 1200) - 10);
    var fromZero = function (u, mn, mx) { return [0, Math.max(1, mx) * 1.1]; };
    var scales = { x: { time: true } };
    if (kind !== 'line') scales.y = { range: fromZero };
    // A chart of few hours spans at least a few hours, so that one bar still has a width.
    if (kind === 'bars' && x.length) scales.x.range = function () { return [x[0] - 1800, x[x.length - 1] + 1800]; };
    var opts = {
      title: title, width: width, height: 240, tzDate: utc, scales: scales,
      series: [{ label: 'time (UTC)' }].concat(series.map(function (s, i) {
        var o = { label: s.name, stroke: palette[i % palette.length], width: 1, spanGaps: false,
                  value: function (u, v) { return v == null ? '—' : v + (unit ? ' ' + unit : ''); } };
        if (kind === 'step') o.paths = uPlot.paths.stepped({ align: 1 });
        if (kind === 'bars') {
          o.paths = uPlot.paths.bars({ size: [0.25, 40], align: i - 1 });
          o.fill = palette[i % palette.length];
          o.points = { show: false };
        }
        return o;
      })),
      axes: [{}, { label: unit, size: 60 }]
    };
    new uPlot(opts, [x].concat(series.map(function (s) { return s.data; })), el);
    drawn++;
  }
  D.charts.forEach(function (c, i) { draw(document.getElementById('chart-' + i), c.title, D.x, c.series, c.unit, 'line'); });
  draw(document.getElementById('chart-active'), 'Active alarms', D.x, [{ name: 'active alarms', data: D.active }], '', 'step');
  if (D.hours.x.length)
    draw(document.getElementById('chart-health'), 'Line health per hour', D.hours.x,
         [{ name: 'cycles', data: D.hours.cycles }, { name: 'errors', data: D.hours.errors },
          { name: 'time-outs', data: D.hours.timeouts }], 'per hour', 'bars');
  document.body.setAttribute('data-charts-drawn', String(drawn));
})();
</script>
</body></html>
)";
    std::ofstream out(o.out, std::ios::binary | std::ios::trunc);
    if (!out) throw HostError(kExitUsage, "cannot write the report " + o.out + ": " + std::strerror(errno));
    out.write(page.data(), static_cast<std::streamsize>(page.size()));
    out.close();
    if (!out) throw HostError(kExitUsage, "cannot write the report " + o.out + ": " + std::strerror(errno));
    progress.done();
    return sum;
}

}  // namespace zrt::host

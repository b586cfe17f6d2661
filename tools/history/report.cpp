#include "tools/history/report.h"
#include "tools/history/report_data.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <vector>

#include <fmt/format.h>

#include "tools/history/history_read.h"
#include "tools/history/history_store.h"  // utc_text
#include "tools/core/alarm_names.h"
#include "tools/core/host_error.h"
#include "tools/core/json_line.h"
#include "tools/history/report_assets.h"  // generated: kUplotJs, kUplotCss

// Draws the report page (tables, timelines, the charts' data and script) from what
// report_data.cpp gathers.
namespace zrt::host {

using namespace report;

namespace {

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


std::string alarm_name_cell(const std::string& name) {
    const char* g = alarm_gloss(name);
    if (!g) return "<td>" + html_escape(name) + "</td>";
    return "<td>" + html_escape(name) + " <small class=\"gloss\">" + g + "</small></td>";
}

std::string figure(double v) {
    if (!std::isfinite(v)) return "—";
    return fmt::format("{:.6g}", v);
}

// One timeline: a lane per state or alarm, coloured by value (0 normal, anything else
// raised or abnormal), grey where the value changed within an hour; blank where nothing
// is known. Drawn as SVG, so it needs no script.
std::string timeline_svg(const std::vector<StateLane>& lanes, int64_t from, int64_t to, bool alarms) {
    constexpr int kLabel = 380, kWidth = 1180, kLane = 16;
    const double span = double(std::max<int64_t>(1, to - from + 1));
    const int plot = kWidth - kLabel - 10;
    const int height = int(lanes.size()) * kLane + 24;
    std::string svg = fmt::format("<svg class=\"timeline\" width=\"{}\" height=\"{}\" viewBox=\"0 0 {} {}\" "
                                  "xmlns=\"http://www.w3.org/2000/svg\">\n",
                                  kWidth, height, kWidth, height);
    for (size_t k = 0; k < lanes.size(); ++k) {
        const int y = int(k) * kLane;
        svg += fmt::format("<text x=\"{}\" y=\"{}\" text-anchor=\"end\" class=\"lane\">{}</text>"
                           "<line x1=\"{}\" x2=\"{}\" y1=\"{}\" y2=\"{}\" class=\"lane\"/>\n",
                           kLabel - 6, y + 12, html_escape(lanes[k].name), kLabel, kLabel + plot, y + kLane - 1,
                           y + kLane - 1);
        for (const Segment& g : lanes[k].segments) {
            const int64_t a = std::max(g.start, from), b = std::min(g.end, to + 1);
            if (a >= b) continue;
            const double x = kLabel + double(a - from) / span * plot;
            const double w = std::max(1.0, double(b - a) / span * plot);
            const char* cls = g.mixed ? "mixed" : g.value == 0 ? (alarms ? "clear" : "normal") : "raised";
            svg += fmt::format("<rect x=\"{:.1f}\" y=\"{}\" width=\"{:.1f}\" height=\"{}\" class=\"{}\">"
                               "<title>{}: {} from {} to {} UTC</title></rect>\n",
                               x, y + 2, w, kLane - 5, cls, html_escape(lanes[k].name),
                               g.mixed ? std::string("changing") : figure(g.value),
                               utc_text(a).substr(0, 19), utc_text(b).substr(0, 19));
        }
    }
    // Time marks along the bottom, in UTC.
    const int y = int(lanes.size()) * kLane + 14;
    for (int k = 0; k <= 4; ++k) {
        const int64_t t = from + int64_t(double(k) / 4 * (span - 1));
        const double x = kLabel + double(k) / 4 * plot;
        svg += fmt::format("<text x=\"{:.0f}\" y=\"{}\" text-anchor=\"{}\" class=\"axis\">{}</text>\n", x, y,
                           k == 0 ? "start" : k == 4 ? "end" : "middle", utc_text(t).substr(0, 16).replace(10, 1, " "));
    }
    return svg + "</svg>\n";
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
    ReportSummary sum;
    Progress progress("report");
    ReportData rd = gather_report(o, sum, progress);
    const Buckets& bk = rd.bk;
    const bool from_rollups = rd.from_rollups;
    auto& devices = rd.devices;
    std::vector<AlarmInterval>& intervals = rd.intervals;
    const std::vector<StateLane>& alarm_lanes = rd.alarm_lanes;
    const std::vector<HourRow>& hours = rd.hours;
    const double covered_ms = rd.covered_ms;


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
        if (!d.summary.empty()) {
            sections += fmt::format("<details class=\"summary\" open><summary>{} values: minimum, mean, maximum and "
                                    "last in the range</summary><table class=\"values\"><tr><th>value</th><th>unit</th>"
                                    "<th>minimum</th><th>mean</th><th>maximum</th><th>last</th><th>last at (UTC)</th>"
                                    "<th>rows absent</th></tr>\n",
                                    d.summary.size());
            for (const SummaryRow& row : d.summary) {
                const Figures& f = row.f;
                const bool any = f.count > 0;
                sections += fmt::format(
                    "<tr><td>{}</td><td>{}</td><td>{}</td><td>{}</td><td>{}</td><td>{}</td><td>{}</td><td>{}</td></tr>\n",
                    html_escape(row.name), html_escape(row.unit), any ? figure(f.min) : "—",
                    any ? figure(f.sum / double(f.count)) : "—", any ? figure(f.max) : "—",
                    f.last_at == INT64_MIN ? "—" : f.last ? figure(*f.last) : "absent",
                    f.last_at == INT64_MIN ? "" : utc_text(f.last_at).substr(0, 19).replace(10, 1, " "), f.absent);
            }
            sections += "</table></details>\n";
        }
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
        if (!d.states.empty()) {
            sections += fmt::format("<h3>{} · states <small>green normal (0), red another value, grey changing within "
                                    "the hour, blank not known</small></h3>\n",
                                    html_escape(dev_title));
            sections += timeline_svg(d.states, bk.from, bk.to, false);
        }
        sections += "</section>\n";
    }
    sum.devices = devices.size();
    sum.charts = chart_no;
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
    // Errors per hour over the time actually polled, not over the clock hours touched.
    const double covered_h = covered_ms / 3'600'000.0;
    std::string health = fmt::format(
        "<table class=\"summary\"><tr><th>cycles</th><th>errors</th><th>bad frames</th><th>time-outs</th>"
        "<th>time polled</th><th>errors per hour polled</th><th>mean cycle</th></tr><tr><td>{}</td><td>{}</td>"
        "<td>{}</td><td>{}</td><td>{}</td><td>{}</td><td>{:.0f} ms</td></tr></table>\n",
        cycles, errors, bad, timeouts, duration_text(int64_t(covered_ms)),
        covered_h > 0 ? fmt::format("{:.1f}", double(errors) / covered_h) : std::string("—"),
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
    std::string timeline;
    if (!alarm_lanes.empty())
        timeline += "<p class=\"meta\">A lane per alarm; red while raised.</p>\n" +
                    timeline_svg(alarm_lanes, bk.from, bk.to, true);
    if (intervals.empty()) {
        timeline += "<p class=\"none\">No alarm in this range.</p>\n";
    } else {
        timeline += "<table class=\"timeline\"><tr><th>raised (UTC)</th><th>cleared (UTC)</th><th>duration</th>"
                    "<th>device</th><th>alarm</th><th>instance</th><th>level</th><th>signal</th></tr>\n";
        for (size_t k = 0; k < intervals.size() && k < kMaxAlarmRows; ++k) {
            const AlarmInterval& a = intervals[k];
            const int64_t end = a.cleared.value_or(bk.to);
            timeline += fmt::format(
                "<tr class=\"{}\"><td>{}</td><td>{}</td><td>{}</td><td>{} {}</td>{}<td>{}</td><td>{}</td>"
                "<td>{} ({} #{})</td></tr>\n",
                a.cleared ? "cleared" : "active", utc_text(a.raised).substr(0, 19),
                a.cleared ? utc_text(*a.cleared).substr(0, 19) : std::string("still active"),
                duration_text(std::max<int64_t>(0, end - a.raised)), html_escape(a.device_type), a.data_id,
                alarm_name_cell(a.name), html_escape(a.instance), a.level, html_escape(a.signal_id), html_escape(a.key),
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
body{font-family:"Noto Sans","Noto Sans CJK SC","Noto Sans SC","Source Han Sans SC","WenQuanYi Zen Hei","Microsoft YaHei","PingFang SC",sans-serif;margin:16px 24px;color:#222}
small.gloss{color:#555}h3{font-size:15px;margin:14px 0 4px}h3 small{color:#777;font-weight:normal}
svg.timeline{display:block;margin:6px 0 14px;font-family:inherit}svg text.lane{font-size:11px;fill:#333}
svg text.axis{font-size:11px;fill:#555}svg line.lane{stroke:#eee}
svg rect.normal,svg rect.clear{fill:#4caf50}svg rect.raised{fill:#d62728}svg rect.mixed{fill:#999}
details.summary summary{cursor:pointer;color:#333}
h1{margin:0 0 4px}h2{border-bottom:1px solid #ccc;padding-bottom:2px;margin-top:28px}h2 small{color:#777;font-weight:normal;font-size:60%}
p.meta{color:#555;margin:2px 0}nav a{margin-right:10px}
table{border-collapse:collapse;font-size:13px;margin:8px 0}th,td{border:1px solid #ccc;padding:2px 8px;text-align:left}
th{background:#f2f2f2}tr.active td{background:#fde8e8}.chart{margin:10px 0 18px}
)";
    page += "</style></head>\n<body>\n<h1>History report</h1>\n";
    page += fmt::format("<p class=\"meta\">File {} · {} · generated {} · times in UTC, 24-hour{}</p>\n",
                        html_escape(o.history), range, utc_text(generated).substr(0, 19) + " UTC",
                        from_rollups ? " · drawn from the hourly rollups (minimum and maximum of each hour)" : "");
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
  var two = function (n) { return (n < 10 ? '0' : '') + n; };
  // "2026-12-09 14:05" (with seconds for the legend), always UTC.
  function iso(ts, secs) {
    var d = new Date(ts * 1e3);
    return d.getUTCFullYear() + '-' + two(d.getUTCMonth() + 1) + '-' + two(d.getUTCDate()) + ' ' +
      two(d.getUTCHours()) + ':' + two(d.getUTCMinutes()) + (secs ? ':' + two(d.getUTCSeconds()) : '');
  }
  var timeAxis = { size: 46, values: function (u, splits) {
    return splits.map(function (t) { var s = iso(t); return s.slice(11) + '\n' + s.slice(0, 10); }); } };
  // The values' own span, a little padded; a flat line gets a band around it.
  var fit = function (u, mn, mx) {
    if (mn == null || mx == null) return [0, 1];
    var pad = (mx - mn) * 0.08;
    if (!(pad > 0)) pad = Math.max(Math.abs(mx) * 0.01, 0.1);
    return [mn - pad, mx + pad];
  };
  var drawn = 0;
  // kind: 'line' (values: min and max of each time bucket) or 'bars' (a figure per hour).
  function draw(el, title, x, series, unit, kind) {
    var width = Math.max(600, (el.parentNode.clientWidth || 1200) - 10);
    var fromZero = function (u, mn, mx) { return [0, Math.max(1, mx) * 1.1]; };
    var scales = { x: { time: true }, y: { range: kind === 'line' ? fit : fromZero } };
    // A chart of few hours spans at least a few hours, so that one bar still has a width.
    if (kind === 'bars' && x.length) scales.x.range = function () { return [x[0] - 1800, x[x.length - 1] + 1800]; };
    var opts = {
      title: title, width: width, height: 240, tzDate: utc, scales: scales,
      series: [{ label: 'time (UTC)', value: function (u, v) { return v == null ? '—' : iso(v, true); } }].concat(series.map(function (s, i) {
        var o = { label: s.name, stroke: palette[i % palette.length], width: 1, spanGaps: false,
                  value: function (u, v) { return v == null ? '—' : v + (unit ? ' ' + unit : ''); } };
        if (kind === 'bars') {
          o.paths = uPlot.paths.bars({ size: [0.25, 40], align: i - 1 });
          o.fill = palette[i % palette.length];
          o.points = { show: false };
        }
        return o;
      })),
      axes: [timeAxis, { label: unit, size: 60 }]
    };
    new uPlot(opts, [x].concat(series.map(function (s) { return s.data; })), el);
    drawn++;
  }
  D.charts.forEach(function (c, i) { draw(document.getElementById('chart-' + i), c.title, D.x, c.series, c.unit, 'line'); });
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

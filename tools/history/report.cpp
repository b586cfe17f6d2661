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

#include "tools/history/history_chunks.h"
#include "tools/history/history_read.h"
#include "tools/history/history_store.h"
#include "tools/core/alarm_names.h"
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
constexpr int64_t kStateHoldMs = HistoryStore::kSlowRefreshMs * 5 / 2;
constexpr int64_t kHourMs = 3'600'000;
// Longer ranges are drawn from the hourly rollups: a bucket is then at least an hour wide.
constexpr int64_t kRollupAfterMs = 3 * 86'400'000LL;

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

// Adds [a, b) with value v to a lane, joining it to the segment before when that one ends
// there with the same value.
void add_segment(StateLane& lane, int64_t a, int64_t b, double v, bool mixed) {
    if (a >= b) return;
    if (!lane.segments.empty()) {
        Segment& last = lane.segments.back();
        if (last.end == a && last.mixed == mixed && (mixed || last.value == v)) {
            last.end = b;
            return;
        }
    }
    lane.segments.push_back({a, b, v, mixed});
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
    if (!series.empty() && r.has_table("value")) {
        Stmt q(r.prepare("SELECT min(time_ms), max(time_ms) FROM value"));
        take(q.get());
    }
    if (!series.empty() && r.has_table("chunk")) {
        Stmt q(r.prepare("SELECT min(t_min), max(t_max) FROM chunk"));
        take(q.get());
    }
    for (const char* t : {"alarm", "cycle"}) {
        if (!r.has_table(t)) continue;
        Stmt m(r.prepare(fmt::format("SELECT min(time_ms), max(time_ms) FROM {}", t).c_str()));
        take(m.get());
    }
    if (r.has_table("cycle_chunk")) {
        Stmt q(r.prepare("SELECT min(t_min), max(t_max) FROM cycle_chunk"));
        take(q.get());
    }
    if (lo != std::numeric_limits<int64_t>::max()) hi = std::max(hi, logged_newest(r.db(), r.path()));
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

    // Values: measured series drawn as charts of each bucket's minimum and maximum, states
    // as lanes of a timeline; every value in the device's summary.
    std::map<std::tuple<int, uint32_t, std::string>, Device> devices;
    const bool from_rollups = bk.to - bk.from > kRollupAfterMs && r.has_table("rollup");
    sum.from_rollups = from_rollups;
    struct Slot {
        const Series* s = nullptr;
        Device* d = nullptr;
        Chart* chart = nullptr;  // measures
        size_t index = 0;        // into chart->series, or d->states
        size_t summary = 0;      // into d->summary (measures)
    };
    std::map<int64_t, Slot> slots;  // by series id
    for (const Series& s : all) {
        if (s.kind != "measure" && s.kind != "state") continue;
        Device& d = devices[{s.record_type, s.data_id, s.device_type}];
        if (d.name.empty()) {
            d.record_type = s.record_type;
            d.data_id = s.data_id;
            d.device_type = s.device_type;
            d.name = decode_image(s.record_type, {}).device;
            if (d.name.empty()) d.name = "device";
        }
        Slot slot;
        slot.s = &s;
        slot.d = &d;
        if (s.kind == "state") {
            slot.index = d.states.size();
            d.states.push_back({s.label, {}});
        } else {
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
            slot.chart = &chart;
            slot.index = chart.series.size();
            chart.series.push_back(std::move(cs));
            slot.summary = d.summary.size();
            d.summary.push_back({s.label, s.unit, {}});
            ++sum.series;
        }
        slots[s.id] = slot;
    }
    size_t done = 0;
    if (!from_rollups) {
        for (auto& entry : slots) {
            Slot& slot = entry.second;
            progress.update(0.9 * double(done++) / double(slots.size()));
            const Series& s = *slot.s;
            const bool state = !slot.chart;
            const int64_t hold = state ? kStateHoldMs : kHoldMs;
            double held = std::nan("");
            int64_t held_at = 0;
            bool holding = false;
            auto flush = [&](int64_t until) {
                if (!holding || std::isnan(held)) return;
                const int64_t b = std::min(until, held_at + hold);
                if (state) add_segment(slot.d->states[slot.index], std::max(held_at, bk.from), std::min(b, bk.to + 1),
                                       held, false);
                else apply(bk, slot.chart->series[slot.index], held, held_at, b);
            };
            for_each_value(r.db(), r.path(), s.id, s.data_id, s.device_type, bk.from - hold, bk.to,
                           [&](int64_t t, const std::optional<double>& v) {
                               if (t >= bk.from) {
                                   flush(t);
                                   ++sum.value_rows;
                                   if (!state) {
                                       Figures& f = slot.d->summary[slot.summary].f;
                                       if (v) {
                                           f.add(*v);
                                           f.sum += *v;
                                       } else {
                                           ++f.absent;
                                       }
                                       f.last = v;
                                       f.last_at = t;
                                   }
                               }
                               held_at = t;
                               held = v ? *v : std::nan("");
                               holding = true;
                           });
            flush(held_at + hold);
        }
    } else {
        // The hourly rollups: each hour's minimum and maximum widen the buckets it covers.
        std::map<std::pair<uint32_t, std::string>, bool> read;
        for (auto& [id, slot] : slots) {
            progress.update(0.9 * double(done++) / double(slots.size()));
            const Series& s = *slot.s;
            if (read[{s.data_id, s.device_type}]) continue;
            read[{s.data_id, s.device_type}] = true;
            for_each_rollup(r.db(), r.path(), s.data_id, s.device_type, bk.from - kHourMs + 1, bk.to, true,
                            [&](int64_t hour, const codec::Rollup& x) {
                                auto it = slots.find(x.series);
                                if (it == slots.end()) return;
                                Slot& sl = it->second;
                                sum.value_rows += x.count + x.absent;
                                if (!sl.chart) {
                                    if (x.count)
                                        add_segment(sl.d->states[sl.index], std::max(hour, bk.from),
                                                    std::min(hour + kHourMs, bk.to + 1), x.min, x.min != x.max);
                                    return;
                                }
                                Figures& f = sl.d->summary[sl.summary].f;
                                f.absent += x.absent;
                                if (!x.count) return;
                                apply(bk, sl.chart->series[sl.index], x.min, hour, hour + kHourMs);
                                apply(bk, sl.chart->series[sl.index], x.max, hour, hour + kHourMs);
                                f.min = f.count ? std::min(f.min, x.min) : x.min;
                                f.max = f.count ? std::max(f.max, x.max) : x.max;
                                f.count += x.count;
                                f.sum += x.mean * double(x.count);
                            });
        }
        // The last value of each series: from the rows of the range's last hours, device by
        // device (a chunk holds all of a device's series).
        std::map<std::pair<uint32_t, std::string>, std::vector<int64_t>> measured;
        for (auto& [id, slot] : slots)
            if (slot.chart) measured[{slot.s->data_id, slot.s->device_type}].push_back(id);
        for (const auto& [device, ids] : measured)
            for_each_device_value(r.db(), r.path(), device.first, device.second, ids, bk.to - 2 * kHourMs, bk.to,
                                  [&](int64_t id, int64_t t, const std::optional<double>& v) {
                                      Slot& sl = slots[id];
                                      Figures& f = sl.d->summary[sl.summary].f;
                                      if (t < f.last_at) return;
                                      f.last = v;
                                      f.last_at = t;
                                  });
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
    // A lane per alarm (device, key, sequence), raised where the bar is.
    std::vector<StateLane> alarm_lanes;
    {
        std::map<std::tuple<uint32_t, std::string, std::string, int64_t>, size_t> lane_of;
        std::vector<const AlarmInterval*> by_time;
        for (const AlarmInterval& a : intervals) by_time.push_back(&a);
        std::sort(by_time.begin(), by_time.end(),
                  [](const AlarmInterval* a, const AlarmInterval* b) { return a->raised < b->raised; });
        for (const AlarmInterval* a : by_time) {
            auto [it, fresh] = lane_of.try_emplace({a->data_id, a->device_type, a->key, a->seq}, alarm_lanes.size());
            if (fresh) {
                const char* g = alarm_gloss(a->name);
                alarm_lanes.push_back({fmt::format("{} {} · {}{}", a->device_type.substr(a->device_type.rfind('-') + 1),
                                                   a->data_id, a->instance.empty() ? a->name : a->instance,
                                                   g ? std::string(" (") + g + ")" : std::string()),
                                       {}});
            }
            add_segment(alarm_lanes[it->second], std::max(a->raised, bk.from),
                        std::min(a->cleared.value_or(bk.to + 1), bk.to + 1), 1, false);
        }
    }

    // Line health per hour.
    std::vector<HourRow> hours;
    // The time the line was polled: the steps between cycles (a pause of over a minute is a
    // time the host did not run), and a cycle's own duration where a run starts. Several
    // power systems on one line poll it over the same time: in each hour, each system's
    // cycles measure it, and the longest measure counts, not their sum.
    double covered_ms = 0;
    {
        std::map<int64_t, HourRow> by_hour;
        std::map<int64_t, double> durations;
        std::map<std::pair<int64_t, uint32_t>, double> covered_by;  // per hour and system
        std::map<uint32_t, int64_t> prev_by;  // each system's previous cycle
        // Long ranges take each hour's totals as its chunk keeps them (chunks the range's
        // ends cut count whole); shorter ones count the rows.
        const bool totals = from_rollups && r.has_table("cycle_chunk");
        if (totals) {
            const bool by_system = db_has_column(r.db(), "cycle_chunk", "system");
            Stmt q(r.prepare(by_system ? "SELECT t_min, rows, errors, bad_frames, timeouts, duration_ms, covered_ms, system"
                                         " FROM cycle_chunk WHERE t_max >= ? AND t_min <= ?"
                                       : "SELECT t_min, rows, errors, bad_frames, timeouts, duration_ms, covered_ms, 0"
                                         " FROM cycle_chunk WHERE t_max >= ? AND t_min <= ?"));
            sqlite3_bind_int64(q.get(), 1, bk.from);
            sqlite3_bind_int64(q.get(), 2, bk.to);
            while (sqlite3_step(q.get()) == SQLITE_ROW) {
                const int64_t hour = sqlite3_column_int64(q.get(), 0) / 3600000 * 3600000;
                HourRow& h = by_hour[hour];
                h.hour = hour;
                h.cycles += sqlite3_column_int64(q.get(), 1);
                h.errors += sqlite3_column_int64(q.get(), 2);
                h.bad_frames += sqlite3_column_int64(q.get(), 3);
                h.timeouts += sqlite3_column_int64(q.get(), 4);
                durations[hour] += sqlite3_column_double(q.get(), 5);
                covered_by[{hour, static_cast<uint32_t>(sqlite3_column_int64(q.get(), 7))}] +=
                    sqlite3_column_double(q.get(), 6);
            }
        }
        for_each_cycle(r.db(), r.path(), bk.from, bk.to, [&](const codec::CycleRow& c, uint32_t system) {
            const auto p = prev_by.find(system);
            const int64_t step = p == prev_by.end() ? -1 : c.time_ms - p->second;
            const int64_t hour = c.time_ms / 3600000 * 3600000;
            covered_by[{hour, system}] += step >= 0 && step <= 60'000 ? double(step) : c.duration_ms;
            prev_by[system] = c.time_ms;
            HourRow& h = by_hour[hour];
            h.hour = hour;
            ++h.cycles;
            h.errors += static_cast<int64_t>(c.errors);
            h.bad_frames += static_cast<int64_t>(c.bad_frames);
            h.timeouts += static_cast<int64_t>(c.timeouts);
            durations[hour] += c.duration_ms;
        }, !totals);
        std::map<int64_t, double> hour_covered;
        for (const auto& [key, ms] : covered_by) hour_covered[key.first] = std::max(hour_covered[key.first], ms);
        for (const auto& [hour, ms] : hour_covered) covered_ms += ms;
        for (auto& [hour, h] : by_hour) {
            h.mean_ms = durations[hour] / double(h.cycles);
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

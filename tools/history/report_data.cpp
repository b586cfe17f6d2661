#include "tools/history/report_data.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
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

namespace zrt::host::report {
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
    // The item (channel, module) and index of a stored key, from the record's field table.
    const std::optional<KeyPlace> k = place_of_key(s.record_type, s.key);
    const int n = k ? k->item : -1;
    switch (s.record_type) {
    case kAcRecordType:
        if (s.key == "ia" || s.key == "ib" || s.key == "ic") return {"phase currents", s.label, 0};
        if (n >= 0) {
            if (k->field->quantity == zrt::field::Quantity::hertz)
                return {"input frequency", fmt::format("channel {}", n + 1), 1000};
            const std::string label = s.label.substr(s.label.find(' ', 8) + 1);  // "voltage AB/A"
            return {fmt::format("channel {} voltages", n + 1), label, 1 + n};
        }
        break;
    case kRcRecordType:
        if (s.key == "group_value") return {"output voltage", s.label, 0};
        if (n >= 0 && k->index >= 0)
            return {fmt::format("module user-defined value {}", k->index + 1), fmt::format("module {}", n + 1),
                    2 + k->index};
        if (n >= 0) return {"module output current", fmt::format("module {}", n + 1), 1};
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

ReportData gather_report(const ReportOptions& o, ReportSummary& sum, Progress& progress) {
    HistoryReader r(o.history);

    const std::vector<Series> all = list_series(r, Selection{});
    // Files of older versions hold images only: their report has no value charts.
    std::vector<Series> measures;
    if (r.has_table("value"))
        for (const Series& s : all)
            if (s.kind == "measure") measures.push_back(s);

    ReportData rd;
    Buckets& bk = rd.bk;
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
    auto& devices = rd.devices;
    rd.from_rollups = bk.to - bk.from > kRollupAfterMs && r.has_table("rollup");
    const bool from_rollups = rd.from_rollups;
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
            const zrt::field::Layout* layout = layout_of(s.record_type);
            d.name = layout ? layout->device : "";
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
    std::vector<AlarmInterval>& intervals = rd.intervals;
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
    std::vector<StateLane>& alarm_lanes = rd.alarm_lanes;
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
    std::vector<HourRow>& hours = rd.hours;
    // The time the line was polled: the steps between cycles (a pause of over a minute is a
    // time the host did not run), and a cycle's own duration where a run starts. Several
    // power systems on one line poll it over the same time: in each hour, each system's
    // cycles measure it, and the longest measure counts, not their sum.
    double& covered_ms = rd.covered_ms;
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
    return rd;
}

}  // namespace zrt::host::report

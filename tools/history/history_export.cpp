#include "tools/history/history_export.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <memory>

#include <fmt/format.h>
#include <sqlite3.h>

#include "tools/history/history_chunks.h"
#include "tools/history/history_store.h"
#include "tools/core/host_error.h"
#include "tools/history/sqlite_util.h"
#include "tools/core/json_line.h"

namespace zrt::host {
namespace {

// Output with a large buffer; a failed write is reported with the file's name.
class Out {
public:
    explicit Out(const std::string& path) : path_(path) {
        if (path.empty()) {
            f_ = stdout;
        } else {
            f_ = std::fopen(path.c_str(), "w");
            if (!f_) throw HostError(kExitUsage, "cannot write the export file " + path + ": " + std::strerror(errno));
        }
        std::setvbuf(f_, nullptr, _IOFBF, 1 << 16);
    }
    ~Out() {
        if (f_ && f_ != stdout) std::fclose(f_);
    }
    void put(const std::string& s) {
        if (std::fwrite(s.data(), 1, s.size(), f_) != s.size()) fail();
    }
    void close() {
        const bool bad = std::fflush(f_) != 0 || std::ferror(f_);
        if (f_ != stdout && std::fclose(f_) != 0 && !bad) {
            f_ = nullptr;
            fail();
        }
        if (f_ != stdout) f_ = nullptr;
        if (bad) fail();
    }

private:
    [[noreturn]] void fail() {
        throw HostError(kExitUsage, "cannot write the export to " + (path_.empty() ? std::string("standard output") : path_) +
                                        ": " + std::strerror(errno));
    }
    std::string path_;
    FILE* f_ = nullptr;
};

// Values come from single-precision numbers: written in the shortest form that reads back
// as the same number ("53.5", not "53.5000000001").
std::string number_text(double v) { return fmt::format("{}", static_cast<float>(v)); }

uint64_t export_values(const HistoryReader& r, const ExportOptions& o, Out& out) {
    const std::vector<Series> series = list_series(r, o.selection);
    const bool csv = o.format == "csv";
    if (csv) out.put("time,data_id,device_type,key,label,unit,kind,value\n");
    if (series.empty()) return 0;  // also a file of an older version, without the value table
    const int64_t from = o.selection.from.value_or(std::numeric_limits<int64_t>::min());
    const int64_t to = o.selection.to.value_or(std::numeric_limits<int64_t>::max());
    Progress progress("export");
    uint64_t rows = 0;
    std::string line;
    // Device by device (a device's chunk holds all its series of a day): rows come chunk
    // by chunk, within a chunk series by series, each in time order. Memory stays that of
    // one chunk however long the range.
    for (size_t k = 0; k < series.size();) {
        size_t e = k;
        while (e < series.size() && series[e].data_id == series[k].data_id &&
               series[e].device_type == series[k].device_type)
            ++e;
        progress.update(double(k) / double(series.size()));
        std::vector<int64_t> ids;
        std::map<int64_t, std::string> fixed;  // the fixed part of each line of a series
        for (size_t j = k; j < e; ++j) {
            const Series& s = series[j];
            ids.push_back(s.id);
            if (csv) {
                fixed[s.id] = fmt::format(",{},{},{},{},{},{},", s.data_id, csv_field(s.device_type), csv_field(s.key),
                                          csv_field(s.label), csv_field(s.unit), s.kind);
            } else {
                fixed[s.id] = fmt::format(
                    ",\"data_id\":{},\"device_type\":{},\"key\":{},\"label\":{},\"unit\":{},\"kind\":{}", s.data_id,
                    json_string(s.device_type), json_string(s.key), json_string(s.label), json_string(s.unit),
                    json_string(s.kind));
            }
        }
        for_each_device_value(r.db(), r.path(), series[k].data_id, series[k].device_type, ids, from, to,
                              [&](int64_t id, int64_t t, const std::optional<double>& v) {
                                  const std::string time = utc_text(t);
                                  line.clear();
                                  if (csv) {
                                      line.append(time).append(fixed[id]);
                                      if (v) line.append(number_text(*v));
                                      line.append("\n");
                                  } else {
                                      line.append("{\"time\":\"").append(time).append("\"").append(fixed[id]);
                                      line.append(",\"value\":");
                                      line.append(v ? json_float(static_cast<float>(*v)) : std::string("null"));
                                      line.append("}\n");
                                  }
                                  out.put(line);
                                  ++rows;
                              });
        k = e;
    }
    return rows;
}

uint64_t export_alarms(const HistoryReader& r, const ExportOptions& o, Out& out) {
    const bool csv = o.format == "csv";
    if (csv) out.put("time,data_id,device_type,key,seq,signal_id,name,instance,level,state\n");
    if (!r.has_table("alarm")) return 0;
    Stmt q(r.prepare("SELECT time_ms, data_id, device_type, key, seq, signal_id, name, instance, level, state"
                     " FROM alarm WHERE time_ms BETWEEN ? AND ? ORDER BY time_ms, id"));
    sqlite3_bind_int64(q.get(), 1, o.selection.from.value_or(std::numeric_limits<int64_t>::min()));
    sqlite3_bind_int64(q.get(), 2, o.selection.to.value_or(std::numeric_limits<int64_t>::max()));
    uint64_t rows = 0;
    int rc;
    while ((rc = sqlite3_step(q.get())) == SQLITE_ROW) {
        const uint32_t data_id = static_cast<uint32_t>(sqlite3_column_int64(q.get(), 1));
        const std::string type = text_col(q.get(), 2), key = text_col(q.get(), 3);
        bool device_ok = o.selection.devices.empty();
        for (const std::string& d : o.selection.devices)
            if ((d == "rc" && type.size() > 3 && type.compare(type.size() - 3, 3, "-rc") == 0) ||
                (d != "rc" && std::stoull(d) == data_id))
                device_ok = true;
        bool key_ok = o.selection.keys.empty();
        for (const std::string& k : o.selection.keys)
            if (k == key) key_ok = true;
        if (!device_ok || !key_ok) continue;
        const std::string time = utc_text(sqlite3_column_int64(q.get(), 0));
        const int64_t seq = sqlite3_column_int64(q.get(), 4), level = sqlite3_column_int64(q.get(), 8);
        const char* state = sqlite3_column_int(q.get(), 9) ? "raised" : "cleared";
        if (csv) {
            out.put(fmt::format("{},{},{},{},{},{},{},{},{},{}\n", time, data_id, csv_field(type), csv_field(key), seq,
                                csv_field(text_col(q.get(), 5)), csv_field(text_col(q.get(), 6)),
                                csv_field(text_col(q.get(), 7)), level, state));
        } else {
            out.put(fmt::format("{{\"time\":\"{}\",\"data_id\":{},\"device_type\":{},\"key\":{},\"seq\":{},"
                                "\"signal_id\":{},\"name\":{},\"instance\":{},\"level\":{},\"state\":\"{}\"}}\n",
                                time, data_id, json_string(type), json_string(key), seq,
                                json_string(text_col(q.get(), 5)), json_string(text_col(q.get(), 6)),
                                json_string(text_col(q.get(), 7)), level, state));
        }
        ++rows;
    }
    if (rc != SQLITE_DONE) throw HostError(kExitHistory, "history file " + r.path() + ": " + sqlite3_errmsg(r.db()));
    return rows;
}

}  // namespace

std::string csv_field(const std::string& s) {
    if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
    std::string out = "\"";
    for (char c : s) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

namespace {

bool device_matches(const std::string& d, uint32_t data_id, const std::string& device_type) {
    if (d == "rc") return device_type.size() > 3 && device_type.compare(device_type.size() - 3, 3, "-rc") == 0;
    return std::stoull(d) == data_id;
}

// A device or key the file does not hold is named, before anything is written: an export
// of nothing must not look like an export of a quiet plant.
void check_known(const HistoryReader& r, const ExportOptions& o) {
    struct Held {
        uint32_t data_id;
        std::string device_type, key;
    };
    std::vector<Held> held;
    if (o.alarms) {
        if (!r.has_table("alarm")) return;
        Stmt q(r.prepare("SELECT DISTINCT data_id, device_type, key FROM alarm"));
        while (sqlite3_step(q.get()) == SQLITE_ROW)
            held.push_back({static_cast<uint32_t>(sqlite3_column_int64(q.get(), 0)), text_col(q.get(), 1),
                            text_col(q.get(), 2)});
    } else {
        for (const Series& s : list_series(r, {})) held.push_back({s.data_id, s.device_type, s.key});
    }
    if (held.empty()) return;  // an empty file, or one of an older version: nothing to tell apart
    std::vector<std::string> unknown;
    for (const std::string& d : o.selection.devices) {
        bool found = false;
        for (const Held& h : held) found = found || device_matches(d, h.data_id, h.device_type);
        if (!found) unknown.push_back("device " + d);
    }
    for (const std::string& k : o.selection.keys) {
        bool found = false;
        for (const Held& h : held) {
            bool device_ok = o.selection.devices.empty();
            for (const std::string& d : o.selection.devices) device_ok = device_ok || device_matches(d, h.data_id, h.device_type);
            found = found || (device_ok && h.key == k);
        }
        if (!found) unknown.push_back("key " + k);
    }
    if (unknown.empty()) return;
    std::string list;
    for (const std::string& u : unknown) list += (list.empty() ? "" : ", ") + u;
    throw HostError(kExitUsage, "the history file " + r.path() + " holds no " + (o.alarms ? "alarms" : "values") +
                                    " of " + list + (o.alarms ? "" : " (keys: zrt4600a-host --keys, and the decoded "
                                                                     "image keys of docs/image-layouts.md)"));
}

}  // namespace

uint64_t run_export(const ExportOptions& o) {
    if (o.format != "csv" && o.format != "jsonl")
        throw HostError(kExitUsage, "--format " + o.format + ": expected csv or jsonl");
    check_devices(o.selection.devices);
    HistoryReader r(o.history);
    check_known(r, o);
    Out out(o.out);
    const uint64_t rows = o.alarms ? export_alarms(r, o, out) : export_values(r, o, out);
    out.close();
    return rows;
}

}  // namespace zrt::host

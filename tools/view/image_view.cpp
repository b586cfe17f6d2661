#include "tools/view/image_view.h"

#include <algorithm>
#include <cmath>
#include <ctime>

#include <cstdlib>

#include <fmt/format.h>

#include "tools/core/image_decode.h"
#include "tools/core/json_line.h"

namespace zrt::host {

namespace {

// UTF-8 code point at s[i] and its byte length (a broken byte counts as one column).
uint32_t code_point(const std::string& s, size_t i, size_t& len) {
    const auto b = [&s](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) {
        len = 1;
        return 0xFFFD;
    }
    uint32_t cp = n == 1 ? c : n == 2 ? (c & 0x1F) : n == 3 ? (c & 0x0F) : (c & 0x07);
    for (size_t k = 1; k < n; ++k) {
        if ((b(i + k) & 0xC0) != 0x80) {
            len = 1;
            return 0xFFFD;
        }
        cp = cp << 6 | (b(i + k) & 0x3F);
    }
    len = n;
    return cp;
}

size_t columns_of(uint32_t cp) {
    const bool wide = (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF) ||
                      (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
                      (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
                      (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x20000 && cp <= 0x3FFFD);
    return wide ? 2 : 1;
}

const DecodedValue* find(const DecodedImage& d, const std::string& key) {
    for (const DecodedValue& v : d.values)
        if (v.key == key) return &v;
    return nullptr;
}

std::string val(const DecodedImage& d, const std::string& key) {
    const DecodedValue* v = find(d, key);
    return v ? format_value(*v) : "—";
}

// A number without its unit ("280"), or — when absent.
std::string bare(const DecodedImage& d, const std::string& key) {
    const DecodedValue* v = find(d, key);
    if (!v || !v->value) return "—";
    return fmt::format("{:g}", *v->value);
}

// "[BC/B high, f low]" for the states of `keys` that are not normal; empty when all are.
std::string not_normal(const DecodedImage& d, const std::vector<std::pair<std::string, std::string>>& keys) {
    std::string out;
    for (const auto& [key, name] : keys) {
        const DecodedValue* v = find(d, key);
        if (!v || !v->value || *v->value == 0) continue;
        out += (out.empty() ? "" : ", ") + name + " " +
               (v->state_text.empty() ? fmt::format("state {:g}", *v->value) : v->state_text);
    }
    return out.empty() ? out : "  [" + out + "]";
}

// Local time with its offset from UTC: "11:10:04+01:00".
std::string clock_text(SystemClock::time_point t) {
    const std::time_t tt = SystemClock::to_time_t(t);
    std::tm tm{};
    localtime_r(&tt, &tm);
    const long off = tm.tm_gmtoff / 60;
    return fmt::format("{:02}:{:02}:{:02}{}{:02}:{:02}", tm.tm_hour, tm.tm_min, tm.tm_sec, off < 0 ? '-' : '+',
                       std::labs(off) / 60, std::labs(off) % 60);
}

// The image's own time (the host's local time when it was evaluated), with its offset.
std::string image_clock(const DecodedImage& d) {
    const auto t = from_stored_time(d.time);
    return t ? clock_text(*t) : "?";
}

std::string seconds_text(double s) {
    if (s < 0) s = 0;
    if (s < 120) return fmt::format("{:.0f} s", std::floor(s));
    if (s < 7200) return fmt::format("{:.0f} min", std::floor(s / 60));
    return fmt::format("{:.1f} h", s / 3600);
}

// Lines with a priority: 0 always shown, higher numbers dropped first when rows run out.
struct Line {
    int priority;
    std::string text;
    const char* colour = nullptr;  // an SGR sequence for the whole line
};

void wrap_list(std::vector<Line>& out, int priority, const std::string& head, const std::vector<std::string>& items,
               size_t cols) {
    std::string line = head;
    for (const std::string& it : items) {
        if (display_width(line) + 1 + display_width(it) > cols && line != head) {
            out.push_back({priority, line});
            line = std::string(head.size(), ' ');
        }
        line += " " + it;
    }
    out.push_back({priority, line});
}

void device_lines(std::vector<Line>& out, const ViewDevice& dev, size_t cols) {
    const DecodedImage& d = dev.decoded;
    if (!d.valid) {
        out.push_back({1, fmt::format("{} {}: {} bytes that do not fit a {} image", dev.device_type, dev.data_id,
                                      dev.image.size(), dev.record_type)});
        return;
    }
    if (dev.record_type == kAcRecordType) {
        out.push_back({1, fmt::format("AC screen {}  Ia {}  Ib {}  Ic {}{}  at {}", dev.data_id, val(d, "ia"),
                                      val(d, "ib"), val(d, "ic"),
                                      not_normal(d, {{"ia_alert", "Ia"}, {"ib_alert", "Ib"}, {"ic_alert", "Ic"}}),
                                      image_clock(d))});
        for (size_t c = 0; find(d, fmt::format("channel_{}_a", c)); ++c) {
            const std::string k = fmt::format("channel_{}_", c);
            out.push_back({3, fmt::format("  input {}  AB/A {}  BC/B {}  CA/C {}  f {}{}", c + 1, val(d, k + "a"),
                                          val(d, k + "b"), val(d, k + "c"), val(d, k + "f"),
                                          not_normal(d, {{k + "a_alert", "AB/A"},
                                                         {k + "b_alert", "BC/B"},
                                                         {k + "c_alert", "CA/C"},
                                                         {k + "f_alert", "f"}}))});
        }
        return;
    }
    if (dev.record_type == kRcRecordType) {
        std::vector<std::string> currents, faults, states;
        for (size_t m = 0; find(d, fmt::format("module_{}_value", m)); ++m) {
            currents.push_back(bare(d, fmt::format("module_{}_value", m)));
            const DecodedValue* f = find(d, fmt::format("module_{}_fault", m));
            if (f && f->value && *f->value != 0) faults.push_back(std::to_string(m + 1));
        }
        out.push_back({1, fmt::format("rectifiers {}  output {}  {} modules  in fault: {}  at {}", dev.data_id,
                                      val(d, "group_value"), bare(d, "module_count"),
                                      faults.empty() ? std::string("none") : fmt::format("{}", fmt::join(faults, " ")),
                                      image_clock(d))});
        wrap_list(out, 3, "  module currents (A):", currents, cols);
        out.push_back({3, fmt::format("  AC input limits: voltage {}..{} V, frequency {}..{} Hz; AC parameter 5: {}",
                                      bare(d, "ac_param_1"), bare(d, "ac_param_0"), bare(d, "ac_param_3"),
                                      bare(d, "ac_param_2"), bare(d, "ac_param_4"))});
        std::vector<std::string> user;
        for (size_t k = 0; find(d, fmt::format("dc_user_param_{}", k)); ++k)
            user.push_back(bare(d, fmt::format("dc_user_param_{}", k)));
        out.push_back({3, fmt::format("  DC output limits: voltage {}..{} V; DC user parameters: {}", bare(d, "dc_param_1"),
                                      bare(d, "dc_param_0"),
                                      user.empty() ? std::string("none") : fmt::format("{}", fmt::join(user, " ")))});
        for (size_t m = 0; find(d, fmt::format("module_{}_value", m)); ++m) {
            std::string s = not_normal(d, {{fmt::format("module_{}_state_0", m), "state 1"},
                                           {fmt::format("module_{}_state_1", m), "state 2"},
                                           {fmt::format("module_{}_state_2", m), "state 3"}});
            if (!s.empty()) states.push_back(fmt::format("{}{}", m + 1, s));
        }
        if (!states.empty()) wrap_list(out, 5, "  module switch states:", states, cols);
        return;
    }
    if (dev.record_type == kDcRecordType) {
        std::vector<std::string> blown;
        for (size_t k = 0; find(d, fmt::format("fuse_{}", k)); ++k) {
            const DecodedValue* f = find(d, fmt::format("fuse_{}", k));
            if (f->value && *f->value != 0) blown.push_back(std::to_string(k + 1) + (f->state_text == "blown" ? "" : fmt::format("({:g})", *f->value)));
        }
        const DecodedValue* vs = find(d, "volt_state");
        const std::string volt = vs && !vs->state_text.empty() ? vs->state_text : vs ? format_value(*vs) : "—";
        out.push_back({1, fmt::format("DC screen {}  {}  {}  voltage {}  fuses {}, blown: {}  at {}", dev.data_id,
                                      val(d, "v"), val(d, "i"), volt, bare(d, "fuse_count"),
                                      blown.empty() ? std::string("none") : fmt::format("{}", fmt::join(blown, " ")),
                                      image_clock(d))});
        std::vector<std::string> extra;
        // The repeated measures: values M and N and the user-defined values.
        for (const DecodedValue& v : d.values)
            if (v.index >= 0 && v.kind == ValueKind::Measure) extra.push_back(v.key + " " + format_value(v));
        if (!extra.empty()) wrap_list(out, 5, "  values:", extra, cols);
    }
}

}  // namespace

size_t display_width(const std::string& s) {
    size_t cols = 0;
    for (size_t i = 0; i < s.size();) {
        size_t n = 1;
        cols += columns_of(code_point(s, i, n));
        i += n;
    }
    return cols;
}

std::string fit_width(const std::string& s, size_t cols) {
    size_t used = 0, i = 0;
    while (i < s.size()) {
        size_t n = 1;
        const size_t w = columns_of(code_point(s, i, n));
        if (used + w > cols) break;
        used += w;
        i += n;
    }
    return s.substr(0, i);
}

std::string fit_with_ellipsis(const std::string& s, size_t cols) {
    if (display_width(s) <= cols) return s;
    if (cols == 0) return {};
    std::string cut = fit_width(s, cols - 1);
    // A number is never cut in two: "at 11:10:4…" would read as a time that is not one.
    auto numeric = [](char c) { return (c >= '0' && c <= '9') || c == '.' || c == ':' || c == '-' || c == '+'; };
    if (cut.size() < s.size() && !cut.empty() && numeric(cut.back()) && numeric(s[cut.size()])) {
        size_t k = cut.size();
        while (k > 0 && numeric(cut[k - 1])) --k;
        cut.resize(k);
    }
    return cut + "…";
}

std::vector<std::string> describe_image(const DecodedImage& d, const std::vector<uint8_t>& img) {
    if (!d.valid) return {fmt::format("{} bytes: {}", img.size(), hex_lower(img))};
    std::vector<std::string> out;
    std::string line;
    int group = -1;  // a channel's or module's values go on one line
    auto flush = [&] {
        if (!line.empty()) out.push_back(line);
        line.clear();
    };
    for (const DecodedValue& v : d.values) {
        // Each channel or module starts a line of its own.
        const int g = v.item;
        if (g != group) flush();
        group = g;
        std::string shown = v.state_text.empty() ? format_value(v) : v.state_text;
        std::string label = v.label;
        // Within a channel's line the label says the channel once.
        if (g >= 0 && !line.empty()) label = label.substr(label.find(' ', label.find(' ') + 1) + 1);
        line += (line.empty() ? "" : "  ") + label + " " + shown;
    }
    flush();
    if (!out.empty()) out[0] += "  (" + d.device + " at " + d.time + ")";
    return out;
}

std::vector<std::string> render_view(const ViewState& v, int cols_in, int rows_in) {
    const size_t cols = static_cast<size_t>(std::max(cols_in, 20));
    const size_t rows = static_cast<size_t>(std::max(rows_in, 4));
    std::vector<Line> lines;
    lines.push_back({0, v.title});

    // The line and the cycle, once, or for each system of a line with several.
    auto line_and_cycle = [&](const std::string& who, const std::optional<LineStatus>& line,
                              const std::optional<CycleStats>& cycle) {
        if (!line) {
            lines.push_back({0, who + "line: opening"});
        } else {
            const LineStatus& l = *line;
            const std::string last =
                l.last_reply ? fmt::format("last reply {} ago at {}",
                                           seconds_text(std::chrono::duration<double>(v.now - *l.last_reply).count()),
                                           clock_text(*l.last_reply))
                             : std::string("no reply yet");
            if (l.up)
                lines.push_back({0, fmt::format("{}line up  {}  time-outs in a row {}  bad frames {}", who, last,
                                                l.timeouts_in_row, l.bad_frames)});
            else
                lines.push_back({0,
                                 fmt::format(" {}LINE LOST  {}  {} time-outs in a row{} ", who, last, l.timeouts_in_row,
                                             l.port_open ? "" : "  port closed, reopening"),
                                 "\x1b[1;97;41m"});
        }
        if (cycle) {
            const CycleStats& c = *cycle;
            lines.push_back({0, fmt::format("{}cycle {} at {}  {:.0f} ms  errors {} (bad frames {}, time-outs {}), {} since start",
                                            who, c.n, clock_text(c.end), c.duration_ms, c.errors(), c.bad_frames,
                                            c.timeouts, c.total_errors)});
        } else {
            lines.push_back({0, who + "waiting for the first complete cycle"});
        }
    };
    if (v.systems.size() > 1)
        for (const ViewSystem& s : v.systems) line_and_cycle("system " + s.ref.label() + ": ", s.line, s.cycle);
    else
        line_and_cycle("", v.line, v.cycle);
    for (const ConfigIssue& c : v.config)
        lines.push_back({0,
                         fmt::format("CONFIG {}: the settings expect {}, the plant reports {} ({} times)", c.check,
                                     c.expected, c.reported.empty() ? std::string("another") : c.reported, c.count),
                         "\x1b[1;33m"});

    for (const ViewDevice& d : v.devices) device_lines(lines, d, cols);

    lines.push_back({0, fmt::format("active alarms: {}", v.alarms.size())});
    for (const ViewAlarm& a : v.alarms) {
        const size_t dash = a.device_type.rfind('-');
        const std::string kind = dash == std::string::npos ? a.device_type : a.device_type.substr(dash + 1);
        lines.push_back({2, fmt::format("  L{} {} {}  {}  {}", a.level, kind, a.data_id, a.name, a.instance)});
    }
    if (!v.recent.empty()) {
        lines.push_back({4, "recent:"});
        for (const std::string& r : v.recent) lines.push_back({4, "  " + r});
    }

    // Every level of priority that fits whole, then as much of the next as fits beside a
    // note saying what is left out. The header (priority 0) always stays.
    std::vector<bool> shown(lines.size(), false);
    size_t used = 0;
    for (int p = 0; p <= 5; ++p) {
        size_t need = 0;
        for (const Line& l : lines) need += l.priority == p;
        const bool whole = p == 0 || used + need <= rows;
        size_t room = whole ? need : (rows > used + 1 ? rows - used - 1 : 0);
        for (size_t k = 0; k < lines.size() && room > 0; ++k)
            if (lines[k].priority == p) {
                shown[k] = true;
                ++used;
                --room;
            }
        if (!whole) break;
    }
    const size_t dropped = static_cast<size_t>(std::count(shown.begin(), shown.end(), false));
    std::vector<std::string> out;
    for (size_t k = 0; k < lines.size(); ++k) {
        if (!shown[k]) continue;
        std::string text = fit_with_ellipsis(lines[k].text, cols);
        if (lines[k].colour) text = lines[k].colour + text + "\x1b[0m";
        out.push_back(std::move(text));
    }
    if (dropped > 0 && out.size() < rows)
        out.push_back(fit_with_ellipsis(fmt::format("... {} more lines on a larger terminal", dropped), cols));
    if (out.size() > rows) out.resize(rows);
    return out;
}

}  // namespace zrt::host

#include "tools/view/output.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>

#include <fmt/format.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "tools/view/image_view.h"
#include "tools/core/json_line.h"

namespace zrt::host {

void LineWriter::write(const std::string& text) {
    std::lock_guard<std::mutex> lock(mu_);
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // the reader went away; nothing sensible to do with the output
        done += static_cast<size_t>(n);
    }
}

namespace {

// Every event starts with its name and the time it was written.
JsonLine event(const char* name) {
    JsonLine j(name);
    j.add("time", iso_utc(SystemClock::now()));
    return j;
}

// The "system" of an event of a line with several systems.
void system_field(JsonLine& j, const StartInfo& start, const SystemRef& r) {
    if (start.systems.size() > 1) j.add("system", r.label());
}
void system_field(JsonLine& j, const StartInfo& start, uint32_t data_id) {
    if (start.systems.size() < 2) return;
    if (const SystemRef* r = start.system_for(data_id)) j.add("system", r->label());
}

void image_fields(JsonLine& j, const devhost::ImageEvent& e) {
    j.add("data_id", e.data_id)
        .add("device_type", e.device_type)
        .add("record_type", e.record_type)
        .add("size", e.image.size())
        .add("image", hex_lower(e.image));
}

void alarm_fields(JsonLine& j, const devhost::AlarmEvent& e) {
    j.add("data_id", e.data_id).add("device_type", e.device_type).add("key", e.rule.key);
    j.add("signal_id", e.rule.signal_id).add("name", e.rule.name).add("instance", e.rule.instance);
    j.add("level", e.rule.level).add("seq", e.rule.sequence);
}

void line_fields(JsonLine& j, const LineStatus& l) {
    j.add("state", l.up ? "up" : "lost").add("since", iso_utc(l.since)).add("port", l.port);
    if (l.last_reply) j.add("last_reply", iso_utc(*l.last_reply));
    j.add_double("silence_s", l.silence_s).add("timeouts_in_row", l.timeouts_in_row).add("bad_frames", l.bad_frames);
    j.add("port_open", l.port_open);
}

// With several systems on the line, an event that belongs to one names it: "system" is its
// name from the settings, else its address. A one-system run writes its events as before.
class JsonSink : public Sink {
public:
    explicit JsonSink(int fd) : out_(fd) {}

    void start(const StartInfo& s) override {
        JsonLine j = event("start");
        j.add("plugin", s.plugin).add("device_type", s.device_type).add("data_id", s.data_id);
        j.add("port", s.port).add("baud", s.baud).add("simulated", s.simulated);
        if (s.simulated) j.add("plant", s.plant);
        if (s.systems.size() > 1) {
            std::string list;
            for (const SystemRef& r : s.systems) {
                const std::string one = fmt::format("{{\"system\":{},\"address\":{},\"data_id\":{}}}", json_string(r.label()),
                                              r.address, r.data_id);
                list += (list.empty() ? "" : ",") + one;
            }
            j.raw("systems", "[" + list + "]");
        }
        out_.write(j.str());
        // Written before the line runs; read by later events on any thread.
        start_ = s;
    }
    void cache(uint32_t id, const std::string& type, size_t size, bool loaded) override {
        out_.write(event("cache").add("data_id", id).add("device_type", type).add("size", size).add("loaded", loaded).str());
    }
    void log(const devhost::LogEvent& e) override {
        JsonLine j = event("log");
        system_field(j, start_, e.data_id);
        out_.write(j.add("data_id", e.data_id).add("text", e.text).str());
    }
    void log_repeated(const devhost::LogEvent& e, uint64_t repeated) override {
        JsonLine j = event("log");
        system_field(j, start_, e.data_id);
        out_.write(j.add("data_id", e.data_id).add("text", e.text).add("repeated", repeated).str());
    }
    void image(const ImageEvent& e) override {
        JsonLine j = event(e.saved ? "saved" : "publish");
        system_field(j, start_, e.raw.data_id);
        image_fields(j, e.raw);
        j.raw("values", json_values(e.decoded.values));  // empty for an image that does not fit
        out_.write(j.str());
    }
    void alarm(const devhost::AlarmEvent& e) override {
        JsonLine j = event("alarm");
        system_field(j, start_, e.data_id);
        alarm_fields(j, e);
        j.add("state", e.raised ? "raised" : "cleared");
        out_.write(j.str());
    }
    void restored(const devhost::AlarmEvent& e, const std::string& since) override {
        JsonLine j = event("alarm");
        system_field(j, start_, e.data_id);
        alarm_fields(j, e);
        j.add("state", "restored").add("since", since);
        out_.write(j.str());
    }
    void line(const LineStatus& l) override {
        JsonLine j = event("line");
        system_field(j, start_, l.system);
        line_fields(j, l);
        out_.write(j.str());
    }
    void contradicted(const ConfigIssue& c) override {
        JsonLine j = event("config");
        system_field(j, start_, c.system);
        j.add("data_id", c.data_id).add("check", c.check).add("expected", c.expected);
        if (!c.reported.empty()) j.add("reported", c.reported);
        j.add("count", c.count).add("text", c.text);
        out_.write(j.str());
    }
    void cycle_ended(const CycleStats& c) override {
        JsonLine j = event("cycle");
        system_field(j, start_, c.system);
        j.add("n", c.n).add_double("duration_ms", c.duration_ms).add("tx_bytes", c.tx_bytes);
        j.add("rx_bytes", c.rx_bytes).add("errors", c.errors()).add("bad_frames", c.bad_frames);
        j.add("timeouts", c.timeouts).add("garbage", c.garbage).add("total_errors", c.total_errors);
        out_.write(j.str());
    }
    void value(const ValueAnswer& v) override {
        JsonLine j = event("value");
        system_field(j, start_, v.data_id);
        j.add("data_id", v.data_id).add("device", v.device).add("device_type", v.device_type).add("key", v.key);
        if (v.value)
            j.add_float("value", *v.value);
        else if (!v.absent.empty())
            j.raw("value", "null").add("reason", v.absent);
        else
            j.add("error", v.error);
        if (!v.explanation.empty()) j.add("explanation", v.explanation);
        j.add("source", v.source);
        if (v.source == "cycle") j.add("cycle", v.cycle);
        if (v.time) j.add(v.source == "cycle" ? "cycle_time" : "stored_time", iso_utc(*v.time)).add_double("age_s", v.age_s);
        out_.write(j.str());
    }
    void stop(uint64_t cycles, const std::string& reason) override {
        out_.write(event("stop").add("cycles", cycles).add("reason", reason).str());
    }

private:
    LineWriter out_;
    StartInfo start_;
};

// The live view: per device its latest image, the line state, active alarms and the last
// log lines, redrawn after each cycle and each second, sized to the terminal.
class LiveSink : public Sink {
public:
    explicit LiveSink(int fd) : fd_(fd), out_(fd) {}

    void start(const StartInfo& s) override {
        std::lock_guard<std::mutex> lock(mu_);
        view_.title = fmt::format("{} {}  {} at {} baud{}", s.device_type, s.data_id, s.port, s.baud,
                                  s.simulated ? "  simulated " + s.plant : std::string());
        if (s.systems.size() > 1) {
            view_.title = fmt::format("{} systems  {} at {} baud{}", s.systems.size(), s.port, s.baud,
                                      s.simulated ? "  simulated " + s.plant : std::string());
            for (const SystemRef& r : s.systems) view_.systems.push_back({r, std::nullopt, std::nullopt});
        }
    }
    void cache(uint32_t id, const std::string& type, size_t size, bool loaded) override {
        note(fmt::format("cache: {} {} {} bytes {}", type, id, size, loaded ? "loaded" : "refused"));
    }
    void log(const devhost::LogEvent& e) override { note(fmt::format("log {}: {}", e.data_id, e.text)); }
    void log_repeated(const devhost::LogEvent& e, uint64_t repeated) override {
        std::lock_guard<std::mutex> lock(mu_);
        const std::string line = fmt::format("log {}: {}", e.data_id, e.text);
        // The line is shown once, with how often it came since.
        for (auto it = recent_.rbegin(); it != recent_.rend(); ++it)
            if (it->first == line) {
                it->second += repeated;
                return;
            }
        recent_.push_back({line, repeated});
        trim();
    }
    void image(const ImageEvent& ev) override {
        if (ev.saved) return;
        const devhost::ImageEvent& e = ev.raw;
        std::lock_guard<std::mutex> lock(mu_);
        for (ViewDevice& d : view_.devices)
            if (d.data_id == e.data_id && d.device_type == e.device_type) {
                d.record_type = e.record_type;
                d.image = e.image;
                d.decoded = ev.decoded;
                return;
            }
        view_.devices.push_back({e.data_id, e.device_type, e.record_type, e.image, ev.decoded});
    }
    void alarm(const devhost::AlarmEvent& e) override {
        std::lock_guard<std::mutex> lock(mu_);
        set_alarm(e, e.raised);
    }
    void restored(const devhost::AlarmEvent& e, const std::string&) override {
        std::lock_guard<std::mutex> lock(mu_);
        set_alarm(e, true);
    }
    void line(const LineStatus& l) override { status(l); }
    void status(const LineStatus& l) override {
        {
            std::lock_guard<std::mutex> lock(mu_);
            view_.line = l;
            for (ViewSystem& v : view_.systems)
                if (v.ref.data_id == l.system.data_id) v.line = l;
        }
        draw();
    }
    void contradicted(const ConfigIssue& c) override {
        {
            std::lock_guard<std::mutex> lock(mu_);
            view_.config.push_back(c);
        }
        draw();
    }
    void cycle_ended(const CycleStats& c) override {
        {
            std::lock_guard<std::mutex> lock(mu_);
            view_.cycle = c;
            for (ViewSystem& v : view_.systems)
                if (v.ref.data_id == c.system.data_id) v.cycle = c;
        }
        draw();
    }
    void value(const ValueAnswer& v) override {
        std::string from;
        if (v.source == "cycle") from = fmt::format("  (cycle {}, {:.0f} s old)", v.cycle, v.age_s);
        if (v.source == "stored") from = fmt::format("  (stored image, {:.0f} s old)", v.age_s);
        const std::string why = !v.absent.empty() ? "absent: " + v.absent
                                : v.explanation.empty() ? v.error
                                                        : v.error + " (" + v.explanation + ")";
        out_.write(v.value ? fmt::format("{} ({} {}) {} = {}{}\n", v.device, v.device_type, v.data_id, v.key, *v.value, from)
                           : fmt::format("{} ({} {}) {}: {}{}\n", v.device, v.device_type, v.data_id, v.key, why, from));
    }
    void stop(uint64_t cycles, const std::string& reason) override {
        out_.write(fmt::format("\r\nstopped after {} cycles: {}\n", cycles, reason));
    }

private:
    void set_alarm(const devhost::AlarmEvent& e, bool active) {
        auto& list = view_.alarms;
        for (auto it = list.begin(); it != list.end(); ++it)
            if (it->data_id == e.data_id && it->device_type == e.device_type && it->key == e.rule.key &&
                it->sequence == e.rule.sequence) {
                list.erase(it);
                break;
            }
        if (active)
            list.push_back({e.data_id, e.device_type, e.rule.level, e.rule.sequence, e.rule.key, e.rule.name,
                            e.rule.instance});
    }
    void note(const std::string& line) {
        std::lock_guard<std::mutex> lock(mu_);
        recent_.push_back({line, 0});
        trim();
    }
    void trim() {
        while (recent_.size() > 8) recent_.pop_front();
    }
    void draw() {
        winsize ws{};
        int cols = 80, rows = 24;
        // Asked at every redraw, so a resized terminal gets its new size at the next one.
        if (::ioctl(fd_, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 && ws.ws_row > 0) {
            cols = ws.ws_col;
            rows = ws.ws_row;
        }
        std::string s = "\x1b[H\x1b[2J";  // home, clear
        {
            std::lock_guard<std::mutex> lock(mu_);
            view_.recent.clear();
            for (const auto& [line, n] : recent_)
                view_.recent.push_back(n ? fmt::format("{} (and {} more times)", line, n) : line);
            view_.now = SystemClock::now();
            const std::vector<std::string> lines = render_view(view_, cols, rows);
            for (size_t k = 0; k < lines.size(); ++k) s += lines[k] + (k + 1 < lines.size() ? "\r\n" : "");
        }
        out_.write(s);
    }

    int fd_;
    LineWriter out_;
    std::mutex mu_;
    ViewState view_;
    std::deque<std::pair<std::string, uint64_t>> recent_;
};

}  // namespace

std::unique_ptr<Sink> make_json_sink(int fd) { return std::make_unique<JsonSink>(fd); }
std::unique_ptr<Sink> make_live_sink(int fd) { return std::make_unique<LiveSink>(fd); }

}  // namespace zrt::host

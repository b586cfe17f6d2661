#include "tools/output.h"

#include <atomic>
#include <cerrno>

#include <fmt/format.h>
#include <unistd.h>

#include "tools/image_view.h"
#include "tools/json_line.h"

namespace zrt::host {

Presenter::~Presenter() = default;

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

JsonLine image_line(const char* event, const devhost::ImageEvent& e) {
    JsonLine j(event);
    j.add("data_id", e.data_id)
        .add("device_type", e.device_type)
        .add("record_type", e.record_type)
        .add("size", e.image.size())
        .add("image", hex_lower(e.image));
    return j;
}

class JsonPresenter : public Presenter {
public:
    explicit JsonPresenter(int fd) : out_(fd) {}

    void start(const StartInfo& s) override {
        JsonLine j("start");
        j.add("plugin", s.plugin).add("device_type", s.device_type).add("data_id", s.data_id);
        j.add("port", s.port).add("baud", s.baud).add("simulated", s.simulated);
        if (s.simulated) j.add("plant", s.plant);
        out_.write(j.str());
    }
    void cache(uint32_t id, const std::string& type, size_t size, bool loaded) override {
        out_.write(JsonLine("cache").add("data_id", id).add("device_type", type).add("size", size).add("loaded", loaded).str());
    }
    void log(const devhost::LogEvent& e) override {
        out_.write(JsonLine("log").add("data_id", e.data_id).add("text", e.text).str());
    }
    void publish(const devhost::ImageEvent& e) override { out_.write(image_line("publish", e).str()); }
    void saved(const devhost::ImageEvent& e) override { out_.write(image_line("saved", e).str()); }
    void alarm(const devhost::AlarmEvent& e) override {
        JsonLine j("alarm");
        j.add("data_id", e.data_id).add("device_type", e.device_type).add("key", e.rule.key);
        j.add("signal_id", e.rule.signal_id).add("name", e.rule.name).add("instance", e.rule.instance);
        j.add("level", e.rule.level).add("seq", e.rule.sequence).add("state", e.raised ? "raised" : "cleared");
        out_.write(j.str());
    }
    void cycle(const CycleStats& c) override {
        JsonLine j("cycle");
        j.add("n", c.n).add_double("duration_ms", c.duration_ms).add("tx_bytes", c.tx_bytes);
        j.add("rx_bytes", c.rx_bytes).add("errors", c.errors()).add("bad_frames", c.bad_frames);
        j.add("timeouts", c.timeouts).add("garbage", c.garbage).add("total_errors", c.total_errors);
        out_.write(j.str());
    }
    void value(const ValueAnswer& v) override {
        JsonLine j("value");
        j.add("data_id", v.data_id).add("device", v.device).add("device_type", v.device_type).add("key", v.key);
        if (v.value)
            j.add_float("value", *v.value);
        else
            j.add("error", v.error);
        out_.write(j.str());
    }
    void stop(uint64_t cycles, const std::string& reason) override {
        out_.write(JsonLine("stop").add("cycles", cycles).add("reason", reason).str());
    }

private:
    LineWriter out_;
};

// Per device, its latest image; active alarms; the last log lines; redrawn per cycle.
class LivePresenter : public Presenter {
public:
    explicit LivePresenter(int fd) : out_(fd) {}

    void start(const StartInfo& s) override {
        std::lock_guard<std::mutex> lock(mu_);
        header_ = fmt::format("{} (data id {})  plug-in {}\nline {} at {} baud{}", s.device_type, s.data_id, s.plugin,
                              s.port, s.baud, s.simulated ? "  (simulated plant " + s.plant + ")" : std::string());
    }
    void cache(uint32_t id, const std::string& type, size_t size, bool loaded) override {
        note(fmt::format("cache: {} {} {} bytes {}", type, id, size, loaded ? "loaded" : "refused"));
    }
    void log(const devhost::LogEvent& e) override {
        const std::string line = fmt::format("log {}: {}", e.data_id, e.text);
        note(line);
        // Until the first cycle completes there is no view to show it in; a site that never
        // completes one (a configuration the equipment disagrees with) says why here.
        if (!drawn_) out_.write(line + "\n");
    }
    void publish(const devhost::ImageEvent& e) override {
        std::lock_guard<std::mutex> lock(mu_);
        const Key k{e.data_id, e.device_type};
        if (!images_.count(k)) order_.push_back(k);
        images_[k] = {e.record_type, e.image};
    }
    void saved(const devhost::ImageEvent&) override {}
    void alarm(const devhost::AlarmEvent& e) override {
        std::lock_guard<std::mutex> lock(mu_);
        const auto k = std::make_tuple(e.data_id, e.device_type, e.rule.sequence, e.rule.key);
        if (e.raised)
            active_[k] = e.rule;
        else
            active_.erase(k);
    }
    void cycle(const CycleStats& c) override {
        std::string s = "\x1b[H\x1b[2J";  // home, clear
        {
            std::lock_guard<std::mutex> lock(mu_);
            s += header_ + "\n";
            s += fmt::format("cycle {}  {:.0f} ms  tx {} B  rx {} B  errors {} (bad frames {}, time-outs {})  "
                             "errors since start {}\n\n",
                             c.n, c.duration_ms, c.tx_bytes, c.rx_bytes, c.errors(), c.bad_frames, c.timeouts,
                             c.total_errors);
            for (const Key& k : order_) {
                const auto& [type, img] = images_[k];
                s += fmt::format("{} {}\n", k.second, k.first);
                for (const std::string& line : describe_image(type, img)) s += "    " + line + "\n";
            }
            s += fmt::format("\nactive alarms: {}\n", active_.size());
            for (const auto& [k, r] : active_)
                s += fmt::format("  level {}  {} {}#{}  {} {}  {}\n", r.level, std::get<0>(k), r.key, r.sequence,
                                 r.signal_id, r.name, r.instance);
            s += "\nrecent:\n";
            for (const std::string& line : recent_) s += "  " + line + "\n";
        }
        out_.write(s);
        drawn_ = true;
    }
    void value(const ValueAnswer& v) override {
        out_.write(v.value ? fmt::format("{} ({} {}) {} = {}\n", v.device, v.device_type, v.data_id, v.key, *v.value)
                           : fmt::format("{} ({} {}) {}: {}\n", v.device, v.device_type, v.data_id, v.key, v.error));
    }
    void stop(uint64_t cycles, const std::string& reason) override {
        out_.write(fmt::format("stopped after {} cycles: {}\n", cycles, reason));
    }

private:
    using Key = std::pair<uint32_t, std::string>;
    void note(const std::string& line) {
        std::lock_guard<std::mutex> lock(mu_);
        recent_.push_back(line);
        while (recent_.size() > 8) recent_.pop_front();
    }

    LineWriter out_;
    std::mutex mu_;
    std::string header_;
    std::vector<Key> order_;
    std::map<Key, std::pair<int, std::vector<uint8_t>>> images_;
    std::map<std::tuple<uint32_t, std::string, uint32_t, std::string>, rule_value> active_;  // by device, then sequence
    std::deque<std::string> recent_;
    std::atomic<bool> drawn_{false};
};

}  // namespace

std::unique_ptr<Presenter> make_json_presenter(int fd) { return std::make_unique<JsonPresenter>(fd); }
std::unique_ptr<Presenter> make_live_presenter(int fd) { return std::make_unique<LivePresenter>(fd); }

}  // namespace zrt::host

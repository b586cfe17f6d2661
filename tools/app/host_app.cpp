#include "tools/app/host_app.h"

#include <algorithm>
#include <cmath>
#include <chrono>
#include <csignal>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <json/reader.h>
#include <unistd.h>

#include <fmt/format.h>

#include "devhost/devhost.h"
#include "devhost/frame.h"
#include "devhost/shared_line.h"
#include "tools/core/image_decode.h"
#include "base/wire_log.h"
#include "tools/core/diag_log.h"
#include "tools/core/field_text.h"
#include "tools/core/plugin_texts.h"
#include "tools/history/history_store.h"
#include "tools/core/host_error.h"
#include "tools/metrics/http_server.h"
#include "tools/metrics/metrics.h"
#include "tools/snmp/snmp_sink.h"
#include "tools/uplink/uplink_sink.h"
#include "tools/core/events.h"
#include "tools/history/history_sink.h"
#include "tools/view/output.h"
#include "tools/app/plugin_loader.h"
#include "tools/line/builtin_sim.h"
#include "tools/line/serial_line.h"
#include "tools/app/settings_check.h"

namespace zrt::host {

namespace {

std::atomic<int> g_signal{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void on_signal(int sig) {
    int none = 0;
    g_signal.compare_exchange_strong(none, sig);
}

}  // namespace

void install_signal_handlers() {
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

int received_signal() { return g_signal.load(); }

Query parse_query(const std::string& text) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size())
        throw HostError(kExitUsage, "--query " + text + ": expected DEVICE:KEY (DEVICE a data id or rc)");
    Query q{text.substr(0, colon), text.substr(colon + 1)};
    if (q.device != "rc" && q.device.find_first_not_of("0123456789") != std::string::npos)
        throw HostError(kExitUsage, "--query " + text + ": DEVICE is a data id or rc");
    if (q.device != "rc" && (q.device.size() > 10 || std::stoull(q.device) > 0xFFFFFFFFull))
        throw HostError(kExitUsage, "--query " + text + ": data id out of range");
    return q;
}

Json::Value read_settings(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw HostError(kExitUsage, "cannot read the settings file " + path);
    // A UTF-8 byte-order mark, as some editors write one, is passed over; a UTF-16 or UTF-32
    // text is refused by name rather than read as bad JSON.
    char head[4] = {};
    in.read(head, sizeof head);
    const std::string mark(head, static_cast<size_t>(in.gcount()));
    in.clear();
    const bool utf8_bom = mark.rfind("\xEF\xBB\xBF", 0) == 0;
    if (mark.rfind("\xFF\xFE", 0) == 0 || mark.rfind("\xFE\xFF", 0) == 0 || mark == std::string("\0\0\xFE\xFF", 4))
        throw HostError(kExitUsage, "the settings file " + path +
                                        " is UTF-16 or UTF-32 (it starts with such a byte-order mark): save it as UTF-8");
    in.seekg(utf8_bom ? 3 : 0);
    Json::CharReaderBuilder b;
    b["rejectDupKeys"] = true;
    b["stackLimit"] = 64;
    // Strict: a trailing comma or text after the object is an error, not a guess.
    b["allowTrailingCommas"] = false;
    b["failIfExtra"] = true;
    b["allowSpecialFloats"] = false;
    Json::Value doc;
    std::string errs;
    try {
        if (!Json::parseFromStream(b, in, &doc, &errs))
            throw HostError(kExitUsage, "the settings file " + path + " is not valid JSON: " + errs);
    } catch (const HostError&) {
        throw;
    } catch (const std::exception& e) {
        // jsoncpp throws for texts nested deeper than its limit, among others.
        throw HostError(kExitUsage, "the settings file " + path + " cannot be read as JSON: " + e.what());
    }
    if (!doc.isObject()) throw HostError(kExitUsage, "the settings file " + path + " must hold one JSON object");
    return doc;
}

HostSettings host_settings(const Json::Value& s, const std::string& file) {
    check_settings(s, file);
    HostSettings h;
    if (s.isMember("device_type")) h.device_type = s["device_type"].asString();
    if (s.isMember("data_id")) h.data_id = s["data_id"].asUInt();
    if (s.isMember("port")) h.port = s["port"].asString();
    if (s.isMember("baud")) h.baud = s["baud"].asInt();
    // Texts and ranges are checked above.
    if (s.isMember("data_bits")) h.line.data_bits = s["data_bits"].asInt();
    if (s.isMember("parity")) parse_parity(s["parity"].asString(), h.line.parity);
    if (s.isMember("stop_bits")) h.line.stop_bits = s["stop_bits"].asInt();
    if (s.isMember("flow_control")) parse_flow(s["flow_control"].asString(), h.line.flow);
    if (s.isMember("rs485")) h.line.rs485 = s["rs485"].asBool();
    if (s.isMember("rs485_rts_on_send")) h.line.rs485_rts_on_send = s["rs485_rts_on_send"].asBool();
    if (s.isMember("rs485_delay_before_ms")) h.line.rs485_delay_before_ms = s["rs485_delay_before_ms"].asUInt();
    if (s.isMember("rs485_delay_after_ms")) h.line.rs485_delay_after_ms = s["rs485_delay_after_ms"].asUInt();
    if (s.isMember("refresh_ms")) h.refresh_ms = s["refresh_ms"].asInt();
    if (s.isMember("history_retention")) h.history_retention = s["history_retention"].asInt();
    if (s.isMember("simulate")) h.simulate = s["simulate"].asBool();
    if (s.isMember("plant")) h.plant = s["plant"].asString();
    if (s.isMember("line_timeout_s")) h.line_timeout_s = s["line_timeout_s"].asDouble();
    if (s.isMember("history_days")) h.history_days = s["history_days"].asInt();
    if (s.isMember("history_rollup_days")) h.history_rollup_days = s["history_rollup_days"].asInt();
    if (s.isMember("history_commit_s")) h.history_commit_s = s["history_commit_s"].asInt();
    if (s.isMember("metrics")) h.metrics = s["metrics"].asString();
    if (s.isMember("site")) h.site = s["site"].asString();
    if (s.isMember("web_config")) h.web_config = s["web_config"].asString();
    if (s.isMember("snmp")) {
        const Json::Value& snmp = s["snmp"];
        if (snmp.isMember("agentx")) h.snmp_agentx = snmp["agentx"].asString();
        if (snmp.isMember("ping_interval_s")) h.snmp_ping_s = snmp["ping_interval_s"].asInt();
    }
    h.listed = s.isMember("systems");
    if (!h.listed) {
        SystemSettings one;
        one.address = s.isMember("address") ? s["address"].asInt() : 1;
        one.data_id = h.data_id;
        one.device_type = h.device_type;
        one.settings = s;
        h.systems.push_back(std::move(one));
        return h;
    }
    for (const Json::Value& entry : s["systems"]) {
        SystemSettings sys;
        sys.address = entry["address"].asInt();
        if (entry.isMember("name")) sys.name = entry["name"].asString();
        sys.data_id = entry["data_id"].asUInt();
        sys.device_type = entry.isMember("device_type") ? entry["device_type"].asString() : h.device_type;
        // The frame layer's keys at the top hold for every system that names none.
        sys.settings = entry;
        sys.settings.removeMember("name");
        for (const char* key : {"reply_timeout_ms", "auto_data_ready", "guard_ms"})
            if (s.isMember(key) && !entry.isMember(key)) sys.settings[key] = s[key];
        h.systems.push_back(std::move(sys));
    }
    h.device_type = h.systems.front().device_type;
    h.data_id = h.systems.front().data_id;
    return h;
}

namespace {

using Steady = std::chrono::steady_clock;

int level_of(const std::string& name) {
    if (name == "error") return 0;
    if (name == "warn") return 1;
    if (name == "info") return 2;
    if (name == "debug") return 3;
    throw HostError(kExitUsage, "--log-level must be error, warn, info or debug");
}

// The device's line and its counters. The host reaches the serial state of the top device
// only here.
struct LineCounters {
    uint64_t replies = 0;     // frames handed to the device
    uint64_t bad_frames = 0;  // dropped by the frame decoder
    uint64_t garbage = 0;     // bytes outside any frame
    uint64_t stale = 0;       // good frames of its address that answered no awaited command
};
LineCounters line_counters(const TXQSPDevice& dev) {
    const devhost::SerialState& s = devhost::serial_state(dev);
    return {s.replies, s.decoder.stats().errors(), s.decoder.stats().garbage, s.stale_frames};
}
// The frame layer's notices (late replies, resynchronisations, return codes) go to the
// diagnostics, and on as events.
void attach_line(TXQSPDevice& dev, std::shared_ptr<devhost::Transport> line, int baud,
                 std::function<void(const devhost::LineNotice&)> note) {
    devhost::SerialState& s = devhost::serial_state(dev);
    s.baud = baud;
    s.on_notice = std::move(note);
    devhost::attach(dev, std::move(line));
}
void detach_line(TXQSPDevice& dev) { dev.ClosePort(); }

// Reports after this many in a row without a complete cycle between them.
constexpr uint64_t kConfigRepeats = 3;

// The communication-lost alarm the host raises for a silent line; on a line shared by
// several systems, for the system that went silent (`address` >= 0).
rule_value line_lost_rule(uint32_t data_id, const std::string& port, int address, bool active) {
    rule_value r;
    r.active = active ? 1 : 0;
    r.key = "line_lost";
    r.signal_id = "99001";
    r.level = 1;
    r.sequence = 0;
    r.name = "通信中断告警";
    r.instance = address < 0 ? "串口" + port + "无应答" : "串口" + port + "地址" + std::to_string(address) + "无应答";
    r.data_id = data_id;
    return r;
}

double seconds_between(Steady::time_point a, Steady::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

// The frame address of a command as written: "~", two hex digits of version, two of address.
std::optional<int> command_address(const uint8_t* p, size_t n) {
    if (n < 5 || p[0] != '~') return std::nullopt;
    auto hex = [](uint8_t c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    const int hi = hex(p[3]), lo = hex(p[4]);
    if (hi < 0 || lo < 0) return std::nullopt;
    return hi * 16 + lo;
}

// On a shared line a lost system is probed at most this often, so that its time-outs take
// a share of the line and not all of it.
constexpr std::chrono::seconds kLostProbeInterval{2};

// One power system on the line: its top device and what the host keeps of it. The line,
// the sinks and the store are shared.
struct System {
    SystemRef ref;
    std::shared_ptr<TXQSPDevice> dev;
    uint32_t rc_id = 0;
    std::string rc_type;

    // Line health, on the serial thread.
    bool line_up = true;
    Steady::time_point last_reply_steady, next_probe;
    std::optional<SystemClock::time_point> last_reply;
    SystemClock::time_point up_since;
    uint64_t replies_seen = 0;
    uint64_t stale_seen = 0;
    uint64_t timeouts_in_row = 0;
    uint64_t bad_frames = 0;  // frames dropped while its command was out, since start

    // Cycle accounting, on the serial thread (cycles is read by the history worker too).
    std::atomic<uint64_t> cycles{0};
    bool cycle_open = false;
    Steady::time_point cycle_start;
    uint64_t tx = 0, rx = 0, tx_mark = 0, rx_mark = 0;
    uint64_t timeouts = 0, timeouts_mark = 0, bad_mark = 0, garbage = 0, garbage_mark = 0, total_errors = 0;
    uint64_t publications = 0;  // images published, on the serial thread

    // Contradicted settings (under the host's log_mu_): per check, how often in a row, and
    // whether it was reported.
    std::map<std::string, uint64_t> config_counts;
    std::set<std::string> config_reported;
    std::optional<devhost::Frame> last_command;
    std::string reported_model;  // the text of the last model reply, under the host's model_mu_
    int rc_modules = -1;         // in the rectifier child's last image
};

class Host : public devhost::Observer {
public:
    Host(const HostOptions& o, int out_fd) : opt_(o), level_(level_of(o.log_level)) {
        const bool live = !o.json && isatty(out_fd);
        view_ = live ? make_live_sink(out_fd) : make_json_sink(out_fd);
    }

    int run();

    // Observer: called on the serial thread (publications, plug-in logs, the top device's
    // alarms) and on the history worker (saved images, children's alarms).
    void on_log(const devhost::LogEvent& e) override;
    void on_publish(const devhost::ImageEvent& e) override;
    void on_saved(const devhost::ImageEvent& e) override {
        // Shown as saved only when the history took it.
        if (history_ && !history_->save(e)) return;
        const DecodedImage d = decode_image(e.record_type, e.image);
        emit([&](Sink& s) { s.image({e, d, true}); });
    }
    void on_rule(uint32_t data_id, const rule_value& r) override {
        // Rules that hold in a system's first cycle keep a restored alarm raised.
        System* sys = system_of(data_id);
        if (r.active && sys && sys->cycles == 0) confirmed_.insert({data_id, r.key, r.sequence});
    }
    void on_alarm(const devhost::AlarmEvent& e) override;

private:
    // Every sink receives the event; the host itself keeps no copy for anyone.
    template <class F>
    void emit(F&& f) {
        events_.each(f);
    }
    void diag(int level, const std::string& text) {
        if (level > level_) return;
        // Debug output is read beside the events and the wire record: it carries the time.
        write_diag(level, level_ >= 3 ? iso_utc(SystemClock::now()) + " " + text : text);
    }
    // "system 2: " ahead of a line about one system, when the line has several.
    std::string who(const System& s) const {
        return systems_.size() > 1 ? "system " + s.ref.label() + ": " : std::string();
    }
    System* system_of(uint32_t data_id) const {
        const auto it = by_id_.find(data_id);
        return it == by_id_.end() ? nullptr : it->second;
    }
    System* system_at(int address) const {
        for (const auto& s : systems_)
            if (s->ref.address == address) return s.get();
        return nullptr;
    }
    void configure(const HostSettings& hs);
    void restore_alarms();
    void start_metrics(const HostSettings& hs);
    void start_snmp(const HostSettings& hs);
    void start_uplink(const HostSettings& hs);
    void load_caches();
    std::string choose_port(const HostSettings& hs, StartInfo& info);
    void open_line(const HostSettings& hs);
    bool open_port();
    void detach_all();
    // After a reply on a shared line: the next system's turn, once the guard time is over.
    void pass_turn();
    void line_failed(const std::string& err);
    void tick();
    void refresh(System& s, Steady::time_point now);
    void watch_line();
    void watch_system(System& s, Steady::time_point now);
    LineStatus line_status(const System& s, Steady::time_point now) const;
    void watch_frames(const std::string& tx_or_rx, const std::string& frame);
    void command_sent(const devhost::Frame& f) {
        if (System* s = system_at(f.adr)) s->last_command = f;
        emit([&](Sink& s) { s.command_sent({f.adr, f.cid1, f.cid2}); });
    }
    void reply_received(const devhost::Frame& f) {
        System* sys = system_at(f.adr);
        if (sys && sys->last_command && sys->last_command->cid1 == 0x40 && sys->last_command->cid2 == 0x51 &&
            f.cid2 == 0) {
            // The model field: the first 20 info bytes at most, up to a NUL, without trailing blanks.
            std::string model(f.info.begin(), f.info.begin() + std::min<size_t>(f.info.size(), 20));
            model = model.substr(0, model.find('\0'));
            while (!model.empty() && model.back() == ' ') model.pop_back();
            std::lock_guard<std::mutex> lock(model_mu_);
            sys->reported_model = model;
        }
        emit([&](Sink& s) { s.reply_received({f.adr, f.cid1, f.cid2, f.info.size()}); });
    }
    // The module count of a rectifier image, read through its field table.
    static void note_modules(System& s, const DecodedImage& d) {
        for (const DecodedValue& v : d.values)
            if (v.field && v.field->kind == zrt::field::Kind::count && v.key == "module_count" && v.value)
                s.rc_modules = static_cast<int>(*v.value);
    }
    void note_count_problem(const std::string& check, uint32_t data_id, std::string expected, std::string reported,
                            const std::string& text);
    void flush_repeats();
    void cycle_done(System& s);
    void drop_cycle(System& s);
    // The cycles every system has completed: the least among the systems whose line is up
    // (a silent system does not hold the others' run), or among all when none is.
    uint64_t cycles_done() const;
    void stop(const std::string& reason);
    void answer_queries();
    void check_queries() const;

    HostOptions opt_;
    int level_;
    // The sinks, registered once in run(): the history first (a saved image is in the store
    // before it is shown), then the view (JSON lines or the live view), then the metrics.
    Dispatcher events_;
    std::unique_ptr<Sink> view_;
    std::unique_ptr<HistorySink> history_;
    asio::io_context io_;
    // The store outlives the controller, whose worker saves into it.
    std::unique_ptr<HistoryStore> store_;
    // The SNMP subagent's feed outlives the controller too: its worker reports alarms to it.
    std::unique_ptr<snmp::SnmpSink> snmp_;
    uplink::UplinkChoice uplink_choice_;  // checked at start, before the line opens
    std::unique_ptr<uplink::UplinkSink> uplink_;
    std::shared_ptr<devhost::Controller> controller_;
    std::unique_ptr<Plugin> plugin_;
    // The systems on the line, in the settings' order; each device's data id to its system.
    std::vector<std::unique_ptr<System>> systems_;
    std::map<uint32_t, System*> by_id_;
    System* current_ = nullptr;  // the system whose command went out last
    std::unique_ptr<BuiltinSim> builtin_;
    std::string port_;
    int baud_ = 9600;
    std::shared_ptr<SerialLine> line_;
    std::shared_ptr<devhost::SharedLine> shared_;  // several systems: the line they share
    LineSettings line_settings_;
    std::unique_ptr<wire::WireRecorder> recorder_;
    wire::WireSplitter frames_[2];  // each direction, a frame at a time
    std::unique_ptr<asio::steady_timer> timer_;
    std::unique_ptr<asio::steady_timer> turn_timer_;  // pass_turn()
    std::chrono::milliseconds refresh_{20};
    // The server reads the state: it stops first.
    std::unique_ptr<MetricsState> metrics_;
    std::unique_ptr<MetricsServer> metrics_server_;

    // While Init runs, the device's log lines are its reasons for a refusal.
    bool configuring_ = false;
    std::vector<std::string> init_logs_;

    // The line, on the serial thread.
    double line_timeout_s_ = 10;
    bool port_open_ = false;
    Steady::time_point opened_, next_reopen_, next_status_;
    SystemClock::time_point opened_wall_;
    // The frame decoders of all systems see every byte: the line's errors are read from
    // the first and counted against the system whose command was out.
    uint64_t bad_frames_seen_ = 0, garbage_seen_ = 0;

    devhost::FrameDecoder tx_frames_{[this](const devhost::Frame& f) { command_sent(f); }};
    devhost::FrameDecoder rx_frames_{[this](const devhost::Frame& f) { reply_received(f); }};
    std::mutex model_mu_;

    // Identical log lines in a row are shown once, then counted.
    std::mutex log_mu_;
    std::optional<devhost::LogEvent> last_log_;
    uint64_t log_repeats_ = 0;
    Steady::time_point repeats_reported_;

    // Where each device's data came from: a publication of this run, or a stored image.
    struct Origin {
        uint64_t cycle = 0;
        SystemClock::time_point time;
    };
    std::mutex origin_mu_;
    std::map<std::pair<uint32_t, std::string>, Origin> published_;
    std::map<std::pair<uint32_t, std::string>, SystemClock::time_point> stored_;

    // Alarms restored from the store, and the rules that held in their system's first cycle.
    std::vector<StoredAlarm> restored_;
    std::set<std::tuple<uint32_t, std::string, uint32_t>> confirmed_;

    std::string stop_reason_;
    bool failed_ = false;
    bool interrupted_ = false;
    bool no_cycle_ = false;  // --give-up ran out before --cycles N completed
    Steady::time_point last_progress_;  // the line's opening, or the last complete cycle
    bool refused_ = false;   // a query was refused
};

int Host::run() {
    Json::Value settings = read_settings(opt_.settings);
    if (opt_.address >= 0) {
        if (settings.isMember("systems"))
            throw HostError(kExitUsage, "--address cannot be used with the list of systems in " + opt_.settings +
                                            ": each system's \"address\" is in the list");
        settings["address"] = opt_.address;
    }
    const HostSettings hs = host_settings(settings, opt_.settings);
    refresh_ = std::chrono::milliseconds(hs.refresh_ms);
    line_timeout_s_ = hs.line_timeout_s;
    check_top_structure(settings, hs.device_type, opt_.settings);
    uplink_choice_ = uplink::uplink_settings(settings, opt_.uplink, opt_.settings);

    plugin_ = std::make_unique<Plugin>(opt_.plugin);
    for (const SystemSettings& cfg : hs.systems) {
        auto sys = std::make_unique<System>();
        sys->ref = {cfg.address, cfg.data_id, cfg.name};
        sys->dev = plugin_->create(cfg.device_type);
        diag(2, "plug-in " + opt_.plugin + " made a " + sys->dev->DeviceType() +
                    (hs.listed ? " for the system at address " + std::to_string(cfg.address) : std::string()));
        systems_.push_back(std::move(sys));
    }
    current_ = systems_.front().get();

    // A reader (no cycles) leaves the file as it is and shares it with a running writer.
    const bool reader = opt_.cycles == 0;
    store_ = std::make_unique<HistoryStore>(opt_.history.empty() ? ":memory:" : opt_.history, hs.history_retention,
                                            reader ? HistoryStore::Mode::ReadOnly : HistoryStore::Mode::Write);
    store_->set_retention_days(hs.history_days);
    store_->set_rollup_days(hs.history_rollup_days);
    store_->set_commit_interval(hs.history_commit_s);
    if (!store_->notice().empty()) diag(0, "history: " + store_->notice());
    history_ = std::make_unique<HistorySink>(*store_, [this](const std::string& t) { diag(0, t); });
    events_.add(history_.get());
    events_.add(view_.get());

    configure(hs);
    check_queries();
    StartInfo info;
    if (opt_.cycles != 0) port_ = choose_port(hs, info);
    if (!reader) restore_alarms();
    load_caches();

    if (opt_.cycles != 0 && received_signal() == 0) {
        start_metrics(hs);
        start_snmp(hs);
        start_uplink(hs);
        open_line(hs);
        timer_ = std::make_unique<asio::steady_timer>(io_);
        turn_timer_ = std::make_unique<asio::steady_timer>(io_);
        tick();
        io_.run();
        detach_all();
        if (line_) line_->close();
        if (recorder_) recorder_->flush();
    } else if (opt_.cycles == 0) {
        stop_reason_ = "no cycles asked for";
    } else {
        stop(received_signal() == SIGINT ? "interrupted" : "terminated");
        interrupted_ = true;
    }

    controller_->drain();  // every history job of the last cycle has run
    if (!reader && !store_->commit())  // what is held is written before the host ends
        diag(0, "history: cannot write " + store_->path() + ": " + store_->write_state().error +
                    "; what was held since the last write is lost");
    flush_repeats();
    answer_queries();
    const uint64_t done = cycles_done();
    emit([&](Sink& s) { s.stop(done, stop_reason_); });
    metrics_server_.reset();
    if (snmp_) snmp_->stop();
    uplink_.reset();
    builtin_.reset();
    if (failed_) return kExitRuntime;
    if (interrupted_ && opt_.cycles > 0 && done < static_cast<uint64_t>(opt_.cycles)) return kExitInterrupted;
    if (no_cycle_) return kExitNoCycle;
    if (refused_) return kExitRefused;
    return kExitOk;
}

void Host::configure(const HostSettings& hs) {
    controller_ = std::make_shared<devhost::Controller>(devhost::Controller::JobMode::Worker);
    controller_->record_events = false;  // a long run keeps nothing it does not show
    controller_->add_observer(this);

    for (size_t k = 0; k < systems_.size(); ++k) {
        System& sys = *systems_[k];
        const SystemSettings& cfg = hs.systems[k];
        configuring_ = true;
        init_logs_.clear();
        const bool ok = sys.dev->Init(controller_, cfg.data_id, cfg.settings);
        configuring_ = false;
        if (!ok) {
            std::string why;
            for (const std::string& l : init_logs_) why += (why.empty() ? "" : "; ") + l;
            const std::string which = hs.listed ? " (systems[" + std::to_string(k) + "])" : std::string();
            throw HostError(kExitDevice, "the " + cfg.device_type + " device" + which + " refused the settings " +
                                             opt_.settings + ": " + (why.empty() ? std::string("it gave no reason") : why));
        }
        sys.rc_id = sys.dev->DataId();
        sys.ref.data_id = sys.rc_id;
        by_id_[sys.rc_id] = &sys;
        for (const auto& child : sys.dev->GetAllChildVDevices()) {
            if (!child) continue;
            by_id_[child->DataId()] = &sys;
            if (child->DataId() == sys.rc_id) sys.rc_type = child->DeviceType();
        }
    }
}

void Host::restore_alarms() {
    restored_ = store_->active_alarms();
    for (const StoredAlarm& a : restored_) {
        rule_value r;
        r.active = 1;
        r.key = a.key;
        r.signal_id = a.signal_id;
        r.level = a.level;
        r.sequence = a.sequence;
        r.name = a.name;
        r.instance = a.instance;
        r.data_id = a.data_id;
        controller_->restore_alarm(a.data_id, a.device_type, r);
        emit([&](Sink& s) { s.restored({a.data_id, a.device_type, r, true}, a.since); });
    }
    if (!restored_.empty())
        diag(2, std::to_string(restored_.size()) + " alarms restored as the last run left them raised");
}

void Host::load_caches() {
    for (const auto& sys : systems_) {
        for (const auto& child : sys->dev->GetAllChildVDevices()) {
            if (!child) continue;
            auto row = store_->last_row(child->DataId(), child->DeviceType());
            if (!row) continue;
            const bool ok = child->LoadFromCache(std::string(row->image.begin(), row->image.end()));
            emit([&](Sink& s) { s.cache(child->DataId(), child->DeviceType(), row->image.size(), ok); });
            diag(ok ? 2 : 1, "cached image of " + child->DeviceType() + " " + std::to_string(child->DataId()) +
                                 " from " + row->time + (ok ? " loaded" : " refused"));
            if (!ok) continue;
            if (auto t = from_stored_time(row->time)) {
                std::lock_guard<std::mutex> lock(origin_mu_);
                stored_[{child->DataId(), child->DeviceType()}] = *t;
            }
            if (child->DeviceType() == sys->rc_type) note_modules(*sys, decode_image(row->record_type, row->image));
        }
    }
}

void Host::start_metrics(const HostSettings& hs) {
    const std::string where = opt_.metrics.empty() ? hs.metrics : opt_.metrics;
    if (where.empty()) return;
    const std::string origin =
        opt_.metrics.empty() ? "the settings file " + opt_.settings + ": \"metrics\"" : std::string("--metrics");
    ListenAddress addr;
    try {
        addr = parse_listen_address(where);
    } catch (const std::exception& e) {
        throw HostError(kExitUsage, origin + " " + e.what());
    }
    const std::string site = !opt_.site.empty() ? opt_.site : !hs.site.empty() ? hs.site : std::to_string(hs.data_id);
    metrics_ = std::make_unique<MetricsState>(site, hs.data_id);
    WebConfig web;
    if (!opt_.web_config.empty() || !hs.web_config.empty()) {
        std::string file = opt_.web_config;
        if (file.empty()) {
            // A relative name is read beside the settings file.
            file = hs.web_config;
            const size_t slash = opt_.settings.rfind('/');
            if (file[0] != '/' && slash != std::string::npos) file = opt_.settings.substr(0, slash + 1) + file;
        }
        try {
            web = load_web_config(file);
        } catch (const std::exception& e) {
            throw HostError(kExitUsage, (opt_.web_config.empty() ? "the settings' \"web_config\": " : "--web-config: ") +
                                            std::string(e.what()));
        }
    }
    try {
        metrics_server_ = std::make_unique<MetricsServer>(addr, *metrics_, HttpLimits{}, std::move(web));
    } catch (const std::exception& e) {
        throw HostError(kExitUsage, origin + " " + where + ": " + e.what());
    }
    events_.add(metrics_.get());
    diag(2, "metrics of site " + site + " at " + metrics_server_->url() + ", live page at " +
                metrics_server_->base_url());
}

void Host::start_snmp(const HostSettings& hs) {
    const std::string where = opt_.snmp_agentx.empty() ? hs.snmp_agentx : opt_.snmp_agentx;
    if (where.empty()) return;
    snmp::SinkOptions o;
    o.agentx = where;
    o.origin = opt_.snmp_agentx.empty() ? "the settings file " + opt_.settings + ": \"snmp\".\"agentx\"" : "--snmp-agentx";
    o.ping_interval_s = hs.snmp_ping_s;
    o.site = !opt_.site.empty() ? opt_.site : !hs.site.empty() ? hs.site : std::to_string(hs.data_id);
    const System& first = *systems_.front();
    o.system_data_id = first.dev->DataId();
    o.system_type = first.dev->DeviceType();
    for (const auto& child : first.dev->GetAllChildVDevices())
        if (child) o.children.push_back({child->DataId(), child->DeviceType()});
    for (size_t k = 1; k < systems_.size(); ++k) {
        const System& sys = *systems_[k];
        snmp::SinkOptions::OtherSystem other{sys.dev->DataId(), sys.dev->DeviceType(), {}};
        for (const auto& child : sys.dev->GetAllChildVDevices())
            if (child) other.children.push_back({child->DataId(), child->DeviceType()});
        o.more_systems.push_back(std::move(other));
    }
    snmp_ = std::make_unique<snmp::SnmpSink>(o, [this](int level, const std::string& text) { diag(level, text); });
    events_.add(snmp_.get());
    for (const StoredAlarm& a : restored_) {
        const auto since = from_stored_time(a.since);
        snmp_->feed().restored({a.data_id, a.device_type, a.key, a.sequence, a.signal_id, a.level, a.name, a.instance},
                               since ? *since : SystemClock::now());
    }
}

void Host::start_uplink(const HostSettings& hs) {
    if (!uplink_choice_.enabled) return;
    uplink::UplinkOptions o;
    o.settings = uplink_choice_.settings;
    const std::string site = !opt_.site.empty() ? opt_.site : hs.site;
    o.node = !o.settings.node.empty() ? o.settings.node : !site.empty() ? site : std::to_string(hs.data_id);
    if (!uplink::valid_sparkplug_id(o.node))
        throw HostError(kExitSettingValue, "the uplink's node id \"" + o.node +
                                               "\" (the site label) holds '/', '+' or '#': set \"uplink\".\"node\" in " +
                                               opt_.settings);
    o.history = opt_.history;
    if (store_) o.flush_history = [this] { store_->commit(); };
    uplink_ = std::make_unique<uplink::UplinkSink>(o, [this](int level, const std::string& text) { diag(level, text); });
    events_.add(uplink_.get());
    if (metrics_)
        metrics_->set_uplink([u = uplink_.get()] {
            const uplink::UplinkStatus s = u->status();
            return MetricsState::UplinkFigures{s.connected, s.sent_bytes, s.broker, s.state, s.since, s.replay_pending_ms};
        });
    diag(2, "uplink to " + o.settings.url + " as node " + o.settings.group + "/" + o.node);
}

// The command line before the settings; a port before the simulator.
std::string Host::choose_port(const HostSettings& hs, StartInfo& info) {
    if (!opt_.port.empty()) return opt_.port;
    if (!opt_.simulate && !hs.simulate) {
        if (!hs.port.empty()) return hs.port;
        throw HostError(kExitUsage, "no line to poll: give --port DEV (or \"port\" in " + opt_.settings +
                                        "), or --simulate for the built-in simulator");
    }
    info.simulated = true;
    return "";
}

void Host::open_line(const HostSettings& hs) {
    baud_ = opt_.baud > 0 ? opt_.baud : hs.baud;
    line_settings_ = hs.line;
    line_settings_.baud = baud_;
    if (opt_.data_bits > 0) line_settings_.data_bits = opt_.data_bits;
    if (!opt_.parity.empty()) parse_parity(opt_.parity, line_settings_.parity);
    if (opt_.stop_bits > 0) line_settings_.stop_bits = opt_.stop_bits;
    if (!opt_.flow_control.empty()) parse_flow(opt_.flow_control, line_settings_.flow);
    if (opt_.rs485) line_settings_.rs485 = true;
    StartInfo info;
    info.plugin = opt_.plugin;
    info.device_type = systems_.front()->dev->DeviceType();
    info.data_id = systems_.front()->dev->DataId();
    info.baud = baud_;
    for (const auto& sys : systems_) {
        info.systems.push_back(sys->ref);
        for (const auto& [id, owner] : by_id_)
            if (owner == sys.get()) info.system_of[id] = info.systems.size() - 1;
    }
    if (port_.empty()) {
        std::string plant = opt_.plant;
        if (plant.empty() && !hs.plant.empty()) {
            plant = hs.plant;
            // A relative plant path is read beside the settings file.
            const size_t slash = opt_.settings.rfind('/');
            if (plant[0] != '/' && slash != std::string::npos) plant = opt_.settings.substr(0, slash + 1) + plant;
        }
        if (plant.empty()) plant = opt_.default_plant;
        builtin_ = std::make_unique<BuiltinSim>(plant, baud_);
        port_ = builtin_->path();
        info.simulated = true;
        info.plant = plant;
        diag(2, "simulating " + plant + " on " + port_);
    }
    info.port = port_;
    if (!opt_.record.empty()) {
        try {
            recorder_ = std::make_unique<wire::WireRecorder>(opt_.record);
        } catch (const std::exception& e) {
            throw HostError(kExitUsage, "the record file " + opt_.record + ": " + e.what());
        }
    }
    open_port();  // throws: the first opening decides the exit code
    emit([&](Sink& s) { s.start(info); });
    opened_ = Steady::now();
    last_progress_ = opened_;
    opened_wall_ = SystemClock::now();
    next_status_ = opened_;
}

// Opens the port and hands it to the devices: one system directly, several through a
// line they share one command at a time. Throws PortError.
bool Host::open_port() {
    auto line = std::make_shared<SerialLine>(io_, port_, line_settings_);
    line->on_written = [this](const uint8_t* p, size_t n) {
        // A command is written whole: its frame address names the system it is for.
        if (const auto adr = command_address(p, n))
            if (System* s = system_at(*adr)) current_ = s;
        System& s = *current_;
        if (!s.cycle_open) {
            s.cycle_open = true;
            s.cycle_start = Steady::now();
            emit([&, n = s.cycles + 1](Sink& k) { k.cycle_begun(s.ref, n); });
        }
        s.tx += n;
        if (recorder_) recorder_->add(wire::Direction::ToDevice, p, n);
        tx_frames_.feed(p, n);
        for (const std::string& f : frames_[0].feed(p, n)) watch_frames("TX", f);
    };
    line_ = line;
    port_open_ = true;
    shared_.reset();
    if (systems_.size() > 1) shared_ = std::make_shared<devhost::SharedLine>(line);
    for (const auto& sys : systems_) {
        System* sp = sys.get();
        std::shared_ptr<devhost::Transport> port = shared_ ? shared_->port(*sp->dev) : line;
        attach_line(*sp->dev, port, baud_, [this, sp](const devhost::LineNotice& n) {
            diag(1, who(*sp) + n.text);
            if (n.kind == devhost::LineNotice::Resync) drop_cycle(*sp);
        });
    }
    std::weak_ptr<SerialLine> weak = line;
    line->start(
        [this](const uint8_t* p, size_t n) {
            current_->rx += n;
            if (recorder_) recorder_->add(wire::Direction::FromDevice, p, n);
            for (const std::string& f : frames_[1].feed(p, n)) watch_frames("RX", f);
            rx_frames_.feed(p, n);
            std::vector<uint64_t> published;
            for (const auto& sys : systems_) published.push_back(sys->publications);
            try {
                if (shared_)
                    shared_->feed(p, n);
                else
                    systems_.front()->dev->process(p, static_cast<int>(n));
            } catch (const std::exception& e) {
                diag(0, std::string("the device failed on a reply: ") + e.what());
            }
            // A poller ends its cycle on the reply whose handling publishes the children's
            // images and leaves no command outstanding.
            for (size_t k = 0; k < systems_.size(); ++k) {
                System* sys = systems_[k].get();
                if (sys->publications != published[k] && !sys->dev->IsProcessing())
                    asio::post(io_, [this, sys] { cycle_done(*sys); });
            }
            // On a shared line a reply frees the line: the system whose turn it is sends once
            // the line has been quiet for the guard time, not at its next refresh.
            if (shared_) pass_turn();
            watch_line();
        },
        [this, weak](const std::string& err) {
            // Only the line in use: a closed one's late errors mean nothing.
            if (weak.lock() == line_) line_failed(err);
        });
    return true;
}

void Host::pass_turn() {
    std::chrono::microseconds guard{0};
    for (const auto& sys : systems_) guard = std::max(guard, devhost::serial_state(*sys->dev).guard_at(baud_));
    turn_timer_->expires_after(guard + std::chrono::microseconds(500));
    turn_timer_->async_wait([this](const asio::error_code& ec) {
        if (ec || !shared_) return;
        const Steady::time_point now = Steady::now();
        for (const auto& sys : systems_)
            if (!devhost::serial_state(*sys->dev).awaiting) refresh(*sys, now);
    });
}

void Host::detach_all() {
    for (const auto& sys : systems_) detach_line(*sys->dev);
}

// A port that fails (a pty whose other side went away, an unplugged adapter) is closed
// and opened again every second; the silence shows as a lost line meanwhile.
void Host::line_failed(const std::string& err) {
    diag(0, "the port " + port_ + " failed (" + err + "); opening it again every second");
    detach_all();
    if (line_) line_->close();
    line_.reset();
    shared_.reset();
    port_open_ = false;
    next_reopen_ = Steady::now() + std::chrono::seconds(1);
}

void Host::watch_frames(const std::string& dir, const std::string& frame) {
    if (level_ >= 3) diag(3, dir + " " + wire::escape_wire(frame));
}

LineStatus Host::line_status(const System& s, Steady::time_point now) const {
    LineStatus l;
    l.system = s.ref;
    l.up = s.line_up;
    l.port_open = port_open_;
    l.port = port_;
    l.last_reply = s.last_reply;
    l.since = s.line_up ? s.up_since : (s.last_reply ? *s.last_reply : opened_wall_);
    l.timeouts_in_row = s.timeouts_in_row;
    l.bad_frames = s.bad_frames;
    l.silence_s = seconds_between(s.last_reply ? s.last_reply_steady : opened_, now);
    return l;
}

// Called after every received chunk and at every tick: a good reply brings a system's line
// up, silence beyond the line time-out takes it down.
void Host::watch_line() {
    const Steady::time_point now = Steady::now();
    // Every decoder sees every byte of the line: the first one's errors are the line's, and
    // they go to the system whose command was out.
    const LineCounters c = line_counters(*systems_.front()->dev);
    if (c.bad_frames != bad_frames_seen_) {
        const uint64_t n = c.bad_frames - bad_frames_seen_;
        current_->bad_frames += n;
        emit([&, n](Sink& s) { s.bad_frames(current_->ref, n); });
        bad_frames_seen_ = c.bad_frames;
    }
    current_->garbage += c.garbage - garbage_seen_;
    garbage_seen_ = c.garbage;
    for (const auto& sys : systems_) watch_system(*sys, now);
}

void Host::watch_system(System& s, Steady::time_point now) {
    const LineCounters c = line_counters(*s.dev);
    // Late answers and the answers a line kept through a loss, all dropped.
    for (; s.stale_seen < c.stale; ++s.stale_seen) emit([&](Sink& k) { k.stale_frame(s.ref); });
    const uint64_t replies = c.replies;
    const int address = systems_.size() > 1 ? s.ref.address : -1;
    if (replies != s.replies_seen) {
        s.replies_seen = replies;
        s.last_reply_steady = now;
        s.last_reply = SystemClock::now();
        s.timeouts_in_row = 0;
        if (!s.line_up) {
            s.line_up = true;
            s.up_since = *s.last_reply;
            diag(1, who(s) + "the line " + port_ + " is up again");
            controller_->batch_check(*s.dev, {line_lost_rule(s.dev->DataId(), port_, address, false)});
            emit([&, l = line_status(s, now)](Sink& k) { k.line(l); });
        }
        return;
    }
    const double silence = seconds_between(s.last_reply ? s.last_reply_steady : opened_, now);
    if (s.line_up && silence >= line_timeout_s_) {
        s.line_up = false;
        diag(0, who(s) + "the line " + port_ + " is lost: no reply for " + std::to_string(static_cast<long>(silence)) +
                    " s");
        if (s.cycles == 0) confirmed_.insert({s.dev->DataId(), "line_lost", 0});
        controller_->batch_check(*s.dev, {line_lost_rule(s.dev->DataId(), port_, address, true)});
        emit([&, l = line_status(s, now)](Sink& k) { k.line(l); });
    }
}

void Host::refresh(System& s, Steady::time_point now) {
    devhost::SerialState& st = devhost::serial_state(*s.dev);
    const bool shared_and_lost = shared_ && !s.line_up;
    // A lost system on a shared line that is not awaiting a reply waits for its next probe.
    if (shared_and_lost && !st.awaiting && !st.holding && now < s.next_probe) return;
    if (s.dev->IsStalled()) {
        ++s.timeouts;
        ++s.timeouts_in_row;
        emit([&](Sink& k) { k.timeout(s.ref); });
        // While the line is lost the lost line is the news, not each time-out.
        if (s.line_up) {
            const std::string what = s.last_command ? fmt::format("to {:02X}_{:02X} from address {}",
                                                                  s.last_command->cid1, s.last_command->cid2,
                                                                  s.last_command->adr)
                                                    : std::string();
            diag(1, who(s) + "no reply in time " + what + " on " + port_ + "; the command goes again");
        }
    }
    const uint64_t sent = st.commands_sent;
    try {
        s.dev->RefreshStatus();
    } catch (const std::exception& e) {
        diag(0, who(s) + std::string("the device failed on a refresh: ") + e.what());
    }
    if (shared_and_lost && st.commands_sent != sent) s.next_probe = now + kLostProbeInterval;
}

void Host::tick() {
    if (const int sig = received_signal()) {
        interrupted_ = true;
        stop(sig == SIGINT ? "interrupted" : "terminated");
        return;
    }
    const Steady::time_point now = Steady::now();
    if (opt_.cycles > 0 && opt_.give_up_s > 0 && seconds_between(last_progress_, now) >= opt_.give_up_s) {
        no_cycle_ = true;
        diag(0, fmt::format("no complete cycle in {:g} s on {}; giving up (--give-up)", opt_.give_up_s, port_));
        stop(fmt::format("no complete cycle in {:g} s", opt_.give_up_s));
        return;
    }
    if (!port_open_ && now >= next_reopen_) {
        try {
            open_port();
            diag(1, "the port " + port_ + " is open again");
        } catch (const PortError& e) {
            if (e.lasting()) {
                diag(0, std::string("the line failed: ") + e.what());
                failed_ = true;
                stop(std::string("line failed: ") + e.what());
                return;
            }
            next_reopen_ = now + std::chrono::seconds(1);
        }
    }
    for (const auto& sys : systems_) refresh(*sys, now);
    watch_line();
    if (now >= next_status_) {
        next_status_ = now + std::chrono::seconds(1);
        for (const auto& sys : systems_) emit([&, l = line_status(*sys, now)](Sink& s) { s.status(l); });
        if (store_) emit([w = history_writes(*store_)](Sink& s) { s.history_writes(w); });
        // A line repeated without end still shows its count now and then.
        std::lock_guard<std::mutex> lock(log_mu_);
        if (log_repeats_ > 0 && now - repeats_reported_ >= std::chrono::seconds(30)) {
            emit([&](Sink& s) { s.log_repeated(*last_log_, log_repeats_); });
            log_repeats_ = 0;
            repeats_reported_ = now;
        }
    }
    timer_->expires_after(refresh_);
    timer_->async_wait([this](const asio::error_code& ec) {
        if (!ec) tick();
    });
}

void Host::on_log(const devhost::LogEvent& e) {
    if (configuring_) init_logs_.push_back(e.text);
    {
        std::lock_guard<std::mutex> lock(log_mu_);
        if (last_log_ && last_log_->data_id == e.data_id && last_log_->text == e.text) {
            ++log_repeats_;
        } else {
            if (log_repeats_ > 0) emit([&](Sink& s) { s.log_repeated(*last_log_, log_repeats_); });
            log_repeats_ = 0;
            last_log_ = e;
            repeats_reported_ = Steady::now();
            emit([&](Sink& s) { s.log(e); });
        }
    }
    // A contradicted setting, recognised by the line's format text; its arguments carry the
    // reported and the configured value.
    using namespace plugin_text;
    std::lock_guard<std::mutex> lock(log_mu_);  // the worker logs too
    if (e.format == kAcNumber || e.format == kDcNumber || e.format == kModuleCount)
        note_count_problem(e.format == kAcNumber ? "ac_number" : e.format == kDcNumber ? "dc_number" : "module_count",
                           e.data_id, arg_text(e, 2), arg_text(e, 1), e.text);
    else if (e.format == kModuleOverflow)
    {
        const System* sys = system_of(e.data_id);
        const int modules = sys ? sys->rc_modules : -1;
        note_count_problem("module_count", e.data_id, modules >= 0 ? std::to_string(modules) : "", "", e.text);
    }
}

void Host::note_count_problem(const std::string& check, uint32_t data_id, std::string expected, std::string reported,
                              const std::string& text) {
    System* sys = system_of(data_id);
    if (!sys) sys = systems_.front().get();
    const uint64_t n = ++sys->config_counts[check];
    if (n < kConfigRepeats || sys->config_reported.count(check)) return;
    sys->config_reported.insert(check);
    if (check == "module_count" && expected == reported) reported.clear();
    ConfigIssue c{data_id, check, expected.empty() ? "the modules it holds" : expected, reported, text, n, sys->ref};
    diag(1, who(*sys) + "the plant contradicts the settings: " + check + " expected " + c.expected + ", reported " +
                (reported.empty() ? "another" : reported));
    emit([&](Sink& s) { s.contradicted(c); });
}

void Host::flush_repeats() {
    std::lock_guard<std::mutex> lock(log_mu_);
    if (log_repeats_ > 0) emit([&](Sink& s) { s.log_repeated(*last_log_, log_repeats_); });
    log_repeats_ = 0;
}

void Host::on_publish(const devhost::ImageEvent& e) {
    System* sys = system_of(e.data_id);
    {
        std::lock_guard<std::mutex> lock(origin_mu_);
        published_[{e.data_id, e.device_type}] = {sys ? sys->cycles + 1 : 0, SystemClock::now()};
    }
    const DecodedImage d = decode_image(e.record_type, e.image);
    if (sys) {
        if (e.device_type == sys->rc_type) note_modules(*sys, d);
        ++sys->publications;
    }
    emit([&](Sink& s) { s.image({e, d, false}); });
}

void Host::on_alarm(const devhost::AlarmEvent& e) {
    emit([&](Sink& s) { s.alarm(e); });
    if (e.raised && e.rule.key == "device_model") {
        // The model the plant reported, as the model reply carried it.
        const System* sys = system_of(e.data_id);
        std::string reported;
        if (sys) {
            std::lock_guard<std::mutex> lock(model_mu_);
            reported = sys->reported_model;
        }
        const ConfigIssue c{e.data_id,       "device_model", e.device_type, reported,
                            e.rule.instance, 1,          sys ? sys->ref : SystemRef{}};
        emit([&](Sink& s) { s.contradicted(c); });
    }
}

// The plant is back after a loss and the cycle starts again: the cycle that was under way
// when the line went silent is given up, not reported as one long cycle full of time-outs.
// The loss itself is reported by the line's events; the next cycle counts from here.
void Host::drop_cycle(System& s) {
    s.cycle_open = false;
    s.tx_mark = s.tx;
    s.rx_mark = s.rx;
    s.bad_mark = s.bad_frames;
    s.timeouts_mark = s.timeouts;
    s.garbage_mark = s.garbage;
}

void Host::cycle_done(System& s) {
    CycleStats c;
    c.system = s.ref;
    c.n = s.cycles + 1;
    // Kept to 0.1 ms, as the history keeps it: every sink shows the same figure.
    c.duration_ms =
        std::round(std::chrono::duration<double, std::milli>(Steady::now() - s.cycle_start).count() * 10.0) / 10.0;
    c.tx_bytes = s.tx - s.tx_mark;
    c.rx_bytes = s.rx - s.rx_mark;
    c.bad_frames = s.bad_frames - s.bad_mark;
    c.timeouts = s.timeouts - s.timeouts_mark;
    c.garbage = s.garbage - s.garbage_mark;
    c.end = SystemClock::now();
    s.total_errors += c.errors();
    c.total_errors = s.total_errors;
    s.tx_mark = s.tx;
    s.rx_mark = s.rx;
    s.bad_mark = s.bad_frames;
    s.timeouts_mark = s.timeouts;
    s.garbage_mark = s.garbage;
    s.cycle_open = false;
    {
        // A complete cycle ends every run of contradicting replies.
        std::lock_guard<std::mutex> lock(log_mu_);
        s.config_counts.clear();
        s.config_reported.clear();
    }
    if (c.n == 1 && !restored_.empty()) {
        // A restored alarm of this system that no rule of its first cycle holds has cleared
        // while the host was away. Queued behind the cycle's history jobs, which clear the
        // ones their rules find inactive. Alarms of devices no system holds go with the
        // first system's first cycle.
        std::vector<StoredAlarm> gone;
        for (const StoredAlarm& a : restored_) {
            const System* owner = system_of(a.data_id);
            if (owner ? owner != &s : &s != systems_.front().get()) continue;
            if (!confirmed_.count({a.data_id, a.key, a.sequence})) gone.push_back(a);
        }
        controller_->run_job([this, gone] {
            for (const StoredAlarm& a : gone) controller_->clear_alarm(a.data_id, a.device_type, a.key, a.sequence);
        });
    }
    s.cycles = c.n;
    last_progress_ = Steady::now();
    flush_repeats();
    // Queued behind the cycle's history jobs, so the cycle line follows its saved images
    // and alarm transitions.
    controller_->run_job([this, c] {
        emit([&](Sink& k) { k.cycle_ended(c); });
    });
    if (opt_.cycles > 0 && cycles_done() >= static_cast<uint64_t>(opt_.cycles)) stop("cycles done");
}

uint64_t Host::cycles_done() const {
    std::optional<uint64_t> up, all;
    for (const auto& s : systems_) {
        const uint64_t n = s->cycles;
        all = all ? std::min(*all, n) : n;
        if (s->line_up) up = up ? std::min(*up, n) : n;
    }
    return up ? *up : all ? *all : 0;
}

void Host::stop(const std::string& reason) {
    if (stop_reason_.empty()) stop_reason_ = reason;
    if (timer_) timer_->cancel();
    if (turn_timer_) turn_timer_->cancel();
    io_.stop();
}

// A query no device of the settings can ever answer is refused before polling starts: a
// data id no system configures (or a top device, which answers none), or a key the device
// does not answer.
void Host::check_queries() const {
    for (const Query& q : opt_.queries) {
        const std::string what = "--query " + q.device + ":" + q.key + ": ";
        std::vector<std::shared_ptr<TXQVDevice>> found;
        if (q.device == "rc") {
            for (const auto& sys : systems_)
                for (const auto& c : sys->dev->GetAllChildVDevices())
                    if (c && c->DataId() == sys->rc_id && c->DeviceType() == sys->rc_type) found.push_back(c);
            if (found.empty())
                throw HostError(kExitUsage, what + "the settings file " + opt_.settings + " configures no rectifier group");
        } else {
            const auto id = static_cast<uint32_t>(std::stoul(q.device));
            for (const auto& sys : systems_) {
                if (sys->dev->DataId() == id)
                    throw HostError(kExitUsage, what + "data id " + q.device + " is a power system's top device, which "
                                                       "answers no queries; ask one of its AC or DC screens, or rc");
                if (auto c = sys->dev->GetChildVDevice(id); c && found.empty()) found.push_back(c);
            }
            if (found.empty())
                throw HostError(kExitUsage, what + "the settings file " + opt_.settings +
                                                " configures no device with data id " + q.device);
        }
        for (const auto& dev : found)
            if (!query_key_known(dev->DeviceType(), q.key))
                throw HostError(kExitUsage, what + "a " + dev->DeviceType() + " device does not answer the key \"" +
                                                q.key + "\" (zrt4600a-host --keys lists the keys)");
    }
}

void Host::answer_queries() {
    const SystemClock::time_point now = SystemClock::now();
    for (const Query& q : opt_.queries) {
        // "rc" asks every system's rectifier child; a data id finds its device in whichever
        // system holds it.
        std::vector<std::pair<uint32_t, std::shared_ptr<TXQVDevice>>> found;
        if (q.device == "rc") {
            for (const auto& sys : systems_) {
                std::shared_ptr<TXQVDevice> child;
                for (const auto& c : sys->dev->GetAllChildVDevices())
                    if (c && c->DataId() == sys->rc_id && c->DeviceType() == sys->rc_type) child = c;
                found.emplace_back(sys->rc_id, child);
            }
        } else {
            const auto id = static_cast<uint32_t>(std::stoul(q.device));
            std::shared_ptr<TXQVDevice> child;
            for (const auto& sys : systems_)
                if (!child) child = sys->dev->GetChildVDevice(id);
            found.emplace_back(id, child);
        }
        for (const auto& [id, child] : found) {
            ValueAnswer a;
            a.device = q.device;
            a.key = q.key;
            if (!child) {
                a.data_id = id;
                a.error = "no such device";
                a.explanation = "the settings configure no device with this data id";
                refused_ = true;
                diag(0, "--query " + q.device + ":" + q.key + " refused: " + a.explanation);
                emit([&](Sink& s) { s.value(a); });
                continue;
            }
            a.data_id = child->DataId();
            a.device_type = child->DeviceType();
            {
                std::lock_guard<std::mutex> lock(origin_mu_);
                const auto key = std::make_pair(a.data_id, a.device_type);
                if (auto p = published_.find(key); p != published_.end()) {
                    a.source = "cycle";
                    a.cycle = p->second.cycle;
                    a.time = p->second.time;
                } else if (auto s = stored_.find(key); s != stored_.end()) {
                    a.source = "stored";
                    a.time = s->second;
                }
                if (a.time) a.age_s = std::chrono::duration<double>(now - *a.time).count();
            }
            try {
                const float value = child->Get_Value(0, q.key);
                a.absent = absent_reason(a.device_type, q.key, value);
                if (a.absent.empty()) a.value = value;
            } catch (const std::exception& e) {
                a.error = e.what();
                a.explanation = refusal_explanation(a.error, !a.source.empty());
                refused_ = true;
            }
            if (!a.error.empty())
                diag(0, "--query " + q.device + ":" + q.key + " refused by data id " + std::to_string(a.data_id) +
                            ": " + a.error + (a.explanation.empty() ? "" : " (" + a.explanation + ")"));
            emit([&](Sink& s) { s.value(a); });
        }
    }
}

}  // namespace

int run_host(const HostOptions& options, int out_fd) {
    Host host(options, out_fd);
    return host.run();
}

}  // namespace zrt::host

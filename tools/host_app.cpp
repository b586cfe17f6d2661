#include "tools/host_app.h"

#include <chrono>
#include <fstream>
#include <iostream>
#include <mutex>
#include <thread>

#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>
#include <json/reader.h>
#include <unistd.h>

#include "devhost/devhost.h"
#include "sim/line.h"
#include "sim/simulator.h"
#include "sim/wire_log.h"
#include "tools/diag_log.h"
#include "tools/history_store.h"
#include "tools/host_error.h"
#include "tools/metrics.h"
#include "tools/output.h"
#include "tools/plugin_loader.h"
#include "tools/serial_line.h"

namespace zrt::host {

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
    std::ifstream in(path);
    if (!in) throw HostError(kExitUsage, "cannot read the settings file " + path);
    Json::CharReaderBuilder b;
    Json::Value doc;
    std::string errs;
    if (!Json::parseFromStream(b, in, &doc, &errs))
        throw HostError(kExitUsage, "the settings file " + path + " is not valid JSON: " + errs);
    if (!doc.isObject()) throw HostError(kExitUsage, "the settings file " + path + " must hold one JSON object");
    return doc;
}

HostSettings host_settings(const Json::Value& s) {
    HostSettings h;
    auto uint_key = [&s](const char* key, unsigned lo, unsigned hi, auto& out) {
        const Json::Value& v = s[key];
        if (v.isNull()) return;
        if (!v.isUInt() || v.asUInt() < lo || v.asUInt() > hi)
            throw HostError(kExitUsage, std::string("settings: \"") + key + "\" must be an integer from " +
                                            std::to_string(lo) + " to " + std::to_string(hi));
        out = static_cast<std::decay_t<decltype(out)>>(v.asUInt());
    };
    auto text_key = [&s](const char* key, std::string& out) {
        const Json::Value& v = s[key];
        if (v.isNull()) return;
        if (!v.isString()) throw HostError(kExitUsage, std::string("settings: \"") + key + "\" must be a text");
        out = v.asString();
    };
    text_key("device_type", h.device_type);
    uint_key("data_id", 0u, 0xFFFFFFFFu, h.data_id);
    text_key("port", h.port);
    uint_key("baud", 50u, 4000000u, h.baud);
    uint_key("refresh_ms", 1u, 10000u, h.refresh_ms);
    uint_key("history_retention", 1u, 100000000u, h.history_retention);
    text_key("metrics", h.metrics);
    text_key("site", h.site);
    return h;
}

namespace {

using Clock = std::chrono::steady_clock;

int level_of(const std::string& name) {
    if (name == "error") return 0;
    if (name == "warn") return 1;
    if (name == "info") return 2;
    if (name == "debug") return 3;
    throw HostError(kExitUsage, "--log-level must be error, warn, info or debug");
}

// The plant simulator on a pseudo-terminal, in a thread of its own.
class BuiltinSim {
public:
    BuiltinSim(const std::string& plant_path, int baud) {
        sim::Scenario s;
        try {
            s = sim::load_scenario(plant_path);
        } catch (const std::exception& e) {
            throw HostError(kExitUsage, std::string("plant: ") + e.what());
        }
        const int delay = s.reply_delay_ms;
        try {
            pty_ = std::make_unique<sim::Pty>();
        } catch (const std::exception& e) {
            throw HostError(kExitPort, std::string("cannot make a pseudo-terminal: ") + e.what());
        }
        sim_ = std::make_unique<sim::Simulator>(std::make_unique<sim::PlantResponder>(std::move(s)));
        runner_ = std::make_unique<sim::LineRunner>(pty_->master(), *sim_, baud, delay);
        thread_ = std::thread([this] {
            try {
                runner_->run(stop_);
            } catch (const std::exception& e) {
                std::cerr << "zrt4600a-host: simulator stopped: " << e.what() << "\n";
            }
        });
    }
    ~BuiltinSim() {
        stop_.store(true);
        if (thread_.joinable()) thread_.join();
    }
    const std::string& path() const { return pty_->path(); }

private:
    std::unique_ptr<sim::Pty> pty_;
    std::unique_ptr<sim::Simulator> sim_;
    std::unique_ptr<sim::LineRunner> runner_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class Host : public devhost::Observer {
public:
    Host(const HostOptions& o, int out_fd) : opt_(o), level_(level_of(o.log_level)) {
        const bool live = !o.json && isatty(out_fd);
        presenter_ = live ? make_live_presenter(out_fd) : make_json_presenter(out_fd);
    }

    int run();

    // Observer: called on the serial thread (publications, plug-in logs, the top device's
    // alarms) and on the history worker (saved images, children's alarms).
    void on_log(const devhost::LogEvent& e) override { presenter_->log(e); }
    void on_publish(const devhost::ImageEvent& e) override {
        presenter_->publish(e);
        if (metrics_) metrics_->publish(e.data_id, e.device_type, e.record_type, e.image);
        // The rectifier child publishes last in every cycle.
        if (e.data_id == rc_id_ && e.device_type == rc_type_) asio::post(io_, [this] { cycle_done(); });
    }
    void on_saved(const devhost::ImageEvent& e) override {
        try {
            store_->save(e.data_id, e.device_type, e.record_type, e.image);
        } catch (const std::exception& ex) {
            diag(0, std::string("history: ") + ex.what());
        }
        presenter_->saved(e);
    }
    void on_alarm(const devhost::AlarmEvent& e) override {
        presenter_->alarm(e);
        if (metrics_)
            metrics_->alarm({e.data_id, e.device_type, e.rule.key, e.rule.name, e.rule.signal_id, e.rule.sequence,
                             e.rule.level},
                            e.raised);
    }

private:
    void diag(int level, const std::string& text) {
        if (level <= level_) write_diag(level, text);
    }
    void start_metrics(const HostSettings& hs);
    void load_caches();
    void open_line(const HostSettings& hs);
    void tick();
    void cycle_done();
    void stop(const std::string& reason);
    void answer_queries();

    HostOptions opt_;
    int level_;
    std::unique_ptr<Presenter> presenter_;
    asio::io_context io_;
    // The store outlives the controller, whose worker saves into it.
    std::unique_ptr<HistoryStore> store_;
    std::shared_ptr<devhost::Controller> controller_;
    std::unique_ptr<Plugin> plugin_;
    std::shared_ptr<TXQSPDevice> dev_;
    uint32_t rc_id_ = 0;
    std::string rc_type_;
    std::unique_ptr<BuiltinSim> builtin_;
    std::shared_ptr<SerialLine> line_;
    std::unique_ptr<sim::WireRecorder> recorder_;
    sim::WireSplitter trace_[2];  // the debug trace of each direction, a frame a line
    std::unique_ptr<asio::steady_timer> timer_;
    std::chrono::milliseconds refresh_{20};
    // The server reads the state: it stops first.
    std::unique_ptr<MetricsState> metrics_;
    std::unique_ptr<MetricsServer> metrics_server_;

    // Cycle accounting, on the serial thread.
    uint64_t cycles_ = 0;
    bool cycle_open_ = false;
    Clock::time_point cycle_start_;
    uint64_t tx_ = 0, rx_ = 0, tx_mark_ = 0, rx_mark_ = 0;
    uint64_t timeouts_ = 0, timeouts_mark_ = 0, bad_mark_ = 0, garbage_mark_ = 0, total_errors_ = 0;
    std::string stop_reason_;
    bool failed_ = false;
};

int Host::run() {
    const Json::Value settings = read_settings(opt_.settings);
    const HostSettings hs = host_settings(settings);
    refresh_ = std::chrono::milliseconds(hs.refresh_ms);

    plugin_ = std::make_unique<Plugin>(opt_.plugin);
    dev_ = plugin_->create(hs.device_type);
    diag(2, "plug-in " + opt_.plugin + " made a " + dev_->DeviceType());

    store_ = std::make_unique<HistoryStore>(opt_.history.empty() ? ":memory:" : opt_.history, hs.history_retention);

    controller_ = std::make_shared<devhost::Controller>(devhost::Controller::JobMode::Worker);
    controller_->record_events = false;  // a long run keeps nothing it does not show
    controller_->add_observer(this);

    if (!dev_->Init(controller_, hs.data_id, settings))
        throw HostError(kExitDevice, "the " + hs.device_type + " device refused the settings " + opt_.settings);
    rc_id_ = dev_->DataId();
    for (const auto& child : dev_->GetAllChildVDevices())
        if (child && child->DataId() == rc_id_) rc_type_ = child->DeviceType();

    load_caches();

    if (opt_.cycles != 0) {
        start_metrics(hs);
        open_line(hs);
        asio::signal_set signals(io_, SIGINT, SIGTERM);
        signals.async_wait([this](const asio::error_code& ec, int sig) {
            if (!ec) stop(sig == SIGINT ? "interrupted" : "terminated");
        });
        timer_ = std::make_unique<asio::steady_timer>(io_);
        tick();
        io_.run();
        dev_->ClosePort();
        line_->close();
        if (recorder_) recorder_->flush();
    } else {
        stop_reason_ = "no cycles asked for";
    }

    controller_->drain();  // every history job of the last cycle has run
    answer_queries();
    presenter_->stop(cycles_, stop_reason_);
    metrics_server_.reset();
    builtin_.reset();
    return failed_ ? kExitRuntime : kExitOk;
}

void Host::load_caches() {
    for (const auto& child : dev_->GetAllChildVDevices()) {
        if (!child) continue;
        auto img = store_->last(child->DataId(), child->DeviceType());
        if (!img) continue;
        const bool ok = child->LoadFromCache(std::string(img->begin(), img->end()));
        presenter_->cache(child->DataId(), child->DeviceType(), img->size(), ok);
        diag(ok ? 2 : 1, "cached image of " + child->DeviceType() + " " + std::to_string(child->DataId()) +
                             (ok ? " loaded" : " refused"));
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
    metrics_ = std::make_unique<MetricsState>(site);
    try {
        metrics_server_ = std::make_unique<MetricsServer>(addr, [m = metrics_.get()](Exposition::Format f) { return m->render(f); });
    } catch (const std::exception& e) {
        throw HostError(kExitUsage, origin + " " + where + ": " + e.what());
    }
    diag(2, "metrics of site " + site + " at " + metrics_server_->url());
}

void Host::open_line(const HostSettings& hs) {
    const int baud = opt_.baud > 0 ? opt_.baud : hs.baud;
    std::string port = opt_.port.empty() ? hs.port : opt_.port;
    StartInfo info{opt_.plugin, dev_->DeviceType(), "", dev_->DataId(), baud, false, ""};
    if (port.empty()) {
        builtin_ = std::make_unique<BuiltinSim>(opt_.plant, baud);
        port = builtin_->path();
        info.simulated = true;
        info.plant = opt_.plant;
        diag(2, "no port given: simulating " + opt_.plant + " on " + port);
    }
    info.port = port;
    line_ = std::make_shared<SerialLine>(io_, port, baud);
    if (!opt_.record.empty()) {
        try {
            recorder_ = std::make_unique<sim::WireRecorder>(opt_.record);
        } catch (const std::exception& e) {
            throw HostError(kExitUsage, e.what());
        }
    }
    presenter_->start(info);

    line_->on_written = [this](const uint8_t* p, size_t n) {
        if (!cycle_open_) {
            cycle_open_ = true;
            cycle_start_ = Clock::now();
        }
        tx_ += n;
        if (recorder_) recorder_->add(sim::Direction::ToDevice, p, n);
        if (level_ >= 3)
            for (const std::string& f : trace_[0].feed(p, n)) diag(3, "TX " + sim::escape_wire(f));
    };
    dev_->OpenPort(line_);
    line_->start(
        [this](const uint8_t* p, size_t n) {
            rx_ += n;
            if (recorder_) recorder_->add(sim::Direction::FromDevice, p, n);
            if (level_ >= 3)
                for (const std::string& f : trace_[1].feed(p, n)) diag(3, "RX " + sim::escape_wire(f));
            try {
                dev_->process(p, static_cast<int>(n));
            } catch (const std::exception& e) {
                diag(0, std::string("the device failed on a reply: ") + e.what());
            }
        },
        [this](const std::string& err) {
            diag(0, "the line failed: " + err);
            if (metrics_) metrics_->set_line_up(false);
            failed_ = true;
            stop("line failed: " + err);
        });
}

void Host::tick() {
    if (dev_->IsStalled()) {
        ++timeouts_;
        diag(1, "no reply in time; the command goes again");
    }
    try {
        dev_->RefreshStatus();
    } catch (const std::exception& e) {
        diag(0, std::string("the device failed on a refresh: ") + e.what());
    }
    timer_->expires_after(refresh_);
    timer_->async_wait([this](const asio::error_code& ec) {
        if (!ec) tick();
    });
}

void Host::cycle_done() {
    const devhost::DecoderStats& ds = dev_->serial_state().decoder.stats();
    CycleStats c;
    c.n = ++cycles_;
    c.duration_ms = std::chrono::duration<double, std::milli>(Clock::now() - cycle_start_).count();
    c.tx_bytes = tx_ - tx_mark_;
    c.rx_bytes = rx_ - rx_mark_;
    c.bad_frames = ds.errors() - bad_mark_;
    c.timeouts = timeouts_ - timeouts_mark_;
    c.garbage = ds.garbage - garbage_mark_;
    total_errors_ += c.errors();
    c.total_errors = total_errors_;
    tx_mark_ = tx_;
    rx_mark_ = rx_;
    bad_mark_ = ds.errors();
    timeouts_mark_ = timeouts_;
    garbage_mark_ = ds.garbage;
    cycle_open_ = false;
    if (metrics_) {
        metrics_->cycle(c);
        metrics_->set_line_up(true);
    }
    // Queued behind the cycle's history jobs, so the cycle line follows its saved images
    // and alarm transitions.
    controller_->run_job([this, c] { presenter_->cycle(c); });
    if (opt_.cycles > 0 && cycles_ >= static_cast<uint64_t>(opt_.cycles)) stop("cycles done");
}

void Host::stop(const std::string& reason) {
    if (stop_reason_.empty()) stop_reason_ = reason;
    if (timer_) timer_->cancel();
    io_.stop();
}

void Host::answer_queries() {
    for (const Query& q : opt_.queries) {
        ValueAnswer a;
        a.device = q.device;
        a.key = q.key;
        std::shared_ptr<TXQVDevice> child;
        if (q.device == "rc") {
            for (const auto& c : dev_->GetAllChildVDevices())
                if (c && c->DataId() == rc_id_ && c->DeviceType() == rc_type_) child = c;
        } else {
            child = dev_->GetChildVDevice(static_cast<unsigned>(std::stoul(q.device)));
        }
        if (!child) {
            a.data_id = q.device == "rc" ? rc_id_ : static_cast<uint32_t>(std::stoul(q.device));
            a.error = "no such device";
            presenter_->value(a);
            continue;
        }
        a.data_id = child->DataId();
        a.device_type = child->DeviceType();
        try {
            a.value = child->Get_Value(0, q.key);
        } catch (const std::exception& e) {
            a.error = e.what();
        }
        presenter_->value(a);
    }
}

}  // namespace

int run_host(const HostOptions& options, int out_fd) {
    Host host(options, out_fd);
    return host.run();
}

}  // namespace zrt::host

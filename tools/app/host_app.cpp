#include "tools/app/host_app.h"

#include <csignal>
#include <map>
#include <mutex>
#include <set>
#include <tuple>

#include "devhost/devhost.h"
#include "tools/app/line_options.h"
#include "tools/app/plugin_loader.h"
#include "tools/app/sink_table.h"
#include "tools/core/diag_log.h"
#include "tools/core/host_error.h"
#include "tools/core/plugin_texts.h"
#include "tools/core/stored_image.h"
#include "tools/history/history_sink.h"
#include "tools/history/history_store.h"
#include "tools/line/builtin_sim.h"
#include "tools/line/line_supervisor.h"
#include "tools/view/log_collapse.h"

namespace zrt::host {

namespace {

int level_of(const std::string& name) {
    if (name == "error") return 0;
    if (name == "warn") return 1;
    if (name == "info") return 2;
    if (name == "debug") return 3;
    throw HostError(kExitUsage, "--log-level must be error, warn, info or debug");
}

// Reports after this many in a row without a complete cycle between them.
constexpr uint64_t kConfigRepeats = 3;

// One power system on the line: what the line supervisor keeps of it, and what the host
// keeps beside (its rectifier child, the settings its plant contradicts).
struct System {
    LineSystem line;
    uint32_t rc_id = 0;
    std::string rc_type;
    // Contradicted settings (under the host's config_mu_): per check, how often in a row,
    // and whether it was reported.
    std::map<std::string, uint64_t> config_counts;
    std::set<std::string> config_reported;
    int rc_modules = -1;  // in the rectifier child's last image
};

class Host : public devhost::Observer {
public:
    Host(const HostOptions& o, int out_fd)
        : opt_(o),
          out_fd_(out_fd),
          level_(level_of(o.log_level)),
          logs_([this](const devhost::LogEvent& e) { emit([&](Sink& s) { s.log(e); }); },
                [this](const devhost::LogEvent& e, uint64_t n) { emit([&](Sink& s) { s.log_repeated(e, n); }); }) {}

    int run();

    // Observer: called on the serial thread (publications, plug-in logs, the top device's
    // alarms) and on the history worker (saved images, children's alarms).
    void on_log(const devhost::LogEvent& e) override;
    void on_publish(const devhost::ImageEvent& e) override;
    void on_saved(const devhost::ImageEvent& e) override {
        // Shown as saved only when the history took it.
        if (history_ && !history_->save(e)) return;
        dispatch_image(events_, e, true);
    }
    void on_rule(uint32_t data_id, const rule_value& r) override {
        // Rules that hold in a system's first cycle keep a restored alarm raised.
        System* sys = system_of(data_id);
        if (r.active && sys && sys->line.book.cycles() == 0) confirm(data_id, r.key, r.sequence);
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
        return systems_.size() > 1 ? "system " + s.line.ref.label() + ": " : std::string();
    }
    System* system_of(uint32_t data_id) const {
        const auto it = by_id_.find(data_id);
        return it == by_id_.end() ? nullptr : it->second;
    }
    System* system_of(const LineSystem& l) const {
        for (const auto& s : systems_)
            if (&s->line == &l) return s.get();
        return nullptr;
    }
    void confirm(uint32_t data_id, const std::string& key, uint32_t sequence) {
        std::lock_guard<std::mutex> lock(confirmed_mu_);
        confirmed_.insert({data_id, key, sequence});
    }
    void build_sinks(SinkRow::When when, SinkContext& ctx);
    void configure(const HostSettings& hs);
    void restore_alarms();
    void load_caches();
    void start_line(const HostSettings& hs, std::string port);
    // The module count of a rectifier image, read through its field table.
    static void note_modules(System& s, const DecodedImage& d) {
        for (const DecodedValue& v : d.values)
            if (v.field && v.field->kind == zrt::field::Kind::count && v.key == "module_count" && v.value)
                s.rc_modules = static_cast<int>(*v.value);
    }
    void note_count_problem(const std::string& check, uint32_t data_id, std::string expected, std::string reported,
                            const std::string& text);
    void cycle_closing(System& s, const CycleStats& c);

    HostOptions opt_;
    int out_fd_;
    int level_;
    // The sinks, built from the table's rows and registered in its order.
    Dispatcher events_;
    std::vector<BuiltSink> sinks_;
    HistorySink* history_ = nullptr;
    QuerySink* queries_ = nullptr;
    // The store outlives the controller, whose worker saves into it.
    std::unique_ptr<HistoryStore> store_;
    std::shared_ptr<devhost::Controller> controller_;
    std::unique_ptr<Plugin> plugin_;
    // The systems on the line, in the settings' order; each device's data id to its system.
    std::vector<std::unique_ptr<System>> systems_;
    std::map<uint32_t, System*> by_id_;
    std::unique_ptr<BuiltinSim> builtin_;
    std::unique_ptr<LineSupervisor> line_;

    // While Init runs, the device's log lines are its reasons for a refusal.
    bool configuring_ = false;
    std::vector<std::string> init_logs_;
    // Identical log lines in a row are shown once, then counted.
    LogCollapse logs_;
    std::mutex config_mu_;

    // Alarms restored from the store, and the rules that held in their system's first cycle.
    std::vector<StoredAlarm> restored_;
    std::mutex confirmed_mu_;
    std::set<std::tuple<uint32_t, std::string, uint32_t>> confirmed_;

    bool interrupted_ = false;
};

void Host::build_sinks(SinkRow::When when, SinkContext& ctx) {
    for (const SinkRow& row : sink_table()) {
        if (row.when != when) continue;
        BuiltSink b = row.make(ctx);
        if (!b.sink) continue;
        events_.add(b.sink.get());
        sinks_.push_back(std::move(b));
    }
}

int Host::run() {
    Json::Value settings = read_settings(opt_.settings);
    if (opt_.address >= 0) {
        if (settings.isMember("systems"))
            throw HostError(kExitUsage, "--address cannot be used with the list of systems in " + opt_.settings +
                                            ": each system's \"address\" is in the list");
        settings["address"] = opt_.address;
    }
    const HostSettings hs = host_settings(settings, opt_.settings);
    check_top_structure(settings, hs.device_type, opt_.settings);
    SinkContext ctx{opt_, hs};
    ctx.out_fd = out_fd_;
    ctx.log_level = level_;
    ctx.diag = [this](int level, const std::string& text) { diag(level, text); };
    ctx.uplink = uplink::uplink_settings(settings, opt_.uplink, opt_.settings);

    plugin_ = std::make_unique<Plugin>(opt_.plugin);
    for (const SystemSettings& cfg : hs.systems) {
        auto sys = std::make_unique<System>();
        sys->line.ref = {cfg.address, cfg.data_id, cfg.name};
        sys->line.dev = plugin_->create(cfg.device_type);
        diag(2, "plug-in " + opt_.plugin + " made a " + sys->line.dev->DeviceType() +
                    (hs.listed ? " for the system at address " + std::to_string(cfg.address) : std::string()));
        systems_.push_back(std::move(sys));
    }

    // A reader (no cycles) leaves the file as it is and shares it with a running writer.
    const bool reader = opt_.cycles == 0;
    store_ = std::make_unique<HistoryStore>(opt_.history.empty() ? ":memory:" : opt_.history, hs.history_retention,
                                            reader ? HistoryStore::Mode::ReadOnly : HistoryStore::Mode::Write);
    store_->set_retention_days(hs.history_days);
    store_->set_rollup_days(hs.history_rollup_days);
    store_->set_commit_interval(hs.history_commit_s);
    if (!store_->notice().empty()) diag(0, "history: " + store_->notice());
    ctx.store = store_.get();
    build_sinks(SinkRow::When::Start, ctx);
    history_ = ctx.history;

    configure(hs);
    for (const auto& sys : systems_) ctx.systems.push_back({sys->line.dev, sys->rc_id, sys->rc_type});
    ctx.cycle_of = [this](uint32_t data_id) -> uint64_t {
        const System* s = system_of(data_id);
        return s ? s->line.book.cycles() + 1 : 0;
    };
    build_sinks(SinkRow::When::Configured, ctx);
    queries_ = ctx.queries;
    std::string port;
    if (opt_.cycles != 0) port = choose_port(opt_, hs);
    if (!reader) restore_alarms();
    ctx.restored = &restored_;
    load_caches();

    std::string stop_reason;
    if (opt_.cycles != 0 && received_signal() == 0) {
        build_sinks(SinkRow::When::Polling, ctx);
        start_line(hs, port);
        line_->run();
        stop_reason = line_->stop_reason();
    } else if (opt_.cycles == 0) {
        stop_reason = "no cycles asked for";
    } else {
        stop_reason = received_signal() == SIGINT ? "interrupted" : "terminated";
        interrupted_ = true;
    }

    controller_->drain();  // every history job of the last cycle has run
    if (!reader && !store_->commit())  // what is held is written before the host ends
        diag(0, "history: cannot write " + store_->path() + ": " + store_->write_state().error +
                    "; what was held since the last write is lost");
    logs_.flush();
    const bool answered = !queries_ || queries_->answer(events_);
    const uint64_t done = line_ ? line_->cycles_done() : 0;
    emit([&](Sink& s) { s.stop(done, stop_reason); });
    for (BuiltSink& b : sinks_) {
        if (b.finish) b.finish();
        if (b.drop_at_end) b.sink.reset();
    }
    builtin_.reset();
    if (line_ && line_->failed()) return kExitRuntime;
    if (interrupted_ && opt_.cycles > 0 && done < static_cast<uint64_t>(opt_.cycles)) return kExitInterrupted;
    if (line_ && line_->gave_up()) return kExitNoCycle;
    if (!answered) return kExitRefused;
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
        const bool ok = sys.line.dev->Init(controller_, cfg.data_id, cfg.settings);
        configuring_ = false;
        if (!ok) {
            std::string why;
            for (const std::string& l : init_logs_) why += (why.empty() ? "" : "; ") + l;
            const std::string which = hs.listed ? " (systems[" + std::to_string(k) + "])" : std::string();
            throw HostError(kExitDevice, "the " + cfg.device_type + " device" + which + " refused the settings " +
                                             opt_.settings + ": " + (why.empty() ? std::string("it gave no reason") : why));
        }
        sys.rc_id = sys.line.dev->DataId();
        sys.line.ref.data_id = sys.rc_id;
        by_id_[sys.rc_id] = &sys;
        for (const auto& child : sys.line.dev->GetAllChildVDevices()) {
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
        for (const auto& child : sys->line.dev->GetAllChildVDevices()) {
            if (!child) continue;
            auto row = store_->last_row(child->DataId(), child->DeviceType());
            if (!row) continue;
            const bool ok = child->LoadFromCache(std::string(row->image.begin(), row->image.end()));
            emit([&](Sink& s) { s.cache(child->DataId(), child->DeviceType(), row->image.size(), ok); });
            diag(ok ? 2 : 1, "cached image of " + child->DeviceType() + " " + std::to_string(child->DataId()) +
                                 " from " + row->time + (ok ? " loaded" : " refused"));
            if (!ok) continue;
            if (auto t = from_stored_time(row->time); t && queries_)
                queries_->stored(child->DataId(), child->DeviceType(), *t);
            if (child->DeviceType() == sys->rc_type)
                note_modules(*sys, decode_stored_image(row->record_type, row->image));
        }
    }
}

void Host::start_line(const HostSettings& hs, std::string port) {
    LineOptions lo = line_options(opt_, hs);
    StartInfo info;
    info.plugin = opt_.plugin;
    info.device_type = systems_.front()->line.dev->DeviceType();
    info.data_id = systems_.front()->line.dev->DataId();
    info.baud = lo.settings.baud;
    std::vector<LineSystem*> lines;
    for (const auto& sys : systems_) {
        info.systems.push_back(sys->line.ref);
        for (const auto& [id, owner] : by_id_)
            if (owner == sys.get()) info.system_of[id] = info.systems.size() - 1;
        lines.push_back(&sys->line);
    }
    if (port.empty()) {
        const std::string plant = plant_file(opt_, hs);
        builtin_ = std::make_unique<BuiltinSim>(plant, lo.settings.baud);
        port = builtin_->path();
        info.simulated = true;
        info.plant = plant;
        diag(2, "simulating " + plant + " on " + port);
    }
    info.port = lo.port = port;

    LineSupervisor::Hooks hooks;
    hooks.diag = [this](int level, const std::string& text) { diag(level, text); };
    hooks.tick = [this] {
        if (const int sig = received_signal()) {
            interrupted_ = true;
            line_->stop(sig == SIGINT ? "interrupted" : "terminated");
        }
    };
    hooks.every_second = [this](Steady::time_point now) {
        emit([w = history_writes(*store_)](Sink& s) { s.history_writes(w); });
        // A line repeated without end still shows its count now and then.
        logs_.remind(now);
    };
    hooks.lost_before_first_cycle = [this](LineSystem& s) { confirm(s.dev->DataId(), "line_lost", 0); };
    hooks.cycle_closing = [this](LineSystem& s, const CycleStats& c) {
        if (System* sys = system_of(s)) cycle_closing(*sys, c);
    };
    hooks.cycle_closed = [this](LineSystem&, const CycleStats&) { logs_.flush(); };
    line_ = std::make_unique<LineSupervisor>(std::move(lo), std::move(lines), *controller_, events_, std::move(hooks));
    line_->open();  // throws: the first opening decides the exit code
    emit([&](Sink& s) { s.start(info); });
}

void Host::on_log(const devhost::LogEvent& e) {
    if (configuring_) init_logs_.push_back(e.text);
    logs_.log(e);
    // A contradicted setting, recognised by the line's format text; its arguments carry the
    // reported and the configured value.
    using namespace plugin_text;
    std::lock_guard<std::mutex> lock(config_mu_);  // the worker logs too
    if (e.format == kAcNumber || e.format == kDcNumber || e.format == kModuleCount) {
        note_count_problem(e.format == kAcNumber ? "ac_number" : e.format == kDcNumber ? "dc_number" : "module_count",
                           e.data_id, arg_text(e, 2), arg_text(e, 1), e.text);
    } else if (e.format == kModuleOverflow) {
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
    ConfigIssue c{data_id, check, expected.empty() ? "the modules it holds" : expected, reported, text, n, sys->line.ref};
    diag(1, who(*sys) + "the plant contradicts the settings: " + check + " expected " + c.expected + ", reported " +
                (reported.empty() ? "another" : reported));
    emit([&](Sink& s) { s.contradicted(c); });
}

void Host::on_publish(const devhost::ImageEvent& e) {
    System* sys = system_of(e.data_id);
    dispatch_image(events_, e, false, [&](const ImageEvent& published) {
        if (!sys) return;
        if (e.device_type == sys->rc_type) note_modules(*sys, published.decoded);
        ++sys->line.publications;
    });
}

void Host::on_alarm(const devhost::AlarmEvent& e) {
    emit([&](Sink& s) { s.alarm(e); });
    if (e.raised && e.rule.key == "device_model") {
        // The model the plant reported, as the model reply carried it.
        const System* sys = system_of(e.data_id);
        const ConfigIssue c{e.data_id,       "device_model", e.device_type, sys ? sys->line.reported_model() : "",
                            e.rule.instance, 1,              sys ? sys->line.ref : SystemRef{}};
        emit([&](Sink& s) { s.contradicted(c); });
    }
}

void Host::cycle_closing(System& s, const CycleStats& c) {
    {
        // A complete cycle ends every run of contradicting replies.
        std::lock_guard<std::mutex> lock(config_mu_);
        s.config_counts.clear();
        s.config_reported.clear();
    }
    if (c.n != 1 || restored_.empty()) return;
    // A restored alarm of this system that no rule of its first cycle holds has cleared while
    // the host was away. Queued behind the cycle's history jobs, which clear the ones their
    // rules find inactive. Alarms of devices no system holds go with the first system's
    // first cycle.
    std::vector<StoredAlarm> gone;
    {
        std::lock_guard<std::mutex> lock(confirmed_mu_);
        for (const StoredAlarm& a : restored_) {
            const System* owner = system_of(a.data_id);
            if (owner ? owner != &s : &s != systems_.front().get()) continue;
            if (!confirmed_.count({a.data_id, a.key, a.sequence})) gone.push_back(a);
        }
    }
    controller_->run_job([this, gone] {
        for (const StoredAlarm& a : gone) controller_->clear_alarm(a.data_id, a.device_type, a.key, a.sequence);
    });
}

}  // namespace

int run_host(const HostOptions& options, int out_fd) {
    Host host(options, out_fd);
    return host.run();
}

}  // namespace zrt::host

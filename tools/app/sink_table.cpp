#include "tools/app/sink_table.h"

#include <unistd.h>

#include "tools/app/query_sink.h"
#include "tools/core/host_error.h"
#include "tools/history/history_sink.h"
#include "tools/history/history_store.h"
#include "tools/line/wire_sink.h"
#include "tools/metrics/http_server.h"
#include "tools/metrics/metrics.h"
#include "tools/snmp/snmp_sink.h"
#include "tools/uplink/uplink_sink.h"
#include "tools/view/output.h"

namespace zrt::host {

namespace {

// The site label: the command line's, the settings', else the first system's data id.
std::string site_of(const SinkContext& c) {
    return !c.opt.site.empty() ? c.opt.site : !c.hs.site.empty() ? c.hs.site : std::to_string(c.hs.data_id);
}

// A file the settings name, relative to the settings file's folder.
std::string beside_settings(const SinkContext& c, std::string file) {
    const size_t slash = c.opt.settings.rfind('/');
    if (!file.empty() && file[0] != '/' && slash != std::string::npos) file = c.opt.settings.substr(0, slash + 1) + file;
    return file;
}

BuiltSink history(SinkContext& c) {
    auto sink = std::make_unique<HistorySink>(*c.store, [d = c.diag](const std::string& t) { d(0, t); });
    c.history = sink.get();
    return {std::move(sink)};
}

BuiltSink view(SinkContext& c) {
    const bool live = !c.opt.json && isatty(c.out_fd);
    return {live ? make_live_sink(c.out_fd) : make_json_sink(c.out_fd)};
}

BuiltSink queries(SinkContext& c) {
    std::vector<QuerySink::System> systems;
    for (const SinkContext::System& s : c.systems) systems.push_back({s.dev, s.rc_id, s.rc_type});
    auto sink = std::make_unique<QuerySink>(c.opt.queries, std::move(systems), c.cycle_of, c.diag);
    sink->check(c.opt.settings);
    c.queries = sink.get();
    return {std::move(sink)};
}

BuiltSink metrics(SinkContext& c) {
    const std::string where = c.opt.metrics.empty() ? c.hs.metrics : c.opt.metrics;
    if (where.empty()) return {};
    const std::string origin =
        c.opt.metrics.empty() ? "the settings file " + c.opt.settings + ": \"metrics\"" : std::string("--metrics");
    ListenAddress addr;
    try {
        addr = parse_listen_address(where);
    } catch (const std::exception& e) {
        throw HostError(kExitUsage, origin + " " + e.what());
    }
    const std::string site = site_of(c);
    auto state = std::make_unique<MetricsState>(site, c.hs.data_id);
    WebConfig web;
    if (!c.opt.web_config.empty() || !c.hs.web_config.empty()) {
        const std::string file = !c.opt.web_config.empty() ? c.opt.web_config : beside_settings(c, c.hs.web_config);
        try {
            web = load_web_config(file);
        } catch (const std::exception& e) {
            throw HostError(kExitUsage, (c.opt.web_config.empty() ? "the settings' \"web_config\": " : "--web-config: ") +
                                            std::string(e.what()));
        }
    }
    std::shared_ptr<MetricsServer> server;
    try {
        server = std::make_shared<MetricsServer>(addr, *state, HttpLimits{}, std::move(web));
    } catch (const std::exception& e) {
        throw HostError(kExitUsage, origin + " " + where + ": " + e.what());
    }
    c.metrics = state.get();
    c.diag(2, "metrics of site " + site + " at " + server->url() + ", live page at " + server->base_url());
    // The server reads the state: it stops first.
    return {std::move(state), [server]() mutable { server.reset(); }};
}

BuiltSink snmp(SinkContext& c) {
    const std::string where = c.opt.snmp_agentx.empty() ? c.hs.snmp_agentx : c.opt.snmp_agentx;
    if (where.empty()) return {};
    snmp::SinkOptions o;
    o.agentx = where;
    o.origin =
        c.opt.snmp_agentx.empty() ? "the settings file " + c.opt.settings + ": \"snmp\".\"agentx\"" : "--snmp-agentx";
    o.ping_interval_s = c.hs.snmp_ping_s;
    o.site = site_of(c);
    TXQSPDevice& first = *c.systems.front().dev;
    o.system_data_id = first.DataId();
    o.system_type = first.DeviceType();
    for (const auto& child : first.GetAllChildVDevices())
        if (child) o.children.push_back({child->DataId(), child->DeviceType()});
    for (size_t k = 1; k < c.systems.size(); ++k) {
        TXQSPDevice& sys = *c.systems[k].dev;
        snmp::SinkOptions::OtherSystem other{sys.DataId(), sys.DeviceType(), {}};
        for (const auto& child : sys.GetAllChildVDevices())
            if (child) other.children.push_back({child->DataId(), child->DeviceType()});
        o.more_systems.push_back(std::move(other));
    }
    auto sink = std::make_unique<snmp::SnmpSink>(o, c.diag);
    if (c.restored)
        for (const StoredAlarm& a : *c.restored) {
            const auto since = from_stored_time(a.since);
            sink->feed().restored({a.data_id, a.device_type, a.key, a.sequence, a.signal_id, a.level, a.name, a.instance},
                                  since ? *since : SystemClock::now());
        }
    snmp::SnmpSink* raw = sink.get();
    return {std::move(sink), [raw] { raw->stop(); }};
}

BuiltSink uplink(SinkContext& c) {
    if (!c.uplink.enabled) return {};
    uplink::UplinkOptions o;
    o.settings = c.uplink.settings;
    const std::string site = !c.opt.site.empty() ? c.opt.site : c.hs.site;
    o.node = !o.settings.node.empty() ? o.settings.node : !site.empty() ? site : std::to_string(c.hs.data_id);
    if (!uplink::valid_sparkplug_id(o.node))
        throw HostError(kExitSettingValue, "the uplink's node id \"" + o.node +
                                               "\" (the site label) holds '/', '+' or '#': set \"uplink\".\"node\" in " +
                                               c.opt.settings);
    o.history = c.opt.history;
    if (HistoryStore* store = c.store) o.flush_history = [store] { store->commit(); };
    auto sink = std::make_unique<uplink::UplinkSink>(o, c.diag);
    if (c.metrics)
        c.metrics->set_uplink([u = sink.get()] {
            const uplink::UplinkStatus s = u->status();
            return MetricsState::UplinkFigures{s.connected, s.sent_bytes, s.broker, s.state, s.since, s.replay_pending_ms};
        });
    c.diag(2, "uplink to " + o.settings.url + " as node " + o.settings.group + "/" + o.node);
    return {std::move(sink), {}, true};
}

BuiltSink wire(SinkContext& c) {
    auto sink = std::make_unique<WireSink>(c.opt.record, c.log_level >= 3, c.diag);
    if (sink->idle()) return {};
    return {std::move(sink)};
}

}  // namespace

const std::vector<SinkRow>& sink_table() {
    using W = SinkRow::When;
    static const std::vector<SinkRow> rows = {
        {"history", W::Start, history},
        {"view", W::Start, view},
        {"queries", W::Configured, queries},
        {"metrics", W::Polling, metrics},
        {"snmp", W::Polling, snmp},
        {"uplink", W::Polling, uplink},
        {"wire", W::Polling, wire},
    };
    return rows;
}

}  // namespace zrt::host

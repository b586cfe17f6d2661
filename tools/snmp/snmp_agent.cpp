#include "tools/snmp/snmp_agent.h"

#include <sys/select.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>
#include <net-snmp/agent/agent_callbacks.h>

#include "tools/snmp/snmp_feed.h"
#include "tools/snmp/snmp_model.h"

namespace zrt::snmp {

struct SnmpAgent::Impl {
    AgentOptions opt;
    SnmpFeed& feed;
    std::function<void(int, const std::string&)> diag;
    std::atomic<bool>& connected;
    std::atomic<bool> stop{false};

    // The instances answered, rendered again when the feed changed or a second went by
    // (ages and stale devices move with time).
    VarMap vars;
    uint64_t vars_version = ~0ull;
    Steady::time_point vars_at{};

    // What was said about the master, so that each state is said once.
    bool ever_connected = false;
    bool absence_reported = false;
    bool drop_reported = false;
    bool refusal_reported = false;  // the master refused the tables (said once a connection)
    uint64_t dropped = 0;
    // The library keeps state files (certificate indexes) in its persistent directory,
    // /var/lib/snmp by default, even when told to persist nothing. Unless SNMP_PERSISTENT_DIR
    // names one, it gets a private directory of this run, removed at the end.
    std::string private_dir;

    Impl(AgentOptions o, SnmpFeed& f, std::function<void(int, const std::string&)> d, std::atomic<bool>& c)
        : opt(std::move(o)), feed(f), diag(std::move(d)), connected(c) {}

    const VarMap& current() {
        const Steady::time_point now = Steady::now();
        const uint64_t v = feed.version();
        if (v != vars_version || now - vars_at >= std::chrono::seconds(1)) {
            vars = render(feed.snapshot(), {static_cast<uint32_t>(netsnmp_get_agent_uptime()), now});
            vars_version = v;
            vars_at = now;
        }
        return vars;
    }

    void run();
    void init();
    void loop();
    void send(const Notice& n);
    void on_connected(bool up);
};

namespace {

std::atomic<bool> g_in_use{false};

std::vector<oid> to_oids(const Oid& o) { return std::vector<oid>(o.begin(), o.end()); }

// Sets a varbind's type and value from an instance.
void set_value(netsnmp_variable_list* vb, const Var& v) {
    switch (v.kind) {
    case Var::Kind::Octets:
        snmp_set_var_typed_value(vb, ASN_OCTET_STR, v.octets.data(), v.octets.size());
        return;
    case Var::Kind::ObjectId: {
        const std::vector<oid> o = to_oids(v.oid);
        snmp_set_var_typed_value(vb, ASN_OBJECT_ID, o.data(), o.size() * sizeof(oid));
        return;
    }
    case Var::Kind::Integer: snmp_set_var_typed_integer(vb, ASN_INTEGER, static_cast<long>(v.num)); return;
    case Var::Kind::Gauge: snmp_set_var_typed_integer(vb, ASN_GAUGE, static_cast<long>(v.num)); return;
    case Var::Kind::Counter: snmp_set_var_typed_integer(vb, ASN_COUNTER, static_cast<long>(v.num)); return;
    case Var::Kind::Unsigned: snmp_set_var_typed_integer(vb, ASN_UNSIGNED, static_cast<long>(v.num)); return;
    case Var::Kind::TimeTicks: snmp_set_var_typed_integer(vb, ASN_TIMETICKS, static_cast<long>(v.num)); return;
    }
}

bool under(const Oid& o, const oid* root, size_t len) {
    if (o.size() < len) return false;
    for (size_t i = 0; i < len; ++i)
        if (o[i] != root[i]) return false;
    return true;
}

// One handler for every table: a GET is a lookup, a GETNEXT the next instance within the
// registration. A GETNEXT past the last instance leaves the varbind alone, and the agent
// goes on to the next registration.
int handle_request(netsnmp_mib_handler* handler, netsnmp_handler_registration* reg,
                   netsnmp_agent_request_info* reqinfo, netsnmp_request_info* requests) {
    auto* self = static_cast<SnmpAgent::Impl*>(handler->myvoid);
    const VarMap& vars = self->current();
    for (netsnmp_request_info* r = requests; r; r = r->next) {
        if (r->processed) continue;
        netsnmp_variable_list* vb = r->requestvb;
        Oid asked;
        asked.reserve(vb->name_length);
        for (size_t i = 0; i < vb->name_length; ++i) asked.push_back(static_cast<uint32_t>(vb->name[i]));
        switch (reqinfo->mode) {
        case MODE_GET: {
            auto it = vars.find(asked);
            if (it == vars.end())
                netsnmp_set_request_error(reqinfo, r, SNMP_NOSUCHINSTANCE);
            else
                set_value(vb, it->second);
            break;
        }
        case MODE_GETNEXT: {
            auto it = r->inclusive ? vars.lower_bound(asked) : vars.upper_bound(asked);
            if (it != vars.end() && under(it->first, reg->rootoid, reg->rootoid_len)) {
                const std::vector<oid> name = to_oids(it->first);
                snmp_set_var_objid(vb, name.data(), name.size());
                set_value(vb, it->second);
            }
            break;
        }
        default:
            netsnmp_set_request_error(reqinfo, r, SNMP_ERR_NOTWRITABLE);
        }
    }
    return SNMP_ERR_NOERROR;
}

// The library frees a callback's client argument when it shuts down, so each callback gets
// a malloc'd holder of the subagent's state rather than the state itself.
struct Hook {
    SnmpAgent::Impl* self;
};
void* hook(SnmpAgent::Impl* self) {
    auto* h = static_cast<Hook*>(std::malloc(sizeof(Hook)));
    if (!h) throw std::bad_alloc();
    h->self = self;
    return h;
}
SnmpAgent::Impl* self_of(void* client_arg) { return static_cast<Hook*>(client_arg)->self; }

int on_log(int, int, void* server_arg, void* client_arg) {
    SnmpAgent::Impl* self = self_of(client_arg);
    const auto* m = static_cast<const snmp_log_message*>(server_arg);
    std::string text = m && m->msg ? m->msg : "";
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    const std::string plain = plain_netsnmp_text(text, self->opt.address.text);
    if (!plain.empty()) {
        // Once for all the tables the master refuses at one registration.
        if (!self->refusal_reported) self->diag(1, "SNMP: " + plain);
        self->refusal_reported = true;
        return 0;
    }
    // The library's own connection messages repeat at every try; the subagent reports the
    // master's state itself.
    // Missing MIB texts are no trouble: every OID here is numeric.
    const bool serious = m && m->priority <= LOG_ERR && text.find("agentx") == std::string::npos &&
                         text.find("AgentX") == std::string::npos && text.find("Cannot find module") == std::string::npos &&
                         text.find("MIB search path") == std::string::npos;
    if (!text.empty()) self->diag(serious ? 1 : 3, "SNMP: net-snmp: " + text);
    return 0;
}

int on_index_start(int, int, void*, void* client_arg) {
    self_of(client_arg)->on_connected(true);
    return 0;
}
int on_index_stop(int, int, void*, void* client_arg) {
    self_of(client_arg)->on_connected(false);
    return 0;
}

}  // namespace

void SnmpAgent::Impl::on_connected(bool up) {
    // Every registration is news (a master restarted quickly may be found gone and back at
    // once, without a stop in between); a loss only when it was registered.
    if (connected.exchange(up) == up && !up) return;
    const std::string where = "the AgentX master at " + opt.address.text;
    if (up) {
        diag(2, "SNMP: registered with " + where);
        ever_connected = true;
        absence_reported = false;
        if (dropped > 0) diag(1, "SNMP: " + std::to_string(dropped) + " notifications were not sent while the master was away");
        dropped = 0;
        drop_reported = false;
    } else if (!absence_reported) {
        refusal_reported = false;
        absence_reported = true;
        diag(1, "SNMP: lost " + where + "; trying again every " + std::to_string(opt.ping_interval_s) + " s");
    }
}

void SnmpAgent::Impl::init() {
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 1);
    netsnmp_ds_set_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_X_SOCKET, opt.address.text.c_str());
    // The host's threads must never see SIGALRM: the library's timers run in this loop.
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_ALARM_DONT_USE_SIG, 1);
    // Nothing read from or written to the system's net-snmp configuration and state folders;
    // no MIB texts needed (every OID is numeric).
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_LOAD_HOST_FILES, 1);
    netsnmp_set_mib_directory("/nonexistent");
    const char* configured = std::getenv("SNMP_PERSISTENT_DIR");
    if (!configured || !*configured) {
        const char* tmp = std::getenv("TMPDIR");
        std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/zrt4600a-snmp.XXXXXX";
        if (!mkdtemp(templ.data()))
            throw std::runtime_error("cannot make a directory for net-snmp's state files (" + templ +
                                     "): " + std::strerror(errno));
        private_dir = templ;
        set_persistent_directory(private_dir.c_str());
    }
    snmp_disable_log();
    snmp_enable_calllog();
    snmp_register_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_LOGGING, on_log, hook(this));
    snmp_register_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_START, on_index_start, hook(this));
    snmp_register_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_STOP, on_index_stop, hook(this));

    if (init_agent(opt.name.c_str()) != 0) throw std::runtime_error("net-snmp's agent library did not start");
    // init_agent() sets the ping interval to its own default (15 s), so it is set here,
    // before init_snmp() makes the first connection: the interval is both how often a
    // registered master is pinged and how often a lost or absent one is tried again.
    netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_PING_INTERVAL, opt.ping_interval_s);
    for (const auto& [name, root] : {std::make_pair("entPhysicalTable", kEntPhysicalTable),
                                     std::make_pair("entPhySensorTable", kEntPhySensorTable),
                                     std::make_pair("zrt4600aObjects", kZrtObjects)}) {
        const std::vector<oid> o = to_oids(root);
        netsnmp_handler_registration* reg =
            netsnmp_create_handler_registration(name, handle_request, o.data(), o.size(), HANDLER_CAN_RONLY);
        if (!reg) throw std::runtime_error(std::string("cannot register ") + name);
        reg->handler->myvoid = this;
        if (netsnmp_register_handler(reg) != MIB_REGISTERED_OK)
            throw std::runtime_error(std::string("cannot register ") + name);
    }
    init_snmp(opt.name.c_str());
}

void SnmpAgent::Impl::send(const Notice& n) {
    if (!connected.load()) {
        ++dropped;
        if (!drop_reported) {
            drop_reported = true;
            diag(1, "SNMP: notifications are dropped until a master is there");
        }
        return;
    }
    netsnmp_variable_list* vars = nullptr;
    const std::vector<oid> trap_oid = to_oids(kSnmpTrapOid);
    const std::vector<oid> which = to_oids(notice_oid(n.kind));
    snmp_varlist_add_variable(&vars, trap_oid.data(), trap_oid.size(), ASN_OBJECT_ID, which.data(),
                              which.size() * sizeof(oid));
    for (const auto& [name, value] : notice_vars(n)) {
        const std::vector<oid> o = to_oids(name);
        netsnmp_variable_list* vb = snmp_varlist_add_variable(&vars, o.data(), o.size(), ASN_NULL, nullptr, 0);
        if (vb) set_value(vb, value);
    }
    send_v2trap(vars);
    snmp_free_varbind(vars);
}

void SnmpAgent::Impl::loop() {
    if (!connected.load() && !absence_reported) {
        absence_reported = true;
        diag(1, "SNMP: no AgentX master at " + opt.address.text + "; the host polls on and tries again every " +
                    std::to_string(opt.ping_interval_s) + " s");
    }
    while (!stop.load()) {
        for (const Notice& n : feed.take_notices()) send(n);
        int numfds = 0, block = 0;
        fd_set fds;
        FD_ZERO(&fds);
        timeval tv{};
        snmp_select_info(&numfds, &fds, &tv, &block);
        // Wakes at least ten times a second for notifications and the stop.
        if (block || tv.tv_sec > 0 || tv.tv_usec > 100000) tv = {0, 100000};
        const int n = select(numfds, &fds, nullptr, nullptr, &tv);
        if (n > 0)
            snmp_read(&fds);
        else if (n == 0)
            snmp_timeout();
        run_alarms();
        netsnmp_check_outstanding_agent_requests();
    }
}

void SnmpAgent::Impl::run() {
    try {
        init();
        loop();
    } catch (const std::exception& e) {
        diag(0, std::string("SNMP: the subagent stopped: ") + e.what() + "; the host polls on");
    }
    snmp_shutdown(opt.name.c_str());
    connected.store(false);
    if (!private_dir.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(private_dir, ignored);
    }
}

SnmpAgent::SnmpAgent(AgentOptions options, SnmpFeed& feed, std::function<void(int, const std::string&)> diag) {
    if (g_in_use.exchange(true)) throw std::logic_error("one SNMP subagent per process");
    impl_ = std::make_unique<Impl>(std::move(options), feed, std::move(diag), connected_);
    thread_ = std::thread([this] { impl_->run(); });
}

SnmpAgent::~SnmpAgent() {
    impl_->stop.store(true);
    if (thread_.joinable()) thread_.join();
    g_in_use.store(false);
}

}  // namespace zrt::snmp

#include "tools/app/query_sink.h"

#include "tools/core/field_text.h"
#include "tools/core/host_error.h"

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

QuerySink::QuerySink(std::vector<Query> queries, std::vector<System> systems,
                     std::function<uint64_t(uint32_t)> cycle_of, std::function<void(int, const std::string&)> diag)
    : queries_(std::move(queries)), systems_(std::move(systems)), cycle_of_(std::move(cycle_of)), diag_(std::move(diag)) {}

void QuerySink::check(const std::string& settings_file) const {
    for (const Query& q : queries_) {
        const std::string what = "--query " + q.device + ":" + q.key + ": ";
        std::vector<std::shared_ptr<TXQVDevice>> found;
        if (q.device == "rc") {
            for (const System& sys : systems_)
                for (const auto& c : sys.dev->GetAllChildVDevices())
                    if (c && c->DataId() == sys.rc_id && c->DeviceType() == sys.rc_type) found.push_back(c);
            if (found.empty())
                throw HostError(kExitUsage, what + "the settings file " + settings_file + " configures no rectifier group");
        } else {
            const auto id = static_cast<uint32_t>(std::stoul(q.device));
            for (const System& sys : systems_) {
                if (sys.dev->DataId() == id)
                    throw HostError(kExitUsage, what + "data id " + q.device + " is a power system's top device, which "
                                                       "answers no queries; ask one of its AC or DC screens, or rc");
                if (auto c = sys.dev->GetChildVDevice(id); c && found.empty()) found.push_back(c);
            }
            if (found.empty())
                throw HostError(kExitUsage, what + "the settings file " + settings_file +
                                                " configures no device with data id " + q.device);
        }
        for (const auto& dev : found)
            if (!query_key_known(dev->DeviceType(), q.key))
                throw HostError(kExitUsage, what + "a " + dev->DeviceType() + " device does not answer the key \"" +
                                                q.key + "\" (zrt4600a-host --keys lists the keys)");
    }
}

void QuerySink::stored(uint32_t data_id, const std::string& device_type, SystemClock::time_point time) {
    std::lock_guard<std::mutex> lock(mu_);
    stored_[{data_id, device_type}] = time;
}

void QuerySink::image(const ImageEvent& e) {
    if (e.saved) return;
    const uint64_t cycle = cycle_of_ ? cycle_of_(e.raw.data_id) : 0;
    std::lock_guard<std::mutex> lock(mu_);
    published_[{e.raw.data_id, e.raw.device_type}] = {cycle, SystemClock::now()};
}

bool QuerySink::answer(const Dispatcher& events) {
    bool refused = false;
    const SystemClock::time_point now = SystemClock::now();
    for (const Query& q : queries_) {
        // "rc" asks every system's rectifier child; a data id finds its device in whichever
        // system holds it.
        std::vector<std::pair<uint32_t, std::shared_ptr<TXQVDevice>>> found;
        if (q.device == "rc") {
            for (const System& sys : systems_) {
                std::shared_ptr<TXQVDevice> child;
                for (const auto& c : sys.dev->GetAllChildVDevices())
                    if (c && c->DataId() == sys.rc_id && c->DeviceType() == sys.rc_type) child = c;
                found.emplace_back(sys.rc_id, child);
            }
        } else {
            const auto id = static_cast<uint32_t>(std::stoul(q.device));
            std::shared_ptr<TXQVDevice> child;
            for (const System& sys : systems_)
                if (!child) child = sys.dev->GetChildVDevice(id);
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
                refused = true;
                diag_(0, "--query " + q.device + ":" + q.key + " refused: " + a.explanation);
                events.each([&](Sink& s) { s.value(a); });
                continue;
            }
            a.data_id = child->DataId();
            a.device_type = child->DeviceType();
            {
                std::lock_guard<std::mutex> lock(mu_);
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
                refused = true;
            }
            if (!a.error.empty())
                diag_(0, "--query " + q.device + ":" + q.key + " refused by data id " + std::to_string(a.data_id) +
                             ": " + a.error + (a.explanation.empty() ? "" : " (" + a.explanation + ")"));
            events.each([&](Sink& s) { s.value(a); });
        }
    }
    return !refused;
}

}  // namespace zrt::host

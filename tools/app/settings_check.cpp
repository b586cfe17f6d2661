#include "tools/app/settings_check.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>
#include <vector>

#include <json/reader.h>
#include <json/writer.h>

#include "tools/core/host_error.h"

namespace zrt::host {
namespace {

enum class Type {
    Text,
    Bool,
    Unsigned,       // an integer from lo to hi
    Number,         // a finite number from lo to hi
    NumberOrText,   // a finite number from lo to hi, or a text that reads as one
    Object,         // checked key by key
    AnyObject,      // any content
    ObjectArray,    // an array; its elements are checked as "<path>[]"
    Choice,         // one of the texts in `choices`, separated by '|'
};

// Where a key may stand. With a list of "systems", the host keys stay at the top, the top
// device's keys go into each system, and the frame layer's keys may stand at the top (for
// every system) and in a system (for that one).
enum class Scope {
    Host,    // the top level only
    Device,  // the top level of a one-system file, or a system of the list
    Both,    // the top level and a system of the list
};

// Stores a checked value into the host's settings; null for the keys the devices read.
using Read = void (*)(HostSettings&, const Json::Value&);

struct Key {
    const char* path;  // "acSetting[].appSetting.diff_v": [] stands for any element
    Type type;
    double lo = 0, hi = 0;
    const char* choices = nullptr;
    Scope scope = Scope::Host;
    Read read = nullptr;  // at the top of the file (a system's own keys are read per system)
};

constexpr Scope kHost = Scope::Host;
constexpr Scope kDevice = Scope::Device;
constexpr Scope kBoth = Scope::Both;

// A value already checked against its row, stored as the member's type.
void assign(std::string& out, const Json::Value& v) { out = v.asString(); }
void assign(bool& out, const Json::Value& v) { out = v.asBool(); }
void assign(int& out, const Json::Value& v) { out = v.asInt(); }
void assign(unsigned& out, const Json::Value& v) { out = v.asUInt(); }
void assign(double& out, const Json::Value& v) { out = v.asDouble(); }
template <auto M>
void host(HostSettings& h, const Json::Value& v) {
    assign(h.*M, v);
}
template <auto M>
void line(HostSettings& h, const Json::Value& v) {
    assign(h.line.*M, v);
}
void parity(HostSettings& h, const Json::Value& v) { parse_parity(v.asString(), h.line.parity); }
void flow(HostSettings& h, const Json::Value& v) { parse_flow(v.asString(), h.line.flow); }

// Every key a settings file may hold. Host keys, the frame layer's keys, then the top
// device's children. A key added to the host or the plug-in is added here.
const Key kKeys[] = {
    // host
    {"device_type", Type::Text, 0, 0, nullptr, kBoth, host<&HostSettings::device_type>},
    {"data_id", Type::Unsigned, 0, 4294967295.0, nullptr, kDevice, host<&HostSettings::data_id>},
    {"systems", Type::ObjectArray},
    {"port", Type::Text, 0, 0, nullptr, kHost, host<&HostSettings::port>},
    {"baud", Type::Unsigned, 50, 4000000, nullptr, kHost, host<&HostSettings::baud>},
    {"data_bits", Type::Unsigned, 5, 8, nullptr, kHost, line<&LineSettings::data_bits>},
    {"parity", Type::Choice, 0, 0, "none|odd|even", kHost, parity},
    {"stop_bits", Type::Unsigned, 1, 2, nullptr, kHost, line<&LineSettings::stop_bits>},
    {"flow_control", Type::Choice, 0, 0, "none|rtscts|xonxoff", kHost, flow},
    {"rs485", Type::Bool, 0, 0, nullptr, kHost, line<&LineSettings::rs485>},
    {"rs485_rts_on_send", Type::Bool, 0, 0, nullptr, kHost, line<&LineSettings::rs485_rts_on_send>},
    {"rs485_delay_before_ms", Type::Unsigned, 0, 1000, nullptr, kHost, line<&LineSettings::rs485_delay_before_ms>},
    {"rs485_delay_after_ms", Type::Unsigned, 0, 1000, nullptr, kHost, line<&LineSettings::rs485_delay_after_ms>},
    {"refresh_ms", Type::Unsigned, 1, 10000, nullptr, kHost, host<&HostSettings::refresh_ms>},
    {"history_retention", Type::Unsigned, 1, 100000000, nullptr, kHost, host<&HostSettings::history_retention>},
    {"history_days", Type::Unsigned, 0, 36500, nullptr, kHost, host<&HostSettings::history_days>},
    {"history_rollup_days", Type::Unsigned, 0, 36500, nullptr, kHost, host<&HostSettings::history_rollup_days>},
    {"history_commit_s", Type::Unsigned, 0, 86400, nullptr, kHost, host<&HostSettings::history_commit_s>},
    {"simulate", Type::Bool, 0, 0, nullptr, kHost, host<&HostSettings::simulate>},
    {"plant", Type::Text, 0, 0, nullptr, kHost, host<&HostSettings::plant>},
    {"line_timeout_s", Type::Number, 0.1, 86400, nullptr, kHost, host<&HostSettings::line_timeout_s>},
    {"metrics", Type::Text, 0, 0, nullptr, kHost, host<&HostSettings::metrics>},
    {"site", Type::Text, 0, 0, nullptr, kHost, host<&HostSettings::site>},
    {"web_config", Type::Text, 0, 0, nullptr, kHost, host<&HostSettings::web_config>},
    {"snmp", Type::Object},
    {"snmp.agentx", Type::Text, 0, 0, nullptr, kHost, host<&HostSettings::snmp_agentx>},
    {"snmp.ping_interval_s", Type::Unsigned, 1, 3600, nullptr, kHost, host<&HostSettings::snmp_ping_s>},
    {"uplink", Type::Object},
    {"uplink.url", Type::Text},
    {"uplink.group", Type::Text},
    {"uplink.node", Type::Text},
    {"uplink.username", Type::Text},
    {"uplink.password_file", Type::Text},
    {"uplink.ca_file", Type::Text},
    {"uplink.cert_file", Type::Text},
    {"uplink.key_file", Type::Text},
    {"uplink.replay_hours", Type::Unsigned, 0, 8760},
    {"uplink.primary_host", Type::Text},
    {"uplink.keepalive_s", Type::Unsigned, 5, 3600},
    // frame layer
    {"address", Type::Unsigned, 0, 255, nullptr, kDevice},
    {"reply_timeout_ms", Type::Unsigned, 1, 600000, nullptr, kBoth},
    {"auto_data_ready", Type::Bool, 0, 0, nullptr, kBoth},
    {"guard_ms", Type::Unsigned, 0, 60000, nullptr, kBoth},
    // top device and its children
    {"acSetting", Type::ObjectArray, 0, 0, nullptr, kDevice},
    {"acSetting[]", Type::Object, 0, 0, nullptr, kDevice},
    {"acSetting[].data_id", Type::Unsigned, 0, 4294967295.0, nullptr, kDevice},
    {"acSetting[].appSetting", Type::Object, 0, 0, nullptr, kDevice},
    {"acSetting[].appSetting.diff_v", Type::NumberOrText, 0, 1e9, nullptr, kDevice},
    {"acSetting[].appSetting.diff_i", Type::NumberOrText, 0, 1e9, nullptr, kDevice},
    {"dcSetting", Type::ObjectArray, 0, 0, nullptr, kDevice},
    {"dcSetting[]", Type::Object, 0, 0, nullptr, kDevice},
    {"dcSetting[].data_id", Type::Unsigned, 0, 4294967295.0, nullptr, kDevice},
    {"dcSetting[].appSetting", Type::Object, 0, 0, nullptr, kDevice},
    {"dcSetting[].appSetting.diff_v", Type::NumberOrText, 0, 1e9, nullptr, kDevice},
    {"dcSetting[].appSetting.diff_i", Type::NumberOrText, 0, 1e9, nullptr, kDevice},
    // handed to the rectifier child, which reads none of it
    {"rcSetting", Type::AnyObject, 0, 0, nullptr, kDevice},
};

// A system of the list: its own keys, and the top device's and the frame layer's.
const std::string kSystemPrefix = "systems[].";
const Key kSystemKeys[] = {
    {"systems[]", Type::Object},
    {"systems[].name", Type::Text},
};

const Key* find_key(const std::string& pattern) {
    for (const Key& k : kSystemKeys)
        if (pattern == k.path) return &k;
    if (pattern.compare(0, kSystemPrefix.size(), kSystemPrefix) == 0) {
        const Key* k = find_key(pattern.substr(kSystemPrefix.size()));
        return k && k->scope != Scope::Host ? k : nullptr;
    }
    for (const Key& k : kKeys)
        if (pattern == k.path) return &k;
    return nullptr;
}

std::string shown(const Json::Value& v) {
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    b["emitUTF8"] = true;
    std::string s = Json::writeString(b, v);
    if (s.size() > 40) s = s.substr(0, 37) + "...";
    return s;
}

std::string range_text(const Key& k) {
    auto num = [](double d) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.10g", d);
        return std::string(buf);
    };
    return "from " + num(k.lo) + " to " + num(k.hi);
}

// A text that reads whole as a finite number ("20", " 0.5").
bool numeric_text(const std::string& s, double& out) {
    const char* begin = s.c_str();
    char* end = nullptr;
    out = std::strtod(begin, &end);
    if (end == begin) return false;
    while (*end == ' ' || *end == '\t') ++end;
    return *end == '\0' && std::isfinite(out);
}

class Checker {
public:
    Checker(const std::string& file, HostSettings* out) : file_(file), out_(out) {}

    void object(const Json::Value& obj, const std::string& pattern, const std::string& shown_path) {
        for (const std::string& name : obj.getMemberNames()) {
            if (!name.empty() && name[0] == '_') continue;
            const std::string p = pattern.empty() ? name : pattern + "." + name;
            const std::string where = shown_path.empty() ? name : shown_path + "." + name;
            const Key* k = find_key(p);
            if (!k) throw HostError(kExitUnknownKey, "unknown settings key " + where + " in " + file_);
            value(*k, obj[name], p, where);
            // Checked, then read; a system's keys go to its device, not to the host.
            if (out_ && k->read && p.compare(0, kSystemPrefix.size(), kSystemPrefix) != 0) k->read(*out_, obj[name]);
        }
    }

private:
    [[noreturn]] void wrong(const std::string& where, const std::string& expected, const Json::Value& v) const {
        throw HostError(kExitSettingValue, "settings key " + where + " in " + file_ + ": expected " + expected +
                                               ", found " + shown(v));
    }

    void value(const Key& k, const Json::Value& v, const std::string& pattern, const std::string& where) {
        switch (k.type) {
        case Type::Text:
            if (!v.isString()) wrong(where, "a text", v);
            break;
        case Type::Bool:
            if (!v.isBool()) wrong(where, "true or false", v);
            break;
        case Type::Unsigned:
            if (!v.isIntegral() || v.isBool() || v.asDouble() < k.lo || v.asDouble() > k.hi)
                wrong(where, "an integer " + range_text(k), v);
            break;
        case Type::Number:
            if (!v.isNumeric() || v.isBool() || !std::isfinite(v.asDouble()) || v.asDouble() < k.lo ||
                v.asDouble() > k.hi)
                wrong(where, "a number " + range_text(k), v);
            break;
        case Type::NumberOrText: {
            double d = 0;
            const bool ok = (v.isNumeric() && !v.isBool() && std::isfinite(d = v.asDouble())) ||
                            (v.isString() && numeric_text(v.asString(), d));
            if (!ok || d < k.lo || d > k.hi) wrong(where, "a number (or a numeric text) " + range_text(k), v);
            break;
        }
        case Type::Choice: {
            const std::string allowed = k.choices;
            bool ok = false;
            if (v.isString())
                for (size_t pos = 0, bar = 0; !ok && pos <= allowed.size(); pos = bar + 1) {
                    bar = std::min(allowed.find('|', pos), allowed.size());
                    ok = allowed.substr(pos, bar - pos) == v.asString();
                }
            if (!ok) {
                std::string listed = allowed;
                std::replace(listed.begin(), listed.end(), '|', ',');
                wrong(where, "one of " + listed, v);
            }
            break;
        }
        case Type::Object:
            if (!v.isObject()) wrong(where, "an object", v);
            object(v, pattern, where);
            break;
        case Type::AnyObject:
            if (!v.isObject()) wrong(where, "an object", v);
            break;
        case Type::ObjectArray: {
            if (!v.isArray()) wrong(where, "an array of objects", v);
            const Key* element = find_key(pattern + "[]");
            for (Json::ArrayIndex i = 0; i < v.size(); ++i) {
                const std::string at = where + "[" + std::to_string(i) + "]";
                if (!v[i].isObject()) wrong(at, "an object", v[i]);
                const bool system = pattern == "systems";
                if (!v[i].isMember("data_id"))
                    wrong(at + ".data_id", system ? "the system's data id" : "the screen's data id", Json::Value());
                if (system && v[i].isObject() && !v[i].isMember("address"))
                    wrong(at + ".address", "the system's frame address", Json::Value());
                if (element) object(v[i], pattern + "[]", at);
            }
            break;
        }
        }
    }

    std::string file_;
    HostSettings* out_;
};

// Checks the whole file and, with `out`, reads the host's keys into it in the same walk.
void check_and_read(const Json::Value& s, const std::string& file, HostSettings* out) {
    if (!s.isObject()) throw HostError(kExitUsage, "the settings file " + file + " must hold one JSON object");
    Checker(file, out).object(s, "", "");

    const bool listed = s.isMember("systems");
    if (listed) {
        // With a list, each system holds its top device's keys; one left at the top would
        // be read by no one.
        for (const std::string& name : s.getMemberNames()) {
            const Key* k = find_key(name);
            if (k && k->scope == Scope::Device)
                throw HostError(kExitUnknownKey, "settings key " + name + " in " + file +
                                                     ": with \"systems\" it belongs in each system");
        }
        if (s["systems"].empty())
            throw HostError(kExitSettingValue, "settings key systems in " + file + ": expected at least one system");
    }

    // One device per data id, across every system: the AC and DC screens and the top device
    // (whose id the rectifier child shares). The history store and the value queries find a
    // device by it.
    std::map<uint32_t, std::string> owner;
    std::map<uint32_t, std::string> address_of;
    auto claim = [&](uint32_t id, const std::string& where, const std::string& what) {
        const auto [it, fresh] = owner.emplace(id, where + what);
        if (!fresh)
            throw HostError(kExitDuplicateId, "settings key " + where + " in " + file + ": data id " +
                                                  std::to_string(id) + " is already used by " + it->second);
    };
    const Json::ArrayIndex count = listed ? s["systems"].size() : 1;
    for (Json::ArrayIndex n = 0; n < count; ++n) {
        const Json::Value& sys = listed ? s["systems"][n] : s;
        const std::string at = listed ? "systems[" + std::to_string(n) + "]." : "";
        if (listed) {
            const uint32_t adr = sys["address"].asUInt();
            const auto [it, fresh] = address_of.emplace(adr, at + "address");
            if (!fresh)
                throw HostError(kExitSettingValue, "settings key " + at + "address in " + file + ": address " +
                                                       std::to_string(adr) + " is already used by " + it->second);
        }
        claim(sys.isMember("data_id") ? sys["data_id"].asUInt() : 1u, at + "data_id", " (the top device)");
        for (const char* list : {"acSetting", "dcSetting"}) {
            const Json::Value& entries = sys[list];
            for (Json::ArrayIndex i = 0; i < entries.size(); ++i)
                claim(entries[i]["data_id"].asUInt(), at + list + "[" + std::to_string(i) + "].data_id", "");
        }
    }
}

}  // namespace

void check_settings(const Json::Value& s, const std::string& file) { check_and_read(s, file, nullptr); }

HostSettings host_settings(const Json::Value& s, const std::string& file) {
    HostSettings h;
    check_and_read(s, file, &h);
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

void check_top_structure(const Json::Value& s, const std::string& device_type, const std::string& file) {
    const bool listed = s.isMember("systems");
    for (Json::ArrayIndex n = 0; n < (listed ? s["systems"].size() : 1); ++n) {
        const Json::Value& sys = listed ? s["systems"][n] : s;
        const std::string type = sys.isMember("device_type") ? sys["device_type"].asString() : device_type;
        if (type != "zrt4600a") continue;
        const std::string where = listed ? "systems[" + std::to_string(n) + "]." : "";
        if (!sys.isMember("rcSetting"))
            throw HostError(kExitDevice, "the " + type + " device refused the settings " + file + ": \"" + where +
                                             "rcSetting\" is missing (an object, may be {}; it creates the rectifier child)");
    }
}

}  // namespace zrt::host

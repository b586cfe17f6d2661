#include "sim/simulator.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include <json/reader.h>

namespace zrt::sim {
namespace {

constexpr Command kModel = command(0x40, 0x51);
constexpr Command kAcAnalog = command(0x40, 0x41);
constexpr Command kAcSwitch = command(0x40, 0x43);
constexpr Command kAcAlarm = command(0x40, 0x44);
constexpr Command kRcAnalog = command(0x41, 0x41);
constexpr Command kRcSwitch = command(0x41, 0x43);
constexpr Command kRcAlarm = command(0x41, 0x44);
constexpr Command kDcAnalog = command(0x42, 0x41);
constexpr Command kDcAlarm = command(0x42, 0x44);
constexpr Command kAcParam = command(0x40, 0x46);
constexpr Command kDcParam = command(0x42, 0x46);

// Return codes of a device that does not know the command.
constexpr uint8_t kRtnBadCid1 = 0x03;
constexpr uint8_t kRtnBadCid2 = 0x04;
// Return code of the "rtn" faults.
constexpr uint8_t kRtnFault = 0x04;

struct FaultName {
    Fault kind;
    const char* name;
};
const FaultName kFaultNames[] = {
    {Fault::BadChecksum, "bad_chksum"}, {Fault::BadLengthChecksum, "bad_lchksum"},
    {Fault::Truncated, "truncated"},    {Fault::Garbage, "garbage"},
    {Fault::WrongCid1, "wrong_cid1"},   {Fault::WrongCount, "wrong_count"},
    {Fault::NoReply, "no_reply"},       {Fault::Rtn, "rtn"},
    {Fault::RtnEmpty, "rtn_empty"},
};

// Offset of the screen or module count in a reply's information bytes; -1 for replies
// without one.
int count_offset(Command c) {
    switch (c) {
        case kAcAnalog:
        case kAcSwitch:
        case kAcAlarm:
        case kRcSwitch:
        case kRcAlarm:
        case kDcAnalog:
        case kDcAlarm:
            return 1;
        case kRcAnalog:
            return 5;  // after DATAFLAG and the 4-byte group value
        default:
            return -1;
    }
}

const char kHexDigits[] = "0123456789ABCDEF";

void put_hex4(std::string& frame, size_t at, uint16_t v) {
    for (int k = 0; k < 4; ++k) frame[at + k] = kHexDigits[(v >> (12 - 4 * k)) & 0xF];
}

// Replaces a hex character by another one.
char other_hex(char c) { return c == '0' ? '1' : '0'; }

int get_int(const Json::Value& obj, const char* key, int dflt, int lo, int hi, const std::string& where) {
    const Json::Value& v = obj[key];
    if (v.isNull()) return dflt;
    if (!v.isInt() || v.asInt() < lo || v.asInt() > hi)
        throw PlantError(where + "." + key + ": expected an integer from " + std::to_string(lo) + " to " +
                         std::to_string(hi));
    return v.asInt();
}

std::vector<Fault> fault_list(const Json::Value& j, const std::string& where) {
    if (!j.isArray()) throw PlantError(where + ": expected an array of fault names");
    std::vector<Fault> out;
    for (const Json::Value& k : j) {
        if (!k.isString()) throw PlantError(where + ": expected fault names");
        out.push_back(fault_from_name(k.asString()));
    }
    return out;
}

}  // namespace

const Command kCycleCommands[11] = {kModel,   kAcAnalog, kAcSwitch, kAcAlarm, kRcAnalog, kRcSwitch,
                                    kRcAlarm, kDcAnalog, kDcAlarm,  kAcParam, kDcParam};

std::string command_name(Command c) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02X_%02X", c >> 8, c & 0xFF);
    return buf;
}

Command parse_command(const std::string& text) {
    auto hex = [&text](size_t at) -> int {
        const char* digits = std::strchr(kHexDigits, std::toupper(static_cast<unsigned char>(text[at])));
        return digits && *digits ? static_cast<int>(digits - kHexDigits) : -1;
    };
    if (text.size() != 5 || text[2] != '_' || hex(0) < 0 || hex(1) < 0 || hex(3) < 0 || hex(4) < 0)
        throw PlantError("\"" + text + "\" is no command (expected CID1_CID2 such as 41_44)");
    return command(static_cast<uint8_t>(hex(0) << 4 | hex(1)), static_cast<uint8_t>(hex(3) << 4 | hex(4)));
}

const char* fault_name(Fault f) {
    for (const FaultName& n : kFaultNames)
        if (n.kind == f) return n.name;
    return "none";
}

Fault fault_from_name(const std::string& name) {
    for (const FaultName& n : kFaultNames)
        if (name == n.name) return n.kind;
    std::string known;
    for (const FaultName& n : kFaultNames) known += std::string(known.empty() ? "" : ", ") + n.name;
    throw PlantError("unknown fault \"" + name + "\" (known: " + known + ")");
}

std::vector<Fault> all_faults() {
    std::vector<Fault> out;
    for (const FaultName& n : kFaultNames) out.push_back(n.kind);
    return out;
}

bool fault_applies(Fault f, Command c) { return f != Fault::WrongCount || count_offset(c) >= 0; }

Json::Value read_json_file(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw PlantError("cannot read " + path);
    Json::CharReaderBuilder b;
    b["collectComments"] = false;
    Json::Value doc;
    std::string errs;
    // The parser refuses some input by throwing rather than by returning false: nesting
    // deeper than its stack limit, for one. Both are the same error of this file.
    try {
        if (!Json::parseFromStream(b, in, &doc, &errs)) throw PlantError(path + ": " + errs);
    } catch (const Json::Exception& e) {
        throw PlantError(path + ": " + e.what());
    }
    return doc;
}

Scenario scenario_from_json(const Json::Value& doc) {
    if (!doc.isObject()) throw PlantError("a plant file holds one JSON object");
    Scenario s;
    Json::Value plant = doc;
    for (const char* key : {"steps", "faults", "random_faults", "reply_delay_ms"}) plant.removeMember(key);
    s.plant = plant_from_json(plant);
    s.reply_delay_ms = get_int(doc, "reply_delay_ms", s.reply_delay_ms, 0, 60000, "plant");

    const Json::Value& steps = doc["steps"];
    if (!steps.isNull() && !steps.isArray()) throw PlantError("steps: expected an array");
    for (Json::ArrayIndex k = 0; k < steps.size(); ++k) {
        const std::string where = "steps[" + std::to_string(k) + "]";
        const Json::Value& j = steps[k];
        if (!j.isObject() || !j["set"].isObject()) throw PlantError(where + ": expected {\"cycle\": N, \"set\": {...}}");
        Step step;
        step.cycle = get_int(j, "cycle", 1, 1, 1 << 30, where);
        for (const std::string& path : j["set"].getMemberNames()) step.sets.emplace_back(path, j["set"][path]);
        s.steps.push_back(std::move(step));
    }
    std::stable_sort(s.steps.begin(), s.steps.end(), [](const Step& a, const Step& b) { return a.cycle < b.cycle; });
    Plant trial = s.plant;
    for (const Step& step : s.steps)
        for (const auto& [path, value] : step.sets) {
            try {
                set_field(trial, path, value);
            } catch (const PlantError& e) {
                throw PlantError("steps (cycle " + std::to_string(step.cycle) + "): " + e.what());
            }
        }

    const Json::Value& faults = doc["faults"];
    if (!faults.isNull() && !faults.isArray()) throw PlantError("faults: expected an array");
    for (Json::ArrayIndex k = 0; k < faults.size(); ++k) {
        const std::string where = "faults[" + std::to_string(k) + "]";
        const Json::Value& j = faults[k];
        if (!j.isObject() || !j["command"].isString() || !j["kind"].isString())
            throw PlantError(where + ": expected {\"command\": \"41_41\", \"kind\": \"no_reply\", ...}");
        ScriptedFault f;
        f.command = parse_command(j["command"].asString());
        f.kind = fault_from_name(j["kind"].asString());
        f.cycle = get_int(j, "cycle", 0, 0, 1 << 30, where);
        f.times = get_int(j, "times", 1, 1, 1 << 30, where);
        if (!fault_applies(f.kind, f.command))
            throw PlantError(where + ": the reply to " + command_name(f.command) + " has no count to get wrong");
        s.faults.push_back(f);
    }

    const Json::Value& rnd = doc["random_faults"];
    if (!rnd.isNull()) {
        if (!rnd.isObject()) throw PlantError("random_faults: expected an object");
        const Json::Value& rate = rnd["rate"];
        if (!rate.isNumeric() || rate.asDouble() < 0.0 || rate.asDouble() > 1.0)
            throw PlantError("random_faults.rate: expected a number from 0 to 1");
        s.random.rate = rate.asDouble();
        const Json::Value& seed = rnd["seed"];
        if (!seed.isNull() && !seed.isUInt()) throw PlantError("random_faults.seed: expected an unsigned integer");
        if (!seed.isNull()) s.random.seed = seed.asUInt();
        s.random.from_cycle = get_int(rnd, "from_cycle", 0, 0, 1 << 30, "random_faults");
        if (!rnd["kinds"].isNull()) s.random.kinds = fault_list(rnd["kinds"], "random_faults.kinds");
        const Json::Value& cmds = rnd["commands"];
        if (!cmds.isNull()) {
            if (!cmds.isArray()) throw PlantError("random_faults.commands: expected an array");
            for (const Json::Value& c : cmds) {
                if (!c.isString()) throw PlantError("random_faults.commands: expected command names");
                s.random.commands.push_back(parse_command(c.asString()));
            }
        }
    }
    return s;
}

Scenario load_scenario(const std::string& path) {
    Json::Value doc = read_json_file(path);
    try {
        return scenario_from_json(doc);
    } catch (const PlantError& e) {
        throw PlantError(path + ": " + e.what());
    } catch (const Json::Exception& e) {
        // A value the checks let through but jsoncpp cannot convert (an integer beyond
        // 64-bit signed range read as a byte, say).
        throw PlantError(path + ": " + e.what());
    }
}

LineScenario line_scenario_from_json(const Json::Value& doc) {
    LineScenario line;
    if (!doc.isObject() || !doc.isMember("systems")) {
        line.systems.emplace_back(LineScenario::kAnyAddress, scenario_from_json(doc));
        line.reply_delay_ms = line.systems[0].second.reply_delay_ms;
        return line;
    }
    for (const std::string& key : doc.getMemberNames())
        if (key != "systems" && key != "reply_delay_ms" && (key.empty() || key[0] != '_'))
            throw PlantError(key + ": a line of several systems holds only \"systems\" and \"reply_delay_ms\"");
    const Json::Value& systems = doc["systems"];
    if (!systems.isArray() || systems.empty()) throw PlantError("systems: expected a non-empty array of plants");
    const int delay = get_int(doc, "reply_delay_ms", 10, 0, 60000, "line");
    for (Json::ArrayIndex k = 0; k < systems.size(); ++k) {
        const std::string where = "systems[" + std::to_string(k) + "]";
        if (!systems[k].isObject() || !systems[k].isMember("address"))
            throw PlantError(where + ": expected a plant with its \"address\"");
        const int adr = get_int(systems[k], "address", 1, 0, 255, where);
        for (const auto& [other, unused] : line.systems)
            if (other == adr) throw PlantError(where + ".address: " + std::to_string(adr) + " is used twice");
        Json::Value plant = systems[k];
        plant.removeMember("address");
        if (!plant.isMember("reply_delay_ms")) plant["reply_delay_ms"] = delay;
        try {
            line.systems.emplace_back(adr, scenario_from_json(plant));
        } catch (const PlantError& e) {
            throw PlantError(where + ": " + e.what());
        }
    }
    line.reply_delay_ms = line.systems[0].second.reply_delay_ms;
    return line;
}

LineScenario load_line_scenario(const std::string& path) {
    Json::Value doc = read_json_file(path);
    try {
        return line_scenario_from_json(doc);
    } catch (const PlantError& e) {
        throw PlantError(path + ": " + e.what());
    } catch (const Json::Exception& e) {
        throw PlantError(path + ": " + e.what());
    }
}

Responder::~Responder() = default;

PlantResponder::PlantResponder(Scenario scenario)
    : s_(std::move(scenario)), fault_left_(s_.faults.size()), rng_(s_.random.seed) {
    for (size_t k = 0; k < s_.faults.size(); ++k) fault_left_[k] = s_.faults[k].times;
}

std::vector<uint8_t> PlantResponder::switch_states(Group g) const {
    if (g == kAc) return info_ac_switch(s_.plant, 0);
    if (g == kRc) return info_rc_switch(s_.plant, 0);
    return {};
}

std::vector<uint8_t> PlantResponder::alarm_states(Group g) const {
    if (g == kAc) return info_ac_alarm(s_.plant, 0);
    if (g == kRc) return info_rc_alarm(s_.plant, 0);
    return info_dc_alarm(s_.plant, 0);
}

uint8_t PlantResponder::dataflag(Group g) const {
    uint8_t flag = 0;
    // The DC distribution has no switch states to read.
    if (g != kDc && read_switch_[g] != switch_states(g)) flag |= 0x10;
    if (read_alarm_[g] != alarm_states(g)) flag |= 0x01;
    return flag;
}

Fault PlantResponder::pick_fault(Command c) {
    for (size_t k = 0; k < s_.faults.size(); ++k) {
        const ScriptedFault& f = s_.faults[k];
        if (fault_left_[k] > 0 && f.command == c && (f.cycle == 0 || f.cycle == cycle_)) {
            --fault_left_[k];
            return f.kind;
        }
    }
    const RandomFaults& r = s_.random;
    if (r.rate <= 0.0 || cycle_ < r.from_cycle) return Fault::None;
    if (!r.commands.empty() && std::find(r.commands.begin(), r.commands.end(), c) == r.commands.end())
        return Fault::None;
    const double u = static_cast<double>(rng_()) / 4294967296.0;
    if (u >= r.rate) return Fault::None;
    std::vector<Fault> kinds;
    for (Fault f : r.kinds.empty() ? all_faults() : r.kinds)
        if (fault_applies(f, c)) kinds.push_back(f);
    if (kinds.empty()) return Fault::None;
    return kinds[rng_() % kinds.size()];
}

Answer PlantResponder::respond(const devhost::Frame& cmd, const std::string&) {
    const Command c = command(cmd.cid1, cmd.cid2);
    const bool ac_before = last_ == kAcAnalog || last_ == kAcSwitch || last_ == kAcAlarm;
    const bool starts_cycle = c == kAcAnalog || (c == kRcAnalog && !ac_before);
    if (starts_cycle && c != last_) {
        ++cycle_;
        for (; next_step_ < s_.steps.size() && s_.steps[next_step_].cycle <= cycle_; ++next_step_)
            for (const auto& [path, value] : s_.steps[next_step_].sets) set_field(s_.plant, path, value);
    }
    last_ = c;

    const Plant& p = s_.plant;
    uint8_t rtn = 0;
    std::vector<uint8_t> info;
    switch (c) {
        case kModel: info = info_model(p); break;
        case kAcAnalog: info = info_ac_analog(p, dataflag(kAc)); break;
        case kAcSwitch: info = info_ac_switch(p, dataflag(kAc)); break;
        case kAcAlarm: info = info_ac_alarm(p, dataflag(kAc)); break;
        case kRcAnalog: info = info_rc_analog(p, dataflag(kRc)); break;
        case kRcSwitch: info = info_rc_switch(p, dataflag(kRc)); break;
        case kRcAlarm: info = info_rc_alarm(p, dataflag(kRc)); break;
        case kDcAnalog: info = info_dc_analog(p, dataflag(kDc)); break;
        case kDcAlarm: info = info_dc_alarm(p, dataflag(kDc)); break;
        case kAcParam: info = info_ac_param(p); break;
        case kDcParam: info = info_dc_param(p); break;
        default: {
            // A command this equipment does not know: the return code says which byte.
            rtn = cmd.cid1 >= 0x40 && cmd.cid1 <= 0x42 ? kRtnBadCid2 : kRtnBadCid1;
            return Answer{devhost::encode_frame(cmd.ver, cmd.adr, cmd.cid1, rtn, nullptr, 0), Fault::None};
        }
    }

    Answer a;
    a.fault = pick_fault(c);
    uint8_t cid1 = cmd.cid1;
    switch (a.fault) {
        case Fault::WrongCid1: cid1 = cid1 == 0x42 ? 0x40 : cid1 + 1; break;
        case Fault::WrongCount: info[count_offset(c)] += 1; break;
        case Fault::Rtn: rtn = kRtnFault; break;
        case Fault::RtnEmpty:
            rtn = kRtnFault;
            info.clear();
            break;
        default: break;
    }
    std::string frame = devhost::encode_frame(cmd.ver, cmd.adr, cid1, rtn, info.data(), info.size());
    const size_t chk_at = frame.size() - 5;  // CHKSUM: the four characters before CR
    switch (a.fault) {
        case Fault::BadChecksum: frame[chk_at + 3] = other_hex(frame[chk_at + 3]); break;
        case Fault::BadLengthChecksum:
            // LCHKSUM is the first character of LENGTH (after SOI and four bytes); the frame's
            // CHKSUM is made right again, so only the length check fails.
            frame[9] = other_hex(frame[9]);
            put_hex4(frame, chk_at, devhost::frame_checksum(frame.data() + 1, chk_at - 1));
            break;
        case Fault::Truncated: frame.resize(frame.size() / 2); break;
        case Fault::Garbage: {
            std::string junk(1 + rng_() % 8, '\0');
            for (char& j : junk) {
                j = static_cast<char>(rng_() & 0xFF);
                if (j == devhost::kSOI) j = '?';
            }
            frame = junk + frame;
            break;
        }
        case Fault::NoReply: frame.clear(); break;
        default: break;
    }
    a.bytes = std::move(frame);

    // The host has read the states when the reply reached it with its information intact.
    const bool intact = a.fault == Fault::None || a.fault == Fault::Garbage || a.fault == Fault::Rtn;
    if (intact) {
        if (c == kAcSwitch) read_switch_[kAc] = switch_states(kAc);
        if (c == kRcSwitch) read_switch_[kRc] = switch_states(kRc);
        if (c == kAcAlarm) read_alarm_[kAc] = alarm_states(kAc);
        if (c == kRcAlarm) read_alarm_[kRc] = alarm_states(kRc);
        if (c == kDcAlarm) read_alarm_[kDc] = alarm_states(kDc);
    }
    return a;
}

ReplayResponder::ReplayResponder(const std::vector<wire::WireEntry>& entries) {
    std::string key, reply;
    bool have_key = false;
    auto close = [&] {
        if (have_key) replies_[key].push_back(reply);
        reply.clear();
        have_key = false;
    };
    for (const wire::WireEntry& e : entries) {
        if (e.dir == wire::Direction::FromDevice) {
            if (have_key) reply += e.bytes;
            continue;
        }
        close();
        devhost::FrameDecoder d([&](const devhost::Frame& f) {
            key = devhost::encode_frame(f);
            have_key = true;
        });
        d.feed(reinterpret_cast<const uint8_t*>(e.bytes.data()), e.bytes.size());
    }
    close();
}

Answer ReplayResponder::respond(const devhost::Frame&, const std::string& raw) {
    auto it = replies_.find(raw);
    if (it == replies_.end()) return Answer{};
    size_t& k = next_[raw];
    Answer a{it->second[k], Fault::None};
    k = (k + 1) % it->second.size();
    return a;
}

namespace {

std::vector<Simulator::System> one_system(std::unique_ptr<Responder> responder) {
    std::vector<Simulator::System> v;
    v.emplace_back(LineScenario::kAnyAddress, std::move(responder));
    return v;
}

std::vector<Simulator::System> plant_systems(LineScenario line) {
    std::vector<Simulator::System> v;
    for (auto& [adr, scenario] : line.systems)
        v.emplace_back(adr, std::make_unique<PlantResponder>(std::move(scenario)));
    return v;
}

}  // namespace

Simulator::Simulator(std::unique_ptr<Responder> responder) : Simulator(one_system(std::move(responder))) {}

Simulator::Simulator(LineScenario line) : Simulator(plant_systems(std::move(line))) {}

Simulator::Simulator(std::vector<System> systems)
    : systems_(std::move(systems)), decoder_([this](const devhost::Frame& f) { answer(f); }) {
    if (systems_.empty()) throw PlantError("a line needs at least one system");
}

Responder* Simulator::responder_at(uint8_t address) {
    for (auto& [adr, r] : systems_)
        if (adr == LineScenario::kAnyAddress || adr == address) return r.get();
    return nullptr;
}

void Simulator::answer(const devhost::Frame& f) {
    ++stats_.commands;
    Responder* r = responder_at(f.adr);
    Answer a = r ? r->respond(f, devhost::encode_frame(f)) : Answer{};
    if (!a.bytes.empty()) ++stats_.replies;
    if (a.fault != Fault::None) ++stats_.faults;
    out_ += a.bytes;
    if (on_exchange) on_exchange(f, a);
}

void Simulator::feed(const uint8_t* data, size_t n) { decoder_.feed(data, n); }

std::string Simulator::take_output() {
    std::string out;
    out.swap(out_);
    return out;
}

}  // namespace zrt::sim

#include "sim/plant.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "devhost/frame.h"

namespace zrt::sim {
namespace {

// The fields of one plant part that a plant file or a step can name, by kind.
template <class S>
struct FieldTable {
    std::vector<std::pair<const char*, Value S::*>> values;
    std::vector<std::pair<const char*, uint8_t S::*>> bytes;
    std::vector<std::pair<const char*, std::vector<Value> S::*>> value_lists;
    std::vector<std::pair<const char*, std::vector<uint8_t> S::*>> byte_lists;
};

const FieldTable<AcChannel> kChannelFields = {
    {{"a", &AcChannel::a}, {"b", &AcChannel::b}, {"c", &AcChannel::c}, {"f", &AcChannel::f}},
    {{"a_alert", &AcChannel::a_alert},
     {"b_alert", &AcChannel::b_alert},
     {"c_alert", &AcChannel::c_alert},
     {"f_alert", &AcChannel::f_alert}},
    {{"analog_user", &AcChannel::analog_user}},
    {{"alarm_extra", &AcChannel::alarm_extra}, {"alarm_user", &AcChannel::alarm_user}},
};

const FieldTable<AcScreen> kAcFields = {
    {{"ia", &AcScreen::ia}, {"ib", &AcScreen::ib}, {"ic", &AcScreen::ic}},
    {{"ia_alert", &AcScreen::ia_alert}, {"ib_alert", &AcScreen::ib_alert}, {"ic_alert", &AcScreen::ic_alert}},
    {},
    {{"breakers", &AcScreen::breakers}, {"state_user", &AcScreen::state_user}},
};

const FieldTable<DcScreen> kDcFields = {
    {{"v", &DcScreen::v}, {"i", &DcScreen::i}},
    {{"volt_state", &DcScreen::volt_state}},
    {{"dc_m", &DcScreen::dc_m}, {"dc_n", &DcScreen::dc_n}, {"user_p", &DcScreen::user_p}},
    {{"fuses", &DcScreen::fuses}, {"alert_p", &DcScreen::alert_p}},
};

const FieldTable<RcModule> kModuleFields = {
    {{"value", &RcModule::value}},
    {{"fault", &RcModule::fault}},
    {{"analog_user", &RcModule::analog_user}},
    {{"state", &RcModule::state}, {"state_user", &RcModule::state_user}, {"alarm_user", &RcModule::alarm_user}},
};

const FieldTable<Rectifiers> kRcFields = {{{"group_value", &Rectifiers::group_value}}, {}, {}, {}};

const FieldTable<Plant> kPlantFields = {
    {},
    {},
    {{"ac_user_param", &Plant::ac_user_param}, {"dc_user_param", &Plant::dc_user_param}},
    {},
};

Value to_value(const Json::Value& j, const std::string& where) {
    if (j.isNull()) return Value{false, 0.0f};
    if (!j.isNumeric()) throw PlantError(where + ": expected a number or null");
    return Value{true, static_cast<float>(j.asDouble())};
}

uint8_t to_byte(const Json::Value& j, const std::string& where) {
    if (!j.isIntegral() || j.asLargestInt() < 0 || j.asLargestInt() > 255)
        throw PlantError(where + ": expected an integer from 0 to 255");
    return static_cast<uint8_t>(j.asUInt());
}

template <class T, class Conv>
std::vector<T> to_list(const Json::Value& j, const std::string& where, Conv conv) {
    if (!j.isArray()) throw PlantError(where + ": expected an array");
    if (j.size() > 255) throw PlantError(where + ": more than 255 entries");
    std::vector<T> out;
    for (Json::ArrayIndex k = 0; k < j.size(); ++k) out.push_back(conv(j[k], where + "[" + std::to_string(k) + "]"));
    return out;
}

template <class S, class M>
M S::*find_member(const std::vector<std::pair<const char*, M S::*>>& list, const std::string& name) {
    for (const auto& e : list)
        if (name == e.first) return e.second;
    return nullptr;
}

template <class T>
T& list_entry(std::vector<T>& list, long index, const std::string& where) {
    if (index < 0 || static_cast<size_t>(index) >= list.size())
        throw PlantError(where + ": index out of range (" + std::to_string(list.size()) + " entries)");
    return list[static_cast<size_t>(index)];
}

// Sets field `name` of `s` (entry `index` of a list field, or the whole field when index is
// -1). Returns false when the table has no such field.
template <class S>
bool set_in(S& s, const FieldTable<S>& t, const std::string& name, long index, const Json::Value& j,
            const std::string& where) {
    if (auto m = find_member(t.values, name)) {
        if (index >= 0) throw PlantError(where + ": not a list");
        s.*m = to_value(j, where);
        return true;
    }
    if (auto m = find_member(t.bytes, name)) {
        if (index >= 0) throw PlantError(where + ": not a list");
        s.*m = to_byte(j, where);
        return true;
    }
    if (auto m = find_member(t.value_lists, name)) {
        if (index < 0)
            s.*m = to_list<Value>(j, where, to_value);
        else
            list_entry(s.*m, index, where) = to_value(j, where);
        return true;
    }
    if (auto m = find_member(t.byte_lists, name)) {
        if (index < 0)
            s.*m = to_list<uint8_t>(j, where, to_byte);
        else
            list_entry(s.*m, index, where) = to_byte(j, where);
        return true;
    }
    return false;
}

// One path segment: a name with an optional [index].
struct Segment {
    std::string name;
    long index = -1;
};

std::vector<Segment> split_path(const std::string& path) {
    std::vector<Segment> out;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t dot = path.find('.', pos);
        std::string part = path.substr(pos, dot == std::string::npos ? std::string::npos : dot - pos);
        Segment seg;
        size_t br = part.find('[');
        if (br == std::string::npos) {
            seg.name = part;
        } else {
            if (part.back() != ']' || br + 2 > part.size() - 1) throw PlantError(path + ": bad index");
            seg.name = part.substr(0, br);
            std::string digits = part.substr(br + 1, part.size() - br - 2);
            if (digits.empty() || digits.size() > 6 || digits.find_first_not_of("0123456789") != std::string::npos)
                throw PlantError(path + ": bad index");
            seg.index = std::stol(digits);
        }
        if (seg.name.empty()) throw PlantError(path + ": empty name");
        out.push_back(seg);
        if (dot == std::string::npos) break;
        pos = dot + 1;
    }
    return out;
}

// Sets a leaf of part `s`: the last segment of the path must name one of its fields.
template <class S>
void set_leaf(S& s, const FieldTable<S>& t, const std::vector<Segment>& segs, size_t k, const Json::Value& j,
              const std::string& path) {
    if (k + 1 != segs.size() || !set_in(s, t, segs[k].name, segs[k].index, j, path))
        throw PlantError(path + ": unknown field");
}

void check_module(const RcModule& m, const std::string& where) {
    if (m.state.size() != 3) throw PlantError(where + ".state: a module has exactly 3 switch states");
}

// Loads the members of one JSON object into part `s`. `child` handles members that are
// not plain fields (the sub-lists); it returns false for names it does not know either.
template <class S, class Child>
void load_part(S& s, const FieldTable<S>& t, const Json::Value& obj, const std::string& where, Child child) {
    if (!obj.isObject()) throw PlantError(where + ": expected an object");
    for (const std::string& name : obj.getMemberNames()) {
        if (!name.empty() && name[0] == '_') continue;  // "_comment" and the like: notes for the reader
        const std::string at = where.empty() ? name : where + "." + name;
        if (child(name, obj[name], at)) continue;
        if (!set_in(s, t, name, -1, obj[name], at)) throw PlantError(at + ": unknown field");
    }
}

auto no_child = [](const std::string&, const Json::Value&, const std::string&) { return false; };

// Little-endian writer for the information bytes.
class Out {
public:
    void u8(uint8_t b) { bytes.push_back(b); }
    void count(size_t n) { bytes.push_back(static_cast<uint8_t>(n)); }
    void value(const Value& v) {
        if (!v.present) {
            bytes.insert(bytes.end(), 4, kNoValueByte);
            return;
        }
        uint32_t bits;
        std::memcpy(&bits, &v.v, 4);
        for (int s = 0; s < 32; s += 8) bytes.push_back(static_cast<uint8_t>(bits >> s));
    }
    void counted(const std::vector<Value>& list) {
        count(list.size());
        for (const Value& v : list) value(v);
    }
    void counted(const std::vector<uint8_t>& list) {
        count(list.size());
        raw(list);
    }
    void raw(const std::vector<uint8_t>& list) { bytes.insert(bytes.end(), list.begin(), list.end()); }
    std::vector<uint8_t> bytes;
};

void check_plant(const Plant& p) {
    if (p.model.size() > kModelField) throw PlantError("model: longer than 20 characters");
    if (p.ac.size() > 255 || p.dc.size() > 255) throw PlantError("ac/dc: more than 255 screens");
    if (p.rc.modules.size() > 255) throw PlantError("rc.modules: more than 255 modules");
    for (const AcScreen& s : p.ac)
        if (s.channels.size() > 255) throw PlantError("ac: a screen has more than 255 channels");
    for (size_t m = 0; m < p.rc.modules.size(); ++m)
        check_module(p.rc.modules[m], "rc.modules[" + std::to_string(m) + "]");
    const std::pair<const char*, std::vector<uint8_t>> infos[] = {
        {"40_41", info_ac_analog(p, 0)}, {"40_43", info_ac_switch(p, 0)}, {"40_44", info_ac_alarm(p, 0)},
        {"41_41", info_rc_analog(p, 0)}, {"41_43", info_rc_switch(p, 0)}, {"41_44", info_rc_alarm(p, 0)},
        {"42_41", info_dc_analog(p, 0)}, {"42_44", info_dc_alarm(p, 0)}, {"40_46", info_ac_param(p)},
        {"42_46", info_dc_param(p)},
    };
    for (const auto& [name, info] : infos)
        if (info.size() > devhost::kMaxInfoBytes)
            throw PlantError(std::string("the plant's ") + name + " reply would not fit in one frame");
}

}  // namespace

Plant plant_from_json(const Json::Value& doc) {
    Plant p;
    load_part(p, kPlantFields, doc, "", [&p](const std::string& name, const Json::Value& j, const std::string& at) {
        if (name == "model") {
            if (!j.isString()) throw PlantError(at + ": expected a text");
            p.model = j.asString();
        } else if (name == "ac_param" || name == "dc_param") {
            std::vector<Value> list = to_list<Value>(j, at, to_value);
            Value* dst = name == "ac_param" ? p.ac_param.data() : p.dc_param.data();
            size_t want = name == "ac_param" ? p.ac_param.size() : p.dc_param.size();
            if (list.size() != want) throw PlantError(at + ": expected " + std::to_string(want) + " values");
            for (size_t k = 0; k < want; ++k) dst[k] = list[k];
        } else if (name == "ac" || name == "dc") {
            if (!j.isArray()) throw PlantError(at + ": expected an array of screens");
            for (Json::ArrayIndex k = 0; k < j.size(); ++k) {
                const std::string sat = at + "[" + std::to_string(k) + "]";
                if (name == "dc") {
                    DcScreen s;
                    load_part(s, kDcFields, j[k], sat, no_child);
                    p.dc.push_back(std::move(s));
                    continue;
                }
                AcScreen s;
                load_part(s, kAcFields, j[k], sat,
                          [&s](const std::string& n, const Json::Value& cj, const std::string& cat) {
                              if (n != "channels") return false;
                              if (!cj.isArray()) throw PlantError(cat + ": expected an array of channels");
                              for (Json::ArrayIndex c = 0; c < cj.size(); ++c) {
                                  AcChannel ch;
                                  load_part(ch, kChannelFields, cj[c], cat + "[" + std::to_string(c) + "]", no_child);
                                  s.channels.push_back(std::move(ch));
                              }
                              return true;
                          });
                p.ac.push_back(std::move(s));
            }
        } else if (name == "rc") {
            const Json::Value* count = nullptr;
            load_part(p.rc, kRcFields, j, at, [&](const std::string& n, const Json::Value& mj, const std::string& mat) {
                if (n == "module_count") {
                    count = &mj;
                    return true;
                }
                if (n != "modules") return false;
                if (!mj.isArray()) throw PlantError(mat + ": expected an array of modules");
                for (Json::ArrayIndex m = 0; m < mj.size(); ++m) {
                    RcModule mod;
                    load_part(mod, kModuleFields, mj[m], mat + "[" + std::to_string(m) + "]", no_child);
                    p.rc.modules.push_back(std::move(mod));
                }
                return true;
            });
            // "module_count" fills the group up with copies of the last module given.
            if (count) {
                if (!count->isUInt() || count->asUInt() > 255)
                    throw PlantError(at + ".module_count: expected an integer from 0 to 255");
                size_t n = count->asUInt();
                if (n < p.rc.modules.size()) throw PlantError(at + ".module_count: fewer than the modules listed");
                RcModule fill = p.rc.modules.empty() ? RcModule{} : p.rc.modules.back();
                p.rc.modules.resize(n, fill);
            }
        } else {
            return false;
        }
        return true;
    });
    check_plant(p);
    return p;
}

void set_field(Plant& plant, const std::string& path, const Json::Value& j) {
    std::vector<Segment> segs = split_path(path);
    const Segment& top = segs[0];
    if (top.name == "model" && segs.size() == 1 && top.index < 0) {
        if (!j.isString()) throw PlantError(path + ": expected a text");
        plant.model = j.asString();
    } else if ((top.name == "ac_param" || top.name == "dc_param") && segs.size() == 1 && top.index >= 0) {
        Value* list = top.name == "ac_param" ? plant.ac_param.data() : plant.dc_param.data();
        size_t n = top.name == "ac_param" ? plant.ac_param.size() : plant.dc_param.size();
        if (static_cast<size_t>(top.index) >= n) throw PlantError(path + ": index out of range");
        list[top.index] = to_value(j, path);
    } else if (top.name == "ac" && top.index >= 0 && segs.size() >= 2) {
        AcScreen& s = list_entry(plant.ac, top.index, path);
        if (segs[1].name == "channels" && segs[1].index >= 0) {
            AcChannel& ch = list_entry(s.channels, segs[1].index, path);
            set_leaf(ch, kChannelFields, segs, 2, j, path);
        } else {
            set_leaf(s, kAcFields, segs, 1, j, path);
        }
    } else if (top.name == "dc" && top.index >= 0 && segs.size() >= 2) {
        set_leaf(list_entry(plant.dc, top.index, path), kDcFields, segs, 1, j, path);
    } else if (top.name == "rc" && top.index < 0 && segs.size() >= 2) {
        if (segs[1].name == "modules" && segs[1].index >= 0) {
            RcModule& m = list_entry(plant.rc.modules, segs[1].index, path);
            set_leaf(m, kModuleFields, segs, 2, j, path);
        } else {
            set_leaf(plant.rc, kRcFields, segs, 1, j, path);
        }
    } else {
        set_leaf(plant, kPlantFields, segs, 0, j, path);
    }
    check_plant(plant);
}

std::vector<uint8_t> info_model(const Plant& p) {
    std::vector<uint8_t> out(kModelField, 0);
    std::memcpy(out.data(), p.model.data(), std::min(p.model.size(), kModelField));
    return out;
}

std::vector<uint8_t> info_ac_analog(const Plant& p, uint8_t dataflag) {
    Out o;
    o.u8(dataflag);
    o.count(p.ac.size());
    for (const AcScreen& s : p.ac) {
        o.count(s.channels.size());
        for (const AcChannel& c : s.channels) {
            o.value(c.a);
            o.value(c.b);
            o.value(c.c);
            o.value(c.f);
            o.counted(c.analog_user);
        }
        o.value(s.ia);
        o.value(s.ib);
        o.value(s.ic);
    }
    return o.bytes;
}

std::vector<uint8_t> info_ac_switch(const Plant& p, uint8_t dataflag) {
    Out o;
    o.u8(dataflag);
    o.count(p.ac.size());
    for (const AcScreen& s : p.ac) {
        o.counted(s.breakers);
        o.counted(s.state_user);
    }
    return o.bytes;
}

std::vector<uint8_t> info_ac_alarm(const Plant& p, uint8_t dataflag) {
    Out o;
    o.u8(dataflag);
    o.count(p.ac.size());
    for (const AcScreen& s : p.ac) {
        o.count(s.channels.size());
        for (const AcChannel& c : s.channels) {
            o.u8(c.a_alert);
            o.u8(c.b_alert);
            o.u8(c.c_alert);
            o.u8(c.f_alert);
            o.counted(c.alarm_extra);
            o.counted(c.alarm_user);
        }
        o.u8(s.ia_alert);
        o.u8(s.ib_alert);
        o.u8(s.ic_alert);
    }
    return o.bytes;
}

std::vector<uint8_t> info_rc_analog(const Plant& p, uint8_t dataflag) {
    Out o;
    o.u8(dataflag);
    o.value(p.rc.group_value);
    o.count(p.rc.modules.size());
    for (const RcModule& m : p.rc.modules) {
        o.value(m.value);
        o.counted(m.analog_user);
    }
    return o.bytes;
}

std::vector<uint8_t> info_rc_switch(const Plant& p, uint8_t dataflag) {
    Out o;
    o.u8(dataflag);
    o.count(p.rc.modules.size());
    for (const RcModule& m : p.rc.modules) {
        o.raw(m.state);
        o.counted(m.state_user);
    }
    return o.bytes;
}

std::vector<uint8_t> info_rc_alarm(const Plant& p, uint8_t dataflag) {
    Out o;
    o.u8(dataflag);
    o.count(p.rc.modules.size());
    for (const RcModule& m : p.rc.modules) {
        o.u8(m.fault);
        o.counted(m.alarm_user);
    }
    return o.bytes;
}

std::vector<uint8_t> info_dc_analog(const Plant& p, uint8_t dataflag) {
    Out o;
    o.u8(dataflag);
    o.count(p.dc.size());
    for (const DcScreen& s : p.dc) {
        o.value(s.v);
        o.value(s.i);
        o.counted(s.dc_m);
        o.counted(s.dc_n);
        o.counted(s.user_p);
    }
    return o.bytes;
}

std::vector<uint8_t> info_dc_alarm(const Plant& p, uint8_t dataflag) {
    Out o;
    o.u8(dataflag);
    o.count(p.dc.size());
    for (const DcScreen& s : p.dc) {
        o.u8(s.volt_state);
        o.counted(s.fuses);
        o.counted(s.alert_p);
    }
    return o.bytes;
}

std::vector<uint8_t> info_ac_param(const Plant& p) {
    Out o;
    for (const Value& v : p.ac_param) o.value(v);
    o.counted(p.ac_user_param);
    return o.bytes;
}

std::vector<uint8_t> info_dc_param(const Plant& p) {
    Out o;
    for (const Value& v : p.dc_param) o.value(v);
    o.counted(p.dc_user_param);
    return o.bytes;
}

}  // namespace zrt::sim

// Loads zrt4600a.so built against the minimal controller SDK beside this file and drives a
// small reference site through three whole cycles: the commands the poller writes, the
// images its children publish and save (byte for byte), the alarm rules they register,
// the value queries and the reload of a saved image.
//
//   contract_driver <path of zrt4600a.so>     exit 0 when every check holds, 1 otherwise
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <json/json.h>

#include "host/PMBusProtocol.h"
#include "services.h"

// The factory interfaces the plug-in hands out.
class Provider {
public:
    virtual ~Provider() = default;
};
class TXQSPDeviceProvider : public Provider {
public:
    virtual TXQSPDevice* create() const = 0;
};
using GetProviders = std::vector<std::shared_ptr<Provider>> (*)();

namespace {

using Bytes = std::vector<uint8_t>;

int checks = 0;
int failures = 0;

void check(bool ok, const std::string& what) {
    ++checks;
    if (!ok) {
        ++failures;
        std::fprintf(stderr, "FAILED: %s\n", what.c_str());
    }
}

std::string hex(const Bytes& b) {
    std::string s;
    char buf[4];
    for (uint8_t v : b) {
        std::snprintf(buf, sizeof buf, "%02x", v);
        s += buf;
    }
    return s;
}

void check_bytes(const Bytes& got, const Bytes& want, const std::string& what) {
    check(got == want, what + ": got " + hex(got) + " want " + hex(want));
}

void put_f(Bytes& b, float v) {
    uint8_t raw[4];
    std::memcpy(raw, &v, 4);
    b.insert(b.end(), raw, raw + 4);
}
void set_f(Bytes& b, size_t at, float v) { std::memcpy(b.data() + at, &v, 4); }
void set_u32(Bytes& b, size_t at, uint32_t v) {
    for (int k = 0; k < 4; ++k) b[at + k] = static_cast<uint8_t>(v >> (8 * k));
}
const Bytes kAbsent = {0x20, 0x20, 0x20, 0x20};  // the no-value pattern
constexpr uint32_t kMinusPointOne = 0xBDCCCCCDu;

// ---- the reference site ----------------------------------------------------------------
// One AC screen with one input channel (data id 101), one DC screen (201), two rectifier
// modules; the top device has data id 7. Cycle c moves every value.
constexpr uint32_t kTopId = 7, kAcId = 101, kDcId = 201;

struct Site {
    int c = 0;  // cycle
    float a() const { return 220.5f + c; }
    float ia() const { return 10.25f + c; }
    float ic() const { return 12.0f - c; }
    float f() const { return 50.0f; }
    float c_phase() const { return 222.0f + 2 * c; }
    uint8_t a_alert() const { return static_cast<uint8_t>(c % 4); }  // 0, 1, 2: none, low, high
    uint8_t f_alert() const { return c == 2 ? 3 : 0; }
    uint8_t ia_alert() const { return static_cast<uint8_t>((c + 1) % 4); }
    float dc_v() const { return 53.5f - c; }
    float dc_i() const { return 120.0f + 10 * c; }
    uint8_t volt_state() const { return static_cast<uint8_t>(c); }
    uint8_t fuse(int k) const { return (k == 5 + c || k == 40) ? 3 : 0; }
    uint8_t fault(int m) const { return (m == c % 2) ? 1 : 0; }
    float module_value(int m) const { return 25.0f + m + 0.5f * c; }
};

Bytes info_40_41(const Site& s) {
    Bytes b = {0x00, 1};  // DATAFLAG, screens
    b.push_back(1);       // channels
    put_f(b, s.a());
    b.insert(b.end(), kAbsent.begin(), kAbsent.end());  // b absent: 0.0
    put_f(b, s.c_phase());
    put_f(b, s.f());
    b.push_back(0);  // P
    put_f(b, s.ia());
    b.insert(b.end(), kAbsent.begin(), kAbsent.end());  // ib absent: -0.1
    put_f(b, s.ic());
    return b;
}

Bytes info_40_44(const Site& s) {
    Bytes b = {0x00, 1, 1};  // DATAFLAG, screens, channels
    b.insert(b.end(), {s.a_alert(), 0, 0, s.f_alert()});
    b.push_back(0);  // m
    b.push_back(8);  // P
    for (int k = 0; k < 8; ++k) b.push_back(static_cast<uint8_t>(0x10 + k + s.c));
    b.insert(b.end(), {s.ia_alert(), 0, 2});
    return b;
}

Bytes info_41_41(const Site& s) {
    Bytes b = {0x00};
    put_f(b, 54.0f + s.c);  // group value
    b.push_back(2);
    for (int m = 0; m < 2; ++m) {
        put_f(b, s.module_value(m));
        b.push_back(4);
        put_f(b, 1.5f * (m + 1));
        b.insert(b.end(), kAbsent.begin(), kAbsent.end());  // absent: zero bytes
        put_f(b, 3.0f + s.c);
        put_f(b, -4.0f);
    }
    return b;
}

Bytes info_41_43(const Site& s) {
    Bytes b = {0x00, 2};
    for (int m = 0; m < 2; ++m) b.insert(b.end(), {uint8_t(m), uint8_t(1 + s.c), 0x02, 1, uint8_t(0xA0 + m)});
    return b;
}

Bytes info_41_44(const Site& s) {
    Bytes b = {0x00, 2};
    for (int m = 0; m < 2; ++m) b.insert(b.end(), {s.fault(m), 4, uint8_t(m), 0, uint8_t(s.c), 9});
    return b;
}

Bytes info_42_41(const Site& s, uint8_t screens) {
    Bytes b = {0x00, screens};
    put_f(b, s.dc_v());
    put_f(b, s.dc_i());
    b.push_back(2);  // dc_m
    put_f(b, 1.0f + s.c);
    put_f(b, 2.0f);
    b.push_back(0);  // dc_n
    b.push_back(3);  // p_count
    put_f(b, 7.0f);
    b.insert(b.end(), kAbsent.begin(), kAbsent.end());  // absent: -0.1
    put_f(b, 9.0f + s.c);
    return b;
}

Bytes info_42_44(const Site& s) {
    Bytes b = {0x00, 1, s.volt_state(), 64};
    for (int k = 0; k < 64; ++k) b.push_back(s.fuse(k));
    b.insert(b.end(), {2, 0x55, uint8_t(s.c)});
    return b;
}

Bytes info_40_46(const Site& s) {
    Bytes b;
    for (int k = 0; k < 5; ++k) put_f(b, 100.0f * (k + 1) + s.c);
    b.push_back(0);
    return b;
}

Bytes info_42_46(const Site& s) {
    Bytes b;
    put_f(b, 57.5f);
    put_f(b, 43.0f + s.c);
    b.push_back(5);
    for (int k = 0; k < 5; ++k) put_f(b, 0.5f * k);
    return b;
}

Bytes model_info() {
    Bytes b(20, 0);
    std::memcpy(b.data(), "zrt4600a", 8);
    return b;
}

// The reply bytes this controller's line carries: VER ADR CID1 RTN LENID(le) INFO.
Bytes reply(uint8_t cid1, const Bytes& info) {
    const uint16_t lenid = static_cast<uint16_t>(2 * info.size());
    Bytes r = {0x20, 1, cid1, 0, static_cast<uint8_t>(lenid & 0xFF), static_cast<uint8_t>(lenid >> 8)};
    r.insert(r.end(), info.begin(), info.end());
    return r;
}

// ---- expected images --------------------------------------------------------------------

Bytes ac_image(const Site& s, const Bytes& stamp) {
    Bytes img(32 + 30, 0);
    set_u32(img, 0, kAcId);
    set_f(img, 4, s.ia());
    set_u32(img, 8, kMinusPointOne);
    set_f(img, 12, s.ic());
    img[16] = 1;  // channels; no breaker or user states are read by this model
    img[22] = s.ia_alert();
    img[23] = 0;
    img[24] = 2;
    std::memcpy(img.data() + 25, stamp.data(), 7);
    const size_t ch = 32;
    set_f(img, ch + 0, s.a());
    set_f(img, ch + 4, 0.0f);
    set_f(img, ch + 8, s.c_phase());
    set_f(img, ch + 12, s.f());
    img[ch + 16] = 0;
    img[ch + 17] = s.a_alert();
    img[ch + 20] = s.f_alert();
    img[ch + 21] = 8;
    for (int k = 0; k < 8; ++k) img[ch + 22 + k] = static_cast<uint8_t>(0x10 + k + s.c);
    return img;
}

Bytes dc_image(const Site& s, const Bytes& stamp) {
    Bytes img(166, 0);
    set_u32(img, 0, kDcId);
    set_f(img, 4, s.dc_v());
    set_f(img, 8, s.dc_i());
    img[12] = 2;
    set_f(img, 13, 1.0f + s.c);
    set_f(img, 17, 2.0f);
    img[29] = 0;
    img[66] = 3;
    set_f(img, 67, 7.0f);
    set_u32(img, 71, kMinusPointOne);
    set_f(img, 75, 9.0f + s.c);
    img[79] = s.volt_state();
    img[80] = 64;
    for (int k = 0; k < 64; ++k) img[81 + k] = s.fuse(k);
    img[145] = 2;
    img[146] = 0x55;
    img[147] = static_cast<uint8_t>(s.c);
    std::memcpy(img.data() + 159, stamp.data(), 7);
    return img;
}

Bytes rc_image(const Site& s, const Bytes& stamp) {
    Bytes img(65 + 2 * 32, 0);
    set_u32(img, 0, kTopId);
    for (int k = 0; k < 5; ++k) set_f(img, 4 + 4 * k, 100.0f * (k + 1) + s.c);
    set_f(img, 24, 57.5f);
    set_f(img, 28, 43.0f + s.c);
    img[32] = 5;
    for (int k = 0; k < 5; ++k) set_f(img, 33 + 4 * k, 0.5f * k);
    set_f(img, 53, 54.0f + s.c);
    img[57] = 2;
    std::memcpy(img.data() + 58, stamp.data(), 7);
    for (int m = 0; m < 2; ++m) {
        const size_t at = 65 + 32 * m;
        set_f(img, at, s.module_value(m));
        img[at + 4] = 4;
        set_f(img, at + 5, 1.5f * (m + 1));
        set_f(img, at + 9, 0.0f);
        set_f(img, at + 13, 3.0f + s.c);
        set_f(img, at + 17, -4.0f);
        img[at + 21] = static_cast<uint8_t>(m);
        img[at + 22] = static_cast<uint8_t>(1 + s.c);
        img[at + 23] = 0x02;
        img[at + 24] = 1;
        img[at + 25] = static_cast<uint8_t>(0xA0 + m);
        img[at + 26] = s.fault(m);
        img[at + 27] = 4;
        img[at + 28] = static_cast<uint8_t>(m);
        img[at + 29] = 0;
        img[at + 30] = static_cast<uint8_t>(s.c);
        img[at + 31] = 9;
    }
    return img;
}

// ---- expected rules ---------------------------------------------------------------------

struct Rule {
    int level;
    std::string key, signal, name, instance;
    bool active;
};

std::vector<Rule> ac_rules(const Site& s) {
    const char* q[] = {"输入线/相电压AB/A", "输入线/相电压BC/B", "输入线/相电压CA/C", "频率"};
    const uint8_t st[4] = {s.a_alert(), 0, 0, s.f_alert()};
    std::vector<Rule> r;
    for (int k = 0; k < 3; ++k)
        r.push_back({3, "AC_" + std::to_string(k), "06015", "交流输入电压过低告警", std::string("交流屏1") + q[k], st[k] == 1});
    r.push_back({3, "AC_3", "06019", "交流输入频率过低告警", std::string("交流屏1") + q[3], st[3] == 1});
    for (int k = 0; k < 3; ++k)
        r.push_back({2, "AC_" + std::to_string(4 + k), "06014", "交流输入电压过高告警", std::string("交流屏1") + q[k], st[k] == 2});
    r.push_back({2, "AC_7", "06018", "交流输入频率过高告警", std::string("交流屏1") + q[3], st[3] == 2});
    for (int k = 0; k < 3; ++k)
        r.push_back({2, "AC_" + std::to_string(8 + k), "06017", "交流输入缺相告警", std::string("交流屏1") + q[k], st[k] == 3});
    const uint8_t cur[3] = {s.ia_alert(), 0, 2};
    const char* phase[3] = {"A", "B", "C"};
    const char* what[3] = {"相输入电流低于下限", "相输入电流高于上限", "相输入电流缺项"};
    for (int w = 0; w < 3; ++w)
        for (int p = 0; p < 3; ++p)
            r.push_back({3, "AC_" + std::to_string(12 + 3 * w + p), "06029", std::string(phase[p]) + what[w], "其他告警",
                         cur[p] == w + 1});
    return r;
}

std::vector<Rule> dc_rules(const Site& s) {
    std::vector<Rule> r;
    r.push_back({3, "DC_0", "06008", "输出电压过低告警", "输出电压过低告警", s.volt_state() == 1});
    r.push_back({3, "DC_1", "06009", "输出电压过高告警", "输出电压过高告警", s.volt_state() == 2});
    for (int k = 0; k < 64; ++k)
        r.push_back({1, "DC_3", "06001", "电池熔丝故障告警", "直流" + std::to_string(k + 1) + "电池熔丝故障告警", s.fuse(k) == 3});
    return r;
}

std::vector<Rule> rc_rules(const Site& s) {
    std::vector<Rule> r;
    for (int m = 0; m < 2; ++m)
        r.push_back({2, "RC_0", "06024", "整流模块故障告警", "模块" + std::to_string(m + 1) + "整流模块故障告警", s.fault(m) == 1});
    return r;
}

void check_rules(const std::vector<rule_value>& got, size_t from, const std::vector<Rule>& want, uint32_t id,
                 const std::string& what) {
    check(got.size() >= from + want.size(), what + ": rule count");
    if (got.size() < from + want.size()) return;
    for (size_t k = 0; k < want.size(); ++k) {
        const rule_value& g = got[from + k];
        const Rule& w = want[k];
        const std::string at = what + " rule " + std::to_string(k + 1) + " (" + w.key + ")";
        check(g.grade == static_cast<uint32_t>(w.level) && g.alarm_key == w.key && g.signal == w.signal &&
                  g.title == w.name && g.where == w.instance,
              at + " texts: " + std::to_string(g.grade) + " " + g.alarm_key + " " + g.signal + " " + g.title + " " + g.where);
        check((g.on != 0) == w.active, at + " active");
        check(g.index == k + 1, at + " sequence " + std::to_string(g.index));
        check(g.owner == id, at + " data id");
    }
}

std::string name(const contract::Command& c) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02X_%02X", c.cid1, c.cid2);
    return buf;
}

float query(TXQVDevice& dev, const std::string& key) {
    const VDeviceInterface& v = dev;  // Get_Value is the contract's one const operation
    return v.Get_Value(0, key);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <zrt4600a.so>\n", argv[0]);
        return 2;
    }
    void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        std::fprintf(stderr, "%s: %s\n", argv[1], dlerror());
        return 1;
    }
    auto get_providers = reinterpret_cast<GetProviders>(dlsym(lib, "get_providers"));
    if (!get_providers) {
        std::fprintf(stderr, "%s: no get_providers\n", argv[1]);
        return 1;
    }

    auto& rec = contract::record();
    {
        auto providers = get_providers();
        check(providers.size() == 4, "four factories");
        if (providers.size() != 4) return 1;
        // The factory classes are the plug-in's own; their base is known by contract only.
        auto factory = [&](size_t k) -> const TXQSPDeviceProvider& {
            return static_cast<const TXQSPDeviceProvider&>(*providers[k]);
        };
        const char* types[] = {"zrt4600a", "zrt4600a-ac", "zrt4600a-dc", "zrt4600a-rc"};
        for (size_t k = 0; k < 4; ++k) {
            std::unique_ptr<TXQSPDevice> d(factory(k).create());
            check(d->DeviceType() == types[k], std::string("factory makes ") + types[k]);
            check(d->IsSupportDevice(types[k]), std::string("supports ") + types[k]);
        }

        std::shared_ptr<TXQSPDevice> top(factory(0).create());
        auto* proto = dynamic_cast<PMBusProtocol*>(top.get());
        check(proto != nullptr, "the top device is a frame protocol device");
        if (!proto) return 1;
        check(top->baud_rate == 9600 && top->sp_flag == 1 && proto->version == 0x20, "line settings");

        auto controller = std::make_shared<TXQController>();
        Json::Value setting;
        setting["acSetting"][0]["data_id"] = kAcId;
        setting["dcSetting"][0]["data_id"] = kDcId;
        setting["rcSetting"]["name"] = "rectifiers";
        check(top->Init(controller, kTopId, setting), "Init");
        check(top->OpenPort(), "OpenPort");
        const auto children = top->GetAllChildVDevices();
        check(children.size() == 3 && children[0] && children[1] && children[2], "three children");
        if (children.size() != 3) return 1;
        check(children[0]->DeviceType() == "zrt4600a-ac" && children[0]->DataId() == kAcId, "AC child");
        check(children[1]->DeviceType() == "zrt4600a-dc" && children[1]->DataId() == kDcId, "DC child");
        check(children[2]->DeviceType() == "zrt4600a-rc" && children[2]->DataId() == kTopId, "rectifier child");
        check(top->GetChildVDevice(kDcId) == children[1], "child by data id");
        bool refused = false;
        try {
            query(*children[0], "ia");
        } catch (const std::out_of_range& e) {
            refused = std::string(e.what()) == "数据未就绪";
        }
        check(refused, "no value before the first cycle");

        const std::vector<std::string> first = {"40_51", "40_41", "40_44", "41_41", "41_43", "41_44",
                                                "42_41", "42_41", "42_44", "40_46", "42_46"};
        const std::vector<std::string> later(first.begin() + 1, first.end());
        for (int c = 0; c < 3; ++c) {
            Site site;
            site.c = c;
            const std::string cyc = "cycle " + std::to_string(c) + ": ";
            const size_t cmd0 = rec.commands.size(), pub0 = rec.published.size(), rule0 = rec.rules.size(),
                         stamp0 = rec.stamps.size(), batch0 = rec.batches.size();
            const int resets0 = rec.resets;
            bool dc_refused_once = false;

            check(top->RefreshStatus(), cyc + "RefreshStatus sends");
            for (int step = 0; step < 40 && rec.resets == resets0; ++step) {
                const size_t before = rec.commands.size();
                if (before == cmd0) break;
                const contract::Command cmd = rec.commands.back();
                const std::string n = name(cmd);
                Bytes info;
                uint8_t cid1 = cmd.cid1;
                if (n == "40_51") info = model_info();
                else if (n == "40_41") info = info_40_41(site);
                else if (n == "40_44") info = info_40_44(site);
                else if (n == "41_41") info = info_41_41(site);
                else if (n == "41_43") info = info_41_43(site);
                else if (n == "41_44") info = info_41_44(site);
                else if (n == "42_41") {
                    // The first DC reply of each cycle reports a second screen: the poller
                    // logs it through the controller's empty hook and asks again.
                    info = info_42_41(site, dc_refused_once ? 1 : 2);
                    dc_refused_once = true;
                } else if (n == "42_44") info = info_42_44(site);
                else if (n == "40_46") info = info_40_46(site);
                else if (n == "42_46") info = info_42_46(site);
                else {
                    check(false, cyc + "unexpected command " + n);
                    break;
                }
                const Bytes r = reply(cid1, info);
                top->process(r.data(), static_cast<int>(r.size()));
                if (rec.commands.size() == before && rec.resets == resets0) {
                    // Refused: the next refresh sends the awaited command again.
                    check(top->RefreshStatus(), cyc + "RefreshStatus after a refused reply");
                }
            }
            check(rec.resets == resets0 + 1, cyc + "the cycle ends with one Reset");
            check(proto->poll_state == 0, cyc + "back in state 0");

            std::vector<std::string> sent;
            for (size_t k = cmd0; k < rec.commands.size(); ++k) sent.push_back(name(rec.commands[k]));
            std::vector<std::string> want = c == 0 ? first : later;
            std::string sent_text;
            for (const auto& s : sent) sent_text += s + " ";
            check(sent == want, cyc + "commands " + sent_text);
            for (size_t k = cmd0; k < rec.commands.size(); ++k) {
                const auto& cmd = rec.commands[k];
                const bool group = cmd.cid1 == 0x40 && (cmd.cid2 == 0x41 || cmd.cid2 == 0x44);
                check(cmd.with_info == group && (!group || cmd.info == Bytes{0xFF}), cyc + name(cmd) + " info");
            }

            // Publication: AC, DC, rectifier, each with its own time stamp copied verbatim.
            check(rec.published.size() == pub0 + 3, cyc + "three images published");
            check(rec.stamps.size() >= stamp0 + 3, cyc + "time stamps asked for");
            if (rec.published.size() != pub0 + 3) continue;
            const auto& ac = rec.published[pub0];
            const auto& dc = rec.published[pub0 + 1];
            const auto& rc = rec.published[pub0 + 2];
            auto stamp_in = [&](const Bytes& img, size_t at) {
                Bytes s(img.begin() + std::min(at, img.size()), img.begin() + std::min(at + 7, img.size()));
                for (size_t k = stamp0; k < rec.stamps.size(); ++k)
                    if (Bytes(rec.stamps[k].begin(), rec.stamps[k].end()) == s) return s;
                check(false, cyc + "an image holds a time stamp the controller never returned");
                return s;
            };
            check(ac.record_type == 5106 && ac.data_id == kAcId && !ac.flag, cyc + "AC publication");
            check(dc.record_type == 5108 && dc.data_id == kDcId && !dc.flag, cyc + "DC publication");
            check(rc.record_type == 5107 && rc.data_id == kTopId && !rc.flag, cyc + "rectifier publication");
            check_bytes(ac.bytes, ac_image(site, stamp_in(ac.bytes, 25)), cyc + "AC image");
            check_bytes(dc.bytes, dc_image(site, stamp_in(dc.bytes, 159)), cyc + "DC image");
            check_bytes(rc.bytes, rc_image(site, stamp_in(rc.bytes, 58)), cyc + "rectifier image");

            // Rules: registered in RoundDone, in the order AC, DC, rectifier.
            const auto want_ac = ac_rules(site), want_dc = dc_rules(site), want_rc = rc_rules(site);
            check(rec.rules.size() == rule0 + want_ac.size() + want_dc.size() + want_rc.size(), cyc + "rule count");
            check_rules(rec.rules, rule0, want_ac, kAcId, cyc + "AC");
            check_rules(rec.rules, rule0 + want_ac.size(), want_dc, kDcId, cyc + "DC");
            check_rules(rec.rules, rule0 + want_ac.size() + want_dc.size(), want_rc, kTopId, cyc + "rectifier");

            // The history jobs run later; each saves its own copy of the image it was made
            // with and hands the cycle's rules to the batch check.
            check(rec.batches.size() == batch0, cyc + "no batch before the jobs run");
            const size_t saved0 = rec.saved.size();
            check(contract::run_jobs() == 3, cyc + "three history jobs");
            check(rec.saved.size() == saved0 + 3, cyc + "three images saved");
            if (rec.saved.size() == saved0 + 3) {
                check_bytes(rec.saved[saved0].bytes, ac.bytes, cyc + "saved AC image");
                check_bytes(rec.saved[saved0 + 1].bytes, dc.bytes, cyc + "saved DC image");
                check_bytes(rec.saved[saved0 + 2].bytes, rc.bytes, cyc + "saved rectifier image");
            }
            check(rec.batches.size() == batch0 + 3, cyc + "three batches");
            if (rec.batches.size() == batch0 + 3) {
                check(rec.batches[batch0].rules.size() == want_ac.size(), cyc + "AC batch");
                check(rec.batches[batch0 + 1].rules.size() == want_dc.size(), cyc + "DC batch");
                check(rec.batches[batch0 + 2].rules.size() == want_rc.size(), cyc + "rectifier batch");
                check_rules(rec.batches[batch0 + 1].rules, 0, want_dc, kDcId, cyc + "DC batch");
            }
            for (const auto& child : children) check(child->pending_rules.empty(), cyc + "rules handed over");
            check(children[1]->alarm_flag, cyc + "the DC fuse alarm raises the flag");

            // Value queries through the contract's const slot.
            check(query(*children[0], "ia") == site.ia(), cyc + "AC ia");
            check(query(*children[0], "channel_0_a") == site.a(), cyc + "AC channel_0_a");
            check(query(*children[1], "v") == site.dc_v(), cyc + "DC v");
            check(query(*children[1], "i") == site.dc_i(), cyc + "DC i");
        }

        // A saved image brings a fresh device up to date.
        if (!rec.saved.empty()) {
            std::shared_ptr<TXQSPDevice> ac(factory(1).create());
            std::shared_ptr<TXQSPDevice> dc(factory(2).create());
            std::shared_ptr<TXQSPDevice> rc(factory(3).create());
            const size_t last = rec.saved.size() - 3;
            const Bytes& a = rec.saved[last].bytes;
            const Bytes& d = rec.saved[last + 1].bytes;
            const Bytes& r = rec.saved[last + 2].bytes;
            check(ac->LoadFromCache(a.data(), static_cast<int>(a.size())), "AC reload");
            check(dc->LoadFromCache(std::string(d.begin(), d.end())), "DC reload from a string");
            check(rc->LoadFromCache(r.data(), static_cast<int>(r.size())), "rectifier reload");
            check(!dc->LoadFromCache(d.data(), static_cast<int>(d.size()) - 1), "a short DC image is refused");
            Site s;
            s.c = 2;
            check(query(*ac, "ia") == s.ia(), "reloaded AC ia");
            check(query(*dc, "v") == s.dc_v(), "reloaded DC v");
        }
        top.reset();
    }  // every object of the plug-in is gone before it is unloaded
    dlclose(lib);

    std::printf("%d checks, %d failed\n", checks, failures);
    return failures == 0 ? 0 : 1;
}

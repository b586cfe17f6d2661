#include "tools/core/image_decode.h"

#include <algorithm>
#include <cstring>

#include <fmt/format.h>

namespace zrt::host {

namespace {

// Layouts of the three images (packed, little-endian).
constexpr size_t kAcSize = 32, kAcIa = 4, kAcChannels = 16, kAcStateCount = 18, kAcStateUser = 19, kAcIaAlert = 22,
                 kAcTime = 25;
constexpr size_t kChSize = 30, kChA = 0, kChAlert = 17;
constexpr size_t kRcSize = 65, kRcAcParam = 4, kRcDcParam = 24, kRcDcUserCount = 32, kRcDcUser = 33, kRcGroup = 53,
                 kRcModules = 57, kRcTime = 58;
constexpr size_t kModSize = 32, kModValue = 0, kModAnalogCount = 4, kModAnalogUser = 5, kModState = 21,
                 kModFault = 26;
constexpr size_t kDcSize = 166, kDcV = 4, kDcI = 8, kDcM = 12, kDcMValue = 13, kDcN = 29, kDcNValue = 30, kDcP = 66,
                 kDcUserP = 67, kDcVoltState = 79, kDcFuseCount = 80, kDcFuses = 81, kDcTime = 159;
constexpr size_t kDcMMax = 4, kDcNMax = 9, kDcPMax = 3, kDcFuseMax = 64, kRcDcUserMax = 5, kRcUserMax = 4,
                 kAcStateUserMax = 3;

// Bits of -0.1f, which the children store for an absent current or user value.
constexpr uint32_t kAbsentBits = 0xBDCCCCCDu;

uint32_t bits_at(const std::vector<uint8_t>& img, size_t at) {
    return static_cast<uint32_t>(img[at]) | static_cast<uint32_t>(img[at + 1]) << 8 |
           static_cast<uint32_t>(img[at + 2]) << 16 | static_cast<uint32_t>(img[at + 3]) << 24;
}

double float_at(const std::vector<uint8_t>& img, size_t at) {
    const uint32_t b = bits_at(img, at);
    float v;
    std::memcpy(&v, &b, 4);
    return v;
}

std::string time_at(const std::vector<uint8_t>& img, size_t at) {
    return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}", img[at] | img[at + 1] << 8, img[at + 2], img[at + 3],
                       img[at + 4], img[at + 5], img[at + 6]);
}

enum class Absent { Pattern, PatternOrMinusTenth, Never };

class Builder {
public:
    explicit Builder(const std::vector<uint8_t>& img) : img_(img) {}

    void measure(std::string key, std::string label, const char* unit, size_t at, Absent absent,
                 ValueKind kind = ValueKind::Measure) {
        DecodedValue v{std::move(key), std::move(label), unit, kind, std::nullopt, {}};
        const bool pattern = is_no_value_pattern(img_.data() + at);
        const bool tenth = bits_at(img_, at) == kAbsentBits;
        const bool is_absent = (absent == Absent::Pattern && pattern) ||
                               (absent == Absent::PatternOrMinusTenth && (pattern || tenth));
        if (!is_absent) v.value = float_at(img_, at);
        out_.push_back(std::move(v));
    }
    // A state byte; `texts` gives the meaning of codes 0, 1, 2, ... where known.
    void state(std::string key, std::string label, size_t at, std::initializer_list<const char*> texts) {
        DecodedValue v{std::move(key), std::move(label), "", ValueKind::State, double(img_[at]), {}};
        size_t code = img_[at];
        if (code < texts.size()) v.state_text = *(texts.begin() + code);
        out_.push_back(std::move(v));
    }
    void count(std::string key, std::string label, size_t at) {
        out_.push_back({std::move(key), std::move(label), "", ValueKind::Count, double(img_[at]), {}});
    }
    std::vector<DecodedValue> take() { return std::move(out_); }

private:
    const std::vector<uint8_t>& img_;
    std::vector<DecodedValue> out_;
};

// AC alarm state codes: 1 below the lower limit, 2 above the upper limit, 3 missing.
const std::initializer_list<const char*> kAcAlarm = {"normal", "low", "high", "missing"};

DecodedImage decode_ac(const std::vector<uint8_t>& img) {
    DecodedImage d;
    d.device = "AC screen";
    if (img.size() < kAcSize) return d;
    const size_t n = img[kAcChannels];
    if (img.size() != kAcSize + kChSize * n) return d;
    Builder b(img);
    static const char* const kPhase[] = {"A", "B", "C"};
    for (size_t k = 0; k < 3; ++k)
        b.measure(fmt::format("i{}", char('a' + k)), fmt::format("phase {} current", kPhase[k]), "A", kAcIa + 4 * k,
                  Absent::PatternOrMinusTenth);
    for (size_t k = 0; k < 3; ++k)
        b.state(fmt::format("i{}_alert", char('a' + k)), fmt::format("phase {} current alarm", kPhase[k]),
                kAcIaAlert + k, kAcAlarm);
    const size_t users = std::min<size_t>(img[kAcStateCount], kAcStateUserMax);
    for (size_t k = 0; k < users; ++k)
        b.state(fmt::format("state_user_{}", k), fmt::format("user-defined state {}", k + 1), kAcStateUser + k, {});
    static const char* const kLine[] = {"voltage AB/A", "voltage BC/B", "voltage CA/C", "frequency"};
    for (size_t c = 0; c < n; ++c) {
        const size_t at = kAcSize + kChSize * c;
        for (size_t q = 0; q < 4; ++q)
            b.measure(fmt::format("channel_{}_{}", c, "abcf"[q]), fmt::format("channel {} {}", c + 1, kLine[q]),
                      q == 3 ? "Hz" : "V", at + kChA + 4 * q, Absent::Never);
        for (size_t q = 0; q < 4; ++q)
            b.state(fmt::format("channel_{}_{}_alert", c, "abcf"[q]), fmt::format("channel {} {} alarm", c + 1, kLine[q]),
                    at + kChAlert + q, kAcAlarm);
    }
    d.time = time_at(img, kAcTime);
    d.values = b.take();
    d.valid = true;
    return d;
}

DecodedImage decode_rc(const std::vector<uint8_t>& img) {
    DecodedImage d;
    d.device = "rectifier group";
    if (img.size() < kRcSize) return d;
    const size_t n = img[kRcModules];
    if (img.size() != kRcSize + kModSize * n) return d;
    Builder b(img);
    b.measure("group_value", "output voltage", "V", kRcGroup, Absent::Pattern);
    b.count("module_count", "modules", kRcModules);
    static const char* const kAcParam[] = {"AC input voltage upper limit", "AC input voltage lower limit",
                                           "AC input frequency upper limit", "AC input frequency lower limit",
                                           "AC parameter 5"};
    static const char* const kAcUnit[] = {"V", "V", "Hz", "Hz", ""};
    for (size_t k = 0; k < 5; ++k)
        b.measure(fmt::format("ac_param_{}", k), kAcParam[k], kAcUnit[k], kRcAcParam + 4 * k, Absent::Pattern,
                  ValueKind::Setting);
    static const char* const kDcParam[] = {"DC output voltage upper limit", "DC output voltage lower limit"};
    for (size_t k = 0; k < 2; ++k)
        b.measure(fmt::format("dc_param_{}", k), kDcParam[k], "V", kRcDcParam + 4 * k, Absent::Pattern,
                  ValueKind::Setting);
    const size_t users = std::min<size_t>(img[kRcDcUserCount], kRcDcUserMax);
    for (size_t k = 0; k < users; ++k)
        b.measure(fmt::format("dc_user_param_{}", k), fmt::format("DC user-defined parameter {}", k + 1), "",
                  kRcDcUser + 4 * k, Absent::Pattern, ValueKind::Setting);
    for (size_t m = 0; m < n; ++m) {
        const size_t at = kRcSize + kModSize * m;
        b.measure(fmt::format("module_{}_value", m), fmt::format("module {} output current", m + 1), "A",
                  at + kModValue, Absent::Pattern);
        const size_t user = std::min<size_t>(img[at + kModAnalogCount], kRcUserMax);
        for (size_t k = 0; k < user; ++k)
            b.measure(fmt::format("module_{}_user_{}", m, k), fmt::format("module {} user-defined value {}", m + 1, k + 1),
                      "", at + kModAnalogUser + 4 * k, Absent::Never);
        for (size_t k = 0; k < 3; ++k)
            b.state(fmt::format("module_{}_state_{}", m, k), fmt::format("module {} switch state {}", m + 1, k + 1),
                    at + kModState + k, {});
        b.state(fmt::format("module_{}_fault", m), fmt::format("module {} fault", m + 1), at + kModFault,
                {"normal", "fault"});
    }
    d.time = time_at(img, kRcTime);
    d.values = b.take();
    d.valid = true;
    return d;
}

DecodedImage decode_dc(const std::vector<uint8_t>& img) {
    DecodedImage d;
    d.device = "DC screen";
    if (img.size() != kDcSize) return d;
    Builder b(img);
    b.measure("v", "output voltage", "V", kDcV, Absent::Pattern);
    b.measure("i", "output current", "A", kDcI, Absent::Pattern);
    for (size_t k = 0; k < std::min<size_t>(img[kDcM], kDcMMax); ++k)
        b.measure(fmt::format("dc_m_{}", k), fmt::format("value M{}", k + 1), "", kDcMValue + 4 * k, Absent::Pattern);
    for (size_t k = 0; k < std::min<size_t>(img[kDcN], kDcNMax); ++k)
        b.measure(fmt::format("dc_n_{}", k), fmt::format("value N{}", k + 1), "", kDcNValue + 4 * k, Absent::Pattern);
    for (size_t k = 0; k < std::min<size_t>(img[kDcP], kDcPMax); ++k)
        b.measure(fmt::format("user_p_{}", k), fmt::format("user-defined value {}", k + 1), "", kDcUserP + 4 * k,
                  Absent::PatternOrMinusTenth);
    b.state("volt_state", "output voltage alarm", kDcVoltState, {"normal", "low", "high"});
    b.count("fuse_count", "fuses reported", kDcFuseCount);
    for (size_t k = 0; k < std::min<size_t>(img[kDcFuseCount], kDcFuseMax); ++k)
        b.state(fmt::format("fuse_{}", k), fmt::format("fuse {}", k + 1), kDcFuses + k,
                {"normal", "", "", "blown"});
    d.time = time_at(img, kDcTime);
    d.values = b.take();
    d.valid = true;
    return d;
}

}  // namespace

bool is_no_value_pattern(const uint8_t* p) { return p[0] != 0 && p[1] == p[0] && p[2] == p[1] && p[3] == p[2]; }

DecodedImage decode_image(int record_type, const std::vector<uint8_t>& img) {
    switch (record_type) {
    case kAcRecordType: return decode_ac(img);
    case kRcRecordType: return decode_rc(img);
    case kDcRecordType: return decode_dc(img);
    default: return {};
    }
}

std::string format_value(const DecodedValue& v) {
    if (!v.value) return "—";
    std::string s = fmt::format("{:g}", *v.value);
    if (!v.unit.empty()) s += " " + v.unit;
    return s;
}

}  // namespace zrt::host

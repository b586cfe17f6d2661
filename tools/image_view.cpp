#include "tools/image_view.h"

#include <cstring>

#include <fmt/format.h>

#include "tools/json_line.h"

namespace zrt::host {

using namespace image;

float image_f32(const std::vector<uint8_t>& img, size_t at) {
    if (at + 4 > img.size()) return 0.0f;
    uint32_t bits = 0;
    for (int k = 3; k >= 0; --k) bits = bits << 8 | img[at + k];
    float v;
    std::memcpy(&v, &bits, 4);
    return v;
}

uint8_t image_u8(const std::vector<uint8_t>& img, size_t at) { return at < img.size() ? img[at] : 0; }

std::string image_time(const std::vector<uint8_t>& img, size_t at) {
    if (at + 7 > img.size()) return "?";
    return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}", img[at] | img[at + 1] << 8, img[at + 2], img[at + 3],
                       img[at + 4], img[at + 5], img[at + 6]);
}

namespace {

std::string f(const std::vector<uint8_t>& img, size_t at) { return fmt::format("{:g}", image_f32(img, at)); }

std::vector<std::string> describe_ac(const std::vector<uint8_t>& img) {
    const size_t n = image_u8(img, kAcChannels);
    if (img.size() != kAcSize + kChSize * n) return {};
    std::vector<std::string> out;
    out.push_back(fmt::format("currents A {} B {} C {}  current alarms {}/{}/{}  updated {}", f(img, kAcIa),
                              f(img, kAcIb), f(img, kAcIc), img[kAcIaAlert], img[kAcIaAlert + 1],
                              img[kAcIaAlert + 2], image_time(img, kAcTime)));
    for (size_t c = 0; c < n; ++c) {
        const size_t at = kAcSize + kChSize * c;
        out.push_back(fmt::format("channel {}: AB/A {} BC/B {} CA/C {} f {}  alarms {}/{}/{}/{}", c + 1, f(img, at + kChA),
                                  f(img, at + kChB), f(img, at + kChC), f(img, at + kChF), img[at + kChAlert],
                                  img[at + kChAlert + 1], img[at + kChAlert + 2], img[at + kChAlert + 3]));
    }
    return out;
}

std::vector<std::string> describe_rc(const std::vector<uint8_t>& img) {
    const size_t n = image_u8(img, kRcModules);
    if (img.size() != kRcSize + kModSize * n) return {};
    std::vector<std::string> out;
    out.push_back(fmt::format("group {}  modules {}  updated {}", f(img, kRcGroup), n, image_time(img, kRcTime)));
    out.push_back(fmt::format("AC parameters {} {} {} {} {}  DC parameters {} {}", f(img, kRcAcParam),
                              f(img, kRcAcParam + 4), f(img, kRcAcParam + 8), f(img, kRcAcParam + 12),
                              f(img, kRcAcParam + 16), f(img, kRcDcParam), f(img, kRcDcParam + 4)));
    std::string values = "module values:", faults;
    for (size_t m = 0; m < n; ++m) {
        const size_t at = kRcSize + kModSize * m;
        values += " " + f(img, at + kModValue);
        if (img[at + kModFault] == 1) faults += " " + std::to_string(m + 1);
    }
    out.push_back(values);
    out.push_back("modules in fault:" + (faults.empty() ? std::string(" none") : faults));
    return out;
}

std::vector<std::string> describe_dc(const std::vector<uint8_t>& img) {
    if (img.size() != kDcSize) return {};
    std::string blown;
    const size_t fuses = image_u8(img, kDcFuseCount);
    for (size_t k = 0; k < fuses && k < 64; ++k)
        if (img[kDcFuses + k] == 3) blown += " " + std::to_string(k + 1);
    return {fmt::format("voltage {}  current {}  voltage state {}  updated {}", f(img, kDcV), f(img, kDcI),
                        img[kDcVoltState], image_time(img, kDcTime)),
            fmt::format("fuses {}  blown:{}", fuses, blown.empty() ? std::string(" none") : blown)};
}

}  // namespace

std::vector<std::string> describe_image(int record_type, const std::vector<uint8_t>& img) {
    std::vector<std::string> out;
    if (record_type == kAcType) out = describe_ac(img);
    if (record_type == kRcType) out = describe_rc(img);
    if (record_type == kDcType) out = describe_dc(img);
    if (out.empty()) out.push_back(fmt::format("{} bytes: {}", img.size(), hex_lower(img)));
    return out;
}

}  // namespace zrt::host

#pragma once
// Reads the published history images for display: the fixed layouts of the AC (5106),
// rectifier (5107) and DC (5108) records, little-endian and packed.
#include <cstdint>
#include <string>
#include <vector>

namespace zrt::host {

namespace image {
constexpr int kAcType = 5106;
constexpr int kRcType = 5107;
constexpr int kDcType = 5108;

// AC screen record (32 bytes), then 30 bytes per input channel.
constexpr size_t kAcSize = 32, kAcIa = 4, kAcIb = 8, kAcIc = 12, kAcChannels = 16, kAcStateUser = 19,
                 kAcIaAlert = 22, kAcTime = 25;
constexpr size_t kChSize = 30, kChA = 0, kChB = 4, kChC = 8, kChF = 12, kChAlert = 17, kChAlarmUser = 22;
// Rectifier group record (65 bytes), then 32 bytes per module.
constexpr size_t kRcSize = 65, kRcAcParam = 4, kRcDcParam = 24, kRcDcUserCount = 32, kRcDcUser = 33,
                 kRcGroup = 53, kRcModules = 57, kRcTime = 58;
constexpr size_t kModSize = 32, kModValue = 0, kModAnalogUser = 5, kModState = 21, kModFault = 26;
// DC record (166 bytes).
constexpr size_t kDcSize = 166, kDcV = 4, kDcI = 8, kDcM = 12, kDcN = 29, kDcP = 66, kDcVoltState = 79,
                 kDcFuseCount = 80, kDcFuses = 81, kDcTime = 159;
}  // namespace image

// Little-endian reads; 0 past the end.
float image_f32(const std::vector<uint8_t>& img, size_t at);
uint8_t image_u8(const std::vector<uint8_t>& img, size_t at);
// The 7-byte time record as "YYYY-MM-DD HH:MM:SS".
std::string image_time(const std::vector<uint8_t>& img, size_t at);

// Display lines for one image; an image whose size does not fit its type is shown as hex.
std::vector<std::string> describe_image(int record_type, const std::vector<uint8_t>& img);

}  // namespace zrt::host

#pragma once
// What the live view shows, laid out for a terminal: the header (device, line state,
// cycle, errors), the configuration the plant contradicts, each device's values decoded
// from its last published image (with labels and units, states in words, absent values
// as —), the active alarms and the last log lines. The lines that matter most come first;
// a terminal too small for everything drops details, never the header.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/view/output.h"

namespace zrt::host {

// Offsets of the fixed image layouts that tests and tools build images with; decode_image
// reads them.
namespace image {
constexpr int kAcType = 5106;
constexpr int kRcType = 5107;
constexpr int kDcType = 5108;
// AC screen record (32 bytes), then 30 bytes per input channel.
constexpr size_t kAcSize = 32, kAcChannels = 16, kChSize = 30, kChA = 0;
// Rectifier group record (65 bytes), then 32 bytes per module; DC record (166 bytes).
constexpr size_t kRcSize = 65, kModSize = 32, kDcSize = 166;
}  // namespace image

// Display lines for one image, every value with its label; an image whose size does not
// fit its type is shown as hex.
std::vector<std::string> describe_image(int record_type, const std::vector<uint8_t>& img);

// Columns a text takes on a terminal (East Asian wide characters take two).
size_t display_width(const std::string& utf8);
// The text cut to `cols` columns, never inside a character.
std::string fit_width(const std::string& utf8, size_t cols);

struct ViewAlarm {
    uint32_t data_id = 0;
    std::string device_type;
    uint32_t level = 0, sequence = 0;
    std::string key, name, instance;
};

struct ViewDevice {
    uint32_t data_id = 0;
    std::string device_type;
    int record_type = 0;
    std::vector<uint8_t> image;
};

struct ViewState {
    std::string title;  // device, port, speed
    std::optional<LineStatus> line;
    std::optional<CycleStats> cycle;
    std::vector<ConfigIssue> config;
    std::vector<ViewDevice> devices;
    std::vector<ViewAlarm> alarms;
    std::vector<std::string> recent;  // log lines, oldest first
    SystemClock::time_point now;
};

// At most `rows` lines of at most `cols` columns. Lines may carry colour escapes for a
// lost line and contradicted settings; they are not counted in the width.
std::vector<std::string> render_view(const ViewState& v, int cols, int rows);

}  // namespace zrt::host

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

// Display lines for one image, every value with its label; an image whose size does not
// fit its type is shown as hex.
std::vector<std::string> describe_image(const DecodedImage& d, const std::vector<uint8_t>& img);

// Columns a text takes on a terminal (East Asian wide characters take two).
size_t display_width(const std::string& utf8);
// The text cut to `cols` columns, never inside a character.
std::string fit_width(const std::string& utf8, size_t cols);
// The text as it fits `cols` columns: whole, or cut before a number or word break it would
// split, with "…" in the last column.
std::string fit_with_ellipsis(const std::string& utf8, size_t cols);

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
    DecodedImage decoded;  // the image's values, as the core decoded them
};

// One system of a line with several: its own line state and cycle.
struct ViewSystem {
    SystemRef ref;
    std::optional<LineStatus> line;
    std::optional<CycleStats> cycle;
};

struct ViewState {
    std::string title;  // device, port, speed
    std::optional<LineStatus> line;
    std::optional<CycleStats> cycle;
    // Several systems on the line: each one's line and cycle, shown in place of the above.
    std::vector<ViewSystem> systems;
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

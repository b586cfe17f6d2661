#include "tools/core/field_text.h"

#include <cstring>

#include <fmt/format.h>

#include "tools/core/image_decode.h"

namespace zrt::host {

namespace {

using namespace zrt::field;

// The device type that publishes each record type, and how a query names that device.
struct DeviceRow {
    int record_type;
    const char* device_type;
    const char* device_arg;
};
constexpr DeviceRow kDevices[] = {
    {kAcRecordType, "zrt4600a-ac", "the AC screen's data id"},
    {kDcRecordType, "zrt4600a-dc", "the DC screen's data id"},
    {kRcRecordType, "zrt4600a-rc", "rc"},
};

// A key or label pattern with its placeholders named: "channel_{}_a" -> "channel_N_a".
std::string named(const char* pattern, bool item, bool index, const char* item_name, const char* index_name) {
    if (item && index) return fmt::format(fmt::runtime(pattern), item_name, index_name);
    if (item) return fmt::format(fmt::runtime(pattern), item_name);
    if (index) return fmt::format(fmt::runtime(pattern), index_name);
    return pattern;
}

const char* type_text(const Field& f) { return f.type == Type::f32 ? "f32" : "u8"; }

std::string absent_text(const Field& f) {
    const std::string missing =
        f.missing_at == kNoCount ? "" : fmt::format("alarm state {} (missing)", f.missing_code);
    switch (f.absent) {
    case Absent::pattern: return missing.empty() ? "no-value pattern, kept" : "no-value pattern, kept; or " + missing;
    case Absent::pattern_or_tenth:
        return "no-value pattern, or −0.1 (`CD CC CC BD`)" + (missing.empty() ? "" : ", or " + missing);
    case Absent::never: break;
    }
    if (f.type != Type::f32) return "";
    return missing.empty() ? "stored as 0.0: cannot be told from 0" : "stored as 0.0; absent at " + missing;
}

std::string states_text(const Field& f) {
    std::string s;
    for (uint8_t c = 1; c < f.state_count; ++c)
        if (f.states[c][0]) s += fmt::format("{}{} {}", s.empty() ? ": " : ", ", c, f.states[c]);
    return s;
}

void table(std::string& out, const Layout& l) {
    const char* item = l.item_repeat == Repeat::channel ? "c" : "m";
    const char* item1 = l.item_repeat == Repeat::channel ? "c+1" : "m+1";
    if (l.item_size)
        out += fmt::format("{}, record type {}, {} + {} × {}s bytes:\n\n", l.device, l.record_type, l.head_size,
                           l.item_size, l.item_repeat == Repeat::channel ? "channel" : "module");
    else
        out += fmt::format("{}, record type {}, {} bytes:\n\n", l.device, l.record_type, l.head_size);
    out += "| Offset | Type | Key | Field | Unit | Absent |\n|---|---|---|---|---|---|\n";
    auto rows = [&](const Field* fields, size_t n, bool in_item) {
        const std::string base = in_item ? fmt::format("{} + {}{} + ", l.head_size, l.item_size, item) : "";
        for (size_t i = 0; i < n; ++i) {
            const Field& f = fields[i];
            const std::string at = base + std::to_string(f.offset);
            const std::string type =
                f.repeats() ? fmt::format("{} × {}", f.max, type_text(f)) : std::string(type_text(f));
            std::string key = named(f.key, in_item, f.repeats(), item, "k");
            std::string label = named(f.label, in_item, f.repeats(), in_item ? item1 : "", "k+1");
            if (f.count_at != kNoCount) label += fmt::format(" (as many as the count at {}{} says)", base, f.count_at);
            out += fmt::format("| {} | {} | `{}` | {}{} | {} | {} |\n", at, type, key, label,
                               f.states ? states_text(f) : "", f.unit, absent_text(f));
        }
    };
    rows(l.head, l.head_fields, false);
    if (l.item_size) {
        out += fmt::format("| {} | u8 | | {} count | | |\n", l.item_count_at,
                           l.item_repeat == Repeat::channel ? "channel" : "module");
    }
    out += fmt::format("| {} | 7 bytes | | `update_time` | | |\n", l.time_at);
    if (l.item_size) rows(l.item, l.item_fields, true);
    out += "\n";
}

}  // namespace

std::string query_keys_text() {
    std::string out = "Query keys (--query DEVICE:KEY; channel numbers in keys count from 0):\n";
    for (const DeviceRow& d : kDevices) {
        const Layout* l = layout_of(d.record_type);
        out += fmt::format("  {}  DEVICE = {}\n", d.device_type, d.device_arg);
        size_t listed = 0;
        auto list = [&](const Field* fields, size_t n, bool in_item) {
            for (size_t i = 0; i < n; ++i) {
                const Field& f = fields[i];
                if (!f.query) continue;
                const std::string key = named(f.key, in_item, f.repeats(), "N", "K");
                const std::string label = named(f.label, in_item, f.repeats(), "N+1", "K+1");
                std::string unit = f.unit[0] ? fmt::format(" ({})", f.unit) : std::string();
                out += fmt::format("    {:<28}{}{}{}\n", key, label, unit, f.states ? states_text(f) : "");
                ++listed;
            }
        };
        list(l->head, l->head_fields, false);
        if (l->item_size) list(l->item, l->item_fields, true);
        if (listed == 0) out += "    (none: every key is refused)\n";
        if (d.record_type == kAcRecordType)
            out += "    (a key that holds channel_N_X anywhere answers as channel_N_X: channel_0_a_alert gives\n"
                   "     channel 1's voltage AB/A, not its alarm state)\n";
    }
    out += "  zrt4600a     the top device answers no queries\n";
    return out;
}

std::string layout_tables_markdown() {
    std::string out;
    for (const Layout* l : layouts()) table(out, *l);
    return out;
}

namespace {

// Whether `key` is an entry of the key pattern ("channel_{}_a" matches "channel_12_a").
bool key_matches(const char* pattern, const std::string& key) {
    size_t k = 0;
    for (const char* p = pattern; *p;) {
        if (p[0] == '{' && p[1] == '}') {
            const size_t start = k;
            while (k < key.size() && key[k] >= '0' && key[k] <= '9') ++k;
            if (k == start) return false;
            p += 2;
        } else {
            if (k >= key.size() || key[k] != *p) return false;
            ++k, ++p;
        }
    }
    return k == key.size();
}

}  // namespace

std::string absent_reason(const std::string& device_type, const std::string& key, float value) {
    const Field* field = nullptr;
    for (const DeviceRow& d : kDevices) {
        if (device_type != d.device_type) continue;
        const Layout* l = layout_of(d.record_type);
        for (size_t i = 0; i < l->head_fields; ++i)
            if (key_matches(l->head[i].key, key)) field = &l->head[i];
        for (size_t i = 0; i < l->item_fields; ++i)
            if (key_matches(l->item[i].key, key)) field = &l->item[i];
    }
    if (!field || field->type != Type::f32 || field->absent == Absent::never) return {};
    uint8_t b[4];
    std::memcpy(b, &value, 4);
    if (is_no_value_pattern(b)) return "the plant does not provide it (the no-value pattern)";
    if (field->absent == Absent::pattern_or_tenth && value == -0.1f)
        return "the plant does not provide it (the device keeps -0.1 in its place)";
    return {};
}

bool query_key_known(const std::string& device_type, const std::string& key) {
    for (const DeviceRow& d : kDevices) {
        if (device_type != d.device_type) continue;
        const Layout* l = layout_of(d.record_type);
        for (size_t i = 0; i < l->head_fields; ++i)
            if (l->head[i].query && key_matches(l->head[i].key, key)) return true;
        if (!l->item_size) return false;
        std::string item_key = key;
        if (d.record_type == kAcRecordType) {
            // The AC screen reads the first "channel_" + digits + "_" + one character it finds
            // anywhere in the key, and answers for that quantity.
            item_key.clear();
            for (size_t at = key.find("channel_"); at != std::string::npos && item_key.empty();
                 at = key.find("channel_", at + 1)) {
                size_t end = at + 8;
                while (end < key.size() && key[end] >= '0' && key[end] <= '9') ++end;
                if (end == at + 8 || end + 1 >= key.size() || key[end] != '_' || key[end + 1] == '\n' ||
                    key[end + 1] == '\r')
                    continue;
                item_key = key.substr(at, end + 2 - at);
            }
        }
        for (size_t i = 0; i < l->item_fields; ++i)
            if (l->item[i].query && key_matches(l->item[i].key, item_key)) return true;
        return false;
    }
    return false;
}

std::string refusal_explanation(const std::string& text, bool holds_data) {
    // A device that holds data and still answers "not ready" does so for a key it has no
    // reading for (the rectifier group for every key).
    if (holds_data && text == "数据未就绪")
        return "the device holds data but has no reading for this key: it answers any key it does not provide so "
               "(the rectifier group every key; see --keys)";
    return refusal_explanation(text);
}

std::string refusal_explanation(const std::string& text) {
    struct Row {
        const char* text;
        const char* english;
    };
    static constexpr Row kRows[] = {
        {"数据未就绪", "the device has no data to answer from: no cycle has completed and no stored image was loaded (the rectifier group answers every key so)"},
        {"数据已超时", "the device's data are 61 s old or older: no cycle has completed for a minute"},
        {"通道参数越界", "there is no such channel: the number is not below the channel count the screen reports"},
        {"数据未提供", "this device does not answer this key (see --keys)"},
    };
    for (const Row& r : kRows)
        if (text == r.text) return r.english;
    return {};
}

}  // namespace zrt::host

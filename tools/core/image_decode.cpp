#include "tools/core/image_decode.h"

#include <algorithm>
#include <cstring>

#include <fmt/format.h>

#include "ac/ac_fields.h"
#include "dc/dc_fields.h"
#include "rc/rc_fields.h"

namespace zrt::host {

namespace {

using namespace zrt::field;

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

// "{}" placeholders of a key or label take the item, then the index (each shifted by `base`).
std::string fill(const char* pattern, int item, int index, int base) {
    if (item >= 0 && index >= 0) return fmt::format(fmt::runtime(pattern), item + base, index + base);
    if (item >= 0) return fmt::format(fmt::runtime(pattern), item + base);
    if (index >= 0) return fmt::format(fmt::runtime(pattern), index + base);
    return pattern;
}

// Entries of a repeating field: its count byte (capped at its maximum), or its maximum.
size_t entries(const Field& f, const std::vector<uint8_t>& img, size_t record_at) {
    if (!f.repeats()) return 1;
    if (f.count_at == kNoCount) return f.max;
    return std::min<size_t>(img[record_at + f.count_at], f.max);
}

DecodedValue decode_entry(const Field& f, const std::vector<uint8_t>& img, size_t record_at, size_t at, int item,
                          int index) {
    DecodedValue v;
    v.key = field_key(f, item, index);
    v.label = field_label(f, item, index);
    v.unit = f.unit;
    v.kind = f.kind == Kind::measure ? ValueKind::Measure
             : f.kind == Kind::setting ? ValueKind::Setting
             : f.kind == Kind::state   ? ValueKind::State
                                       : ValueKind::Count;
    v.field = &f;
    v.item = item;
    v.index = index;
    if (f.type == Type::u8) {
        v.value = img[at];
        if (f.states && img[at] < f.state_count) v.state_text = f.states[img[at]];
        return v;
    }
    const bool pattern = is_no_value_pattern(img.data() + at);
    const bool tenth = bits_at(img, at) == kAbsentBits;
    const bool missing = f.missing_at != kNoCount && img[record_at + f.missing_at] == f.missing_code;
    const bool absent = missing || (f.absent == Absent::pattern && pattern) ||
                        (f.absent == Absent::pattern_or_tenth && (pattern || tenth));
    if (!absent) v.value = float_at(img, at);
    return v;
}

void decode_record(const Field* fields, size_t n, const std::vector<uint8_t>& img, size_t record_at, int item,
                   std::vector<DecodedValue>& out) {
    for (size_t i = 0; i < n; ++i) {
        const Field& f = fields[i];
        const size_t count = entries(f, img, record_at);
        for (size_t k = 0; k < count; ++k)
            out.push_back(decode_entry(f, img, record_at, record_at + f.offset + f.width() * k, item,
                                       f.repeats() ? static_cast<int>(k) : -1));
    }
}

}  // namespace

const std::vector<const Layout*>& layouts() {
    static const std::vector<const Layout*> all = {&ac_fields::kLayout, &rc_fields::kLayout, &dc_fields::kLayout};
    return all;
}

const Layout* layout_of(int record_type) {
    for (const Layout* l : layouts())
        if (l->record_type == record_type) return l;
    return nullptr;
}

std::string field_key(const Field& f, int item, int index) { return fill(f.key, item, index, 0); }
std::string field_label(const Field& f, int item, int index) { return fill(f.label, item, index, 1); }

bool is_no_value_pattern(const uint8_t* p) { return p[0] != 0 && p[1] == p[0] && p[2] == p[1] && p[3] == p[2]; }

DecodedImage decode_image(int record_type, const std::vector<uint8_t>& img) {
    DecodedImage d;
    const Layout* l = layout_of(record_type);
    if (!l) return d;
    d.device = l->device;
    if (img.size() < l->head_size) return d;
    const size_t items = l->item_size ? img[l->item_count_at] : 0;
    if (img.size() != l->size_for(items)) return d;
    decode_record(l->head, l->head_fields, img, 0, -1, d.values);
    for (size_t c = 0; c < items; ++c)
        decode_record(l->item, l->item_fields, img, l->size_for(c), static_cast<int>(c), d.values);
    d.time = time_at(img, l->time_at);
    d.valid = true;
    return d;
}

DecodedImage decode_stored(int record_type, const std::vector<uint8_t>& img) { return decode_image(record_type, img); }

namespace {

// Matches `key` against a pattern whose "{}" stand for decimal numbers; the numbers found,
// in order, go to `nums`.
bool match_pattern(const char* pattern, const std::string& key, std::vector<int>& nums) {
    size_t at = 0;
    for (const char* p = pattern; *p;) {
        if (p[0] == '{' && p[1] == '}') {
            size_t end = at;
            while (end < key.size() && key[end] >= '0' && key[end] <= '9' && end - at < 4) ++end;
            if (end == at || (key[at] == '0' && end - at > 1)) return false;  // no number, or a leading zero
            nums.push_back(std::stoi(key.substr(at, end - at)));
            at = end;
            p += 2;
        } else {
            if (at >= key.size() || key[at] != *p) return false;
            ++at;
            ++p;
        }
    }
    return at == key.size();
}

}  // namespace

std::optional<KeyPlace> place_of_key(int record_type, const std::string& key) {
    const Layout* l = layout_of(record_type);
    if (!l) return std::nullopt;
    auto search = [&](const Field* fields, size_t n, bool item) -> std::optional<KeyPlace> {
        for (size_t i = 0; i < n; ++i) {
            const Field& f = fields[i];
            std::vector<int> nums;
            if (!match_pattern(f.key, key, nums) || nums.size() != size_t(item) + size_t(f.repeats())) continue;
            KeyPlace k;
            k.field = &f;
            size_t used = 0;
            if (item) k.item = nums[used++];
            if (f.repeats()) {
                k.index = nums[used++];
                if (k.index >= f.max) return std::nullopt;
            }
            if (item && k.item >= 255) return std::nullopt;
            return k;
        }
        return std::nullopt;
    };
    if (auto k = search(l->head, l->head_fields, false)) return k;
    if (l->item_size) return search(l->item, l->item_fields, true);
    return std::nullopt;
}

std::string format_value(const DecodedValue& v) {
    if (!v.value) return "—";
    std::string s = fmt::format("{:g}", *v.value);
    if (!v.unit.empty()) s += " " + v.unit;
    return s;
}

}  // namespace zrt::host

#pragma once
// Describes the fields of a packed record as data: one row per value a record holds, read by
// everything that shows or stores a value (the image decoder, the live view, the history
// series, the metrics, the query key list, the layout tables of the documentation).
//
// Header-only and constexpr: a table that nothing reads leaves no code and no data in the
// binary that includes it.
#include <cstddef>
#include <cstdint>

namespace zrt::field {

// How the bytes of a value are held: a little-endian IEEE-754 single, or one byte.
enum class Type : uint8_t { f32, u8 };

enum class Kind : uint8_t {
    measure,  // a measured quantity
    setting,  // a parameter the equipment reports
    state,    // a state code as the equipment reports it (0 normal)
    count,    // a count the equipment reports
};

// How an image marks a value it does not hold.
enum class Absent : uint8_t {
    never,             // every bit pattern is a value (an absent one is stored as 0.0)
    pattern,           // four equal bytes that are not zero (the equipment's no-value pattern)
    pattern_or_tenth,  // that pattern, or the -0.1 the device stores in place of the value
};

// What a field repeats over. A field of an item record (an AC input channel, a rectifier
// module) repeats over the items as well; `Layout::item_repeat` says which.
enum class Repeat : uint8_t {
    none,
    channel,
    module,
    fuse,
    user,   // the equipment's user-defined values, states or alarms
    index,  // a fixed number of entries (the three switch states of a module)
};

// The physical class of a quantity, for names and units that outlive a key.
enum class Quantity : uint8_t { ac_volts, dc_volts, amperes, hertz, celsius, other };

// No count byte: the field repeats `max` times, or not at all.
inline constexpr uint16_t kNoCount = 0xFFFF;

struct Field {
    // The key, as the value-query keys name it. "{}" stands for the item index (channel,
    // module) and then the field's own index, both counting from 0: "channel_{}_a",
    // "module_{}_user_{}", "fuse_{}".
    const char* key;
    uint16_t offset;  // within its record, of the first entry
    Type type;
    Kind kind;
    const char* unit;   // "V", "A", "Hz"; "" for states, counts and unknown quantities
    const char* label;  // English, the indexes counting from 1: "channel {} frequency"
    Absent absent;
    Repeat repeat;       // the field's own repetition within its record
    uint16_t count_at;   // offset of its count byte within the record, or kNoCount
    uint8_t max;         // most entries the record holds (1 for a single value)
    const char* const* states;  // texts of codes 0, 1, 2 ... ("" unknown); null: none known
    uint8_t state_count;
    const char* stem;    // snake_case quantity name: "input_voltage", "fuse_state"
    Quantity quantity;
    bool query;  // the device's value query answers this key
    // A value whose own state byte, in the same record, can say the equipment lacks it
    // (an AC phase whose alarm state is "missing"): that byte's offset (kNoCount: none) and
    // the code that says so. The value then decodes as absent whatever its bytes hold.
    uint16_t missing_at = kNoCount;
    uint8_t missing_code = 0;

    constexpr uint8_t width() const { return type == Type::f32 ? 4 : 1; }
    constexpr bool repeats() const { return repeat != Repeat::none; }
};

// A record's image: a head record, then `item_count_at`'s count of item records (none for
// a record without items).
struct Layout {
    int record_type;      // the type the image is published under
    const char* device;   // "AC screen", "rectifier group", "DC screen"
    uint16_t head_size;
    const Field* head;
    uint8_t head_fields;
    uint16_t item_size;   // 0: no items
    const Field* item;
    uint8_t item_fields;
    uint16_t item_count_at;  // in the head record
    Repeat item_repeat;      // channel or module
    uint16_t time_at;        // the host's 7-byte time record, in the head record

    // The image size for `items` items.
    constexpr size_t size_for(size_t items) const { return head_size + static_cast<size_t>(item_size) * items; }
};

// Compile-time checks of a table against its record (used in static_assert).
constexpr bool ends_within(const Field* f, size_t n, size_t record_size) {
    for (size_t i = 0; i < n; ++i) {
        const size_t entries = f[i].repeats() ? f[i].max : 1;
        if (f[i].offset + static_cast<size_t>(f[i].width()) * entries > record_size) return false;
        if (f[i].count_at != kNoCount && f[i].count_at >= record_size) return false;
        if (f[i].missing_at != kNoCount && (f[i].missing_at >= record_size || f[i].repeats())) return false;
    }
    return true;
}

constexpr bool same_text(const char* a, const char* b) {
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}

// No two rows of a table share a key.
constexpr bool keys_unique(const Field* f, size_t n) {
    for (size_t i = 0; i < n; ++i)
        for (size_t j = i + 1; j < n; ++j)
            if (same_text(f[i].key, f[j].key)) return false;
    return true;
}

}  // namespace zrt::field

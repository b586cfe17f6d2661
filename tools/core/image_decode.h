#pragma once
// Decodes a published or saved history image into named values, one list per image. The
// live view, the decoded history, the export and the metrics all read images through this
// one decoder, so a value has the same key, label and unit everywhere.
//
// Keys follow the devices' own value-query keys where a device has one ("ia",
// "channel_0_a", "v"); channel, module, fuse and parameter numbers in keys count from 0,
// labels count from 1 as the alarm texts do.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ac/ac_records.h"
#include "common/field.h"
#include "dc/dc_records.h"
#include "rc/rc_records.h"

namespace zrt::host {

enum class ValueKind {
    Measure,  // a measured quantity (float in the image)
    Setting,  // a parameter the equipment reports (float in the image)
    State,    // a state code as the equipment reports it (0 normal; see each label)
    Count,    // a count the equipment reports
};

struct DecodedValue {
    std::string key;    // "ia", "channel_2_f", "module_5_value", "fuse_6"
    std::string label;  // for people: "channel 3 frequency"
    std::string unit;   // "V", "A", "Hz"; empty for states, counts and unknown quantities
    ValueKind kind = ValueKind::Measure;
    // Empty when the image marks the value absent: the no-value pattern (four equal bytes,
    // not zero) kept as received, or the -0.1 the device stores in place of an absent
    // current or user value, or an AC phase voltage, frequency or current whose own alarm
    // state says "missing" (the equipment lacks it). An absent rectifier user value is
    // stored as 0.0 and cannot be told from a measured 0.
    std::optional<double> value;
    // For a State with a known meaning, what its code says ("normal", "low", "high",
    // "missing", "fault", "blown"); empty otherwise.
    std::string state_text;
    // The table row the value comes from, and its item (channel, module) and own index;
    // -1 where it does not repeat.
    const zrt::field::Field* field = nullptr;
    int item = -1;
    int index = -1;
};

struct DecodedImage {
    bool valid = false;  // the size fits the record type and its channel/module count
    std::string device;  // "AC screen", "rectifier group", "DC screen"
    std::string time;    // the image's own time record, "YYYY-MM-DD HH:MM:SS" (host local time)
    std::vector<DecodedValue> values;
};

// The field tables of the three images, in record type order; null for an unknown type.
const zrt::field::Layout* layout_of(int record_type);
const std::vector<const zrt::field::Layout*>& layouts();

// The key and label of one entry of a field ("channel_{}_a", item 2 -> "channel_2_a" and
// "channel 3 voltage AB/A").
std::string field_key(const zrt::field::Field& f, int item, int index);
std::string field_label(const zrt::field::Field& f, int item, int index);

// An image of an unknown record type, or whose size does not fit, decodes as not valid
// with no values.
DecodedImage decode_image(int record_type, const std::vector<uint8_t>& img);

// An image that was not published in this run (one a history file holds, handed back at
// start or exported): decoded through the same tables, so it reads as it did when published.
DecodedImage decode_stored(int record_type, const std::vector<uint8_t>& img);

// Where a stored key ("channel_2_a", "module_5_user_1") sits in its record type's field
// table: the row, the item and the row's own index, as a decoded value carries them. Read
// from the table's key patterns, so that a store that keeps only keys needs no parsing of
// its own. nullopt for a key the table does not have.
struct KeyPlace {
    const zrt::field::Field* field = nullptr;
    int item = -1;
    int index = -1;
};
std::optional<KeyPlace> place_of_key(int record_type, const std::string& key);

// Four equal bytes that are not zero: the equipment's mark of a value it does not provide.
bool is_no_value_pattern(const uint8_t* four_bytes);

// "V", "A" ... with the value in its shortest form ("53.5 V"); "—" for an absent value.
std::string format_value(const DecodedValue& v);

}  // namespace zrt::host

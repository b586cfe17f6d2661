#pragma once
// Metric families of the devices' values, generated from the record field tables: one
// family per quantity (the field's stem), the base unit of its physical class in the name,
// the screen, input, module, fuse and index numbers as labels. Rows of one record that share
// a stem are told apart by a "phase" label (A, B, C); a stem that ends in a one-letter word
// ("value_m") gives that letter as the label "set". A field with known state texts is a
// state set: one sample per state, 1 for the state the equipment reports.
#include <string>
#include <utility>
#include <vector>

#include "tools/core/image_decode.h"

namespace zrt::host {

struct FamilyDef {
    std::string name;  // "zrt4600a_ac_input_voltage_volts"
    std::string unit;  // "volts", "" for none
    std::string help;
    const char* const* states = nullptr;  // state texts by code ("" unknown); null: a plain gauge
    int state_count = 0;
};

// Every family of device values, in the order of the field tables (AC, rectifier, DC).
const std::vector<FamilyDef>& value_families();

// One sample of a device value: its family (an index into value_families()) and the labels
// that its place in the record gives it, numbers counted from 1.
struct ValueSample {
    size_t family = 0;
    std::vector<std::pair<std::string, std::string>> labels;
};

// The family and labels of a decoded value; false for a value without its table row.
bool family_of(int record_type, const DecodedValue& v, ValueSample& out);

// AC and DC screens carry the label "screen" (the screen's data id); the rectifier group none.
bool has_screen_label(int record_type);

}  // namespace zrt::host

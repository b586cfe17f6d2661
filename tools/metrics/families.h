#pragma once
// Metric families of the devices' values: one family per quantity, the base unit in the
// name, the screen, input, phase, module and fuse numbers as labels. Every value a device
// publishes belongs to exactly one family here; a state with known codes is a state set
// (one sample per state, 1 for the state the equipment reports).
#include <string>
#include <utility>
#include <vector>

#include "tools/core/image_decode.h"

namespace zrt::host {

enum class FamilyShape {
    Gauge,     // the value as it stands
    StateSet,  // one sample per state, label "state"; 1 for the reported state, 0 for the others
    Flag,      // 0/1: 1 while the code equals `flag_code`
};

struct FamilyDef {
    int record_type;
    const char* pattern;  // decoded key with {input} {phase} {module} {fuse} {index} holes
    const char* name;     // full family name
    const char* unit;     // base unit as written in the name ("volts"), "" for none
    const char* help;
    FamilyShape shape = FamilyShape::Gauge;
    std::vector<const char*> states = {};  // state names by code, for StateSet
    int flag_code = 1;                    // for Flag
    const char* fixed_label = nullptr;    // a label every sample of this pattern carries ...
    const char* fixed_value = nullptr;    // ... with this value
};

// Every family of device values, in the order a scrape shows them.
const std::vector<FamilyDef>& value_families();

// One sample of a device value: the family it belongs to (index into value_families()) and
// the labels its key carries ({"input","2"}, {"phase","A"}), numbers counted from 1.
struct ValueSample {
    size_t family = 0;
    std::vector<std::pair<std::string, std::string>> labels;
};

// The family and index labels of a decoded value; false when no family takes the key.
bool family_of(int record_type, const std::string& key, ValueSample& out);

// Which device labels a record type's families carry besides site and system: AC and DC
// screens carry "screen" (the screen's data id); the rectifier group carries none.
bool has_screen_label(int record_type);

}  // namespace zrt::host

#pragma once
// The fields of the rectifier group's image: the group record, then one module record per
// rectifier module. Read by the tools; the plug-in does not include it.
#include <iterator>

#include "common/field.h"
#include "rc/rc_records.h"

namespace zrt::rc_fields {

using namespace zrt::field;
using Group = tele_c_zrt4600_rc;
using Module = tele_c_zrt4600_rc_channel;

inline constexpr const char* kFaultStates[] = {"normal", "fault"};

// clang-format off
inline constexpr Field kGroup[] = {
    {"group_value", offsetof(Group, group_value), Type::f32, Kind::measure, "V", "output voltage", Absent::pattern, Repeat::none, kNoCount, 1, nullptr, 0, "output_voltage", Quantity::dc_volts, false},
    {"module_count", offsetof(Group, module_count), Type::u8, Kind::count, "", "modules", Absent::never, Repeat::none, kNoCount, 1, nullptr, 0, "modules", Quantity::other, false},
    {"ac_param_0", offsetof(Group, ac_param) + 0, Type::f32, Kind::setting, "V", "AC input voltage upper limit", Absent::pattern, Repeat::none, kNoCount, 1, nullptr, 0, "input_voltage_upper_limit", Quantity::ac_volts, false},
    {"ac_param_1", offsetof(Group, ac_param) + 4, Type::f32, Kind::setting, "V", "AC input voltage lower limit", Absent::pattern, Repeat::none, kNoCount, 1, nullptr, 0, "input_voltage_lower_limit", Quantity::ac_volts, false},
    {"ac_param_2", offsetof(Group, ac_param) + 8, Type::f32, Kind::setting, "Hz", "AC input frequency upper limit", Absent::pattern, Repeat::none, kNoCount, 1, nullptr, 0, "input_frequency_upper_limit", Quantity::hertz, false},
    {"ac_param_3", offsetof(Group, ac_param) + 12, Type::f32, Kind::setting, "Hz", "AC input frequency lower limit", Absent::pattern, Repeat::none, kNoCount, 1, nullptr, 0, "input_frequency_lower_limit", Quantity::hertz, false},
    {"ac_param_4", offsetof(Group, ac_param) + 16, Type::f32, Kind::setting, "", "AC parameter 5", Absent::pattern, Repeat::none, kNoCount, 1, nullptr, 0, "ac_parameter", Quantity::other, false},
    {"dc_param_0", offsetof(Group, dc_param) + 0, Type::f32, Kind::setting, "V", "DC output voltage upper limit", Absent::pattern, Repeat::none, kNoCount, 1, nullptr, 0, "output_voltage_upper_limit", Quantity::dc_volts, false},
    {"dc_param_1", offsetof(Group, dc_param) + 4, Type::f32, Kind::setting, "V", "DC output voltage lower limit", Absent::pattern, Repeat::none, kNoCount, 1, nullptr, 0, "output_voltage_lower_limit", Quantity::dc_volts, false},
    {"dc_user_param_{}", offsetof(Group, dc_user_param), Type::f32, Kind::setting, "", "DC user-defined parameter {}", Absent::pattern, Repeat::user, offsetof(Group, dc_user_count), Group::P42_46_NUMBER(), nullptr, 0, "dc_user_parameter", Quantity::other, false},
};

// An absent user-defined value is stored as 0.0 and cannot be told from a measured 0.
inline constexpr Field kModule[] = {
    {"module_{}_value", offsetof(Module, module_value), Type::f32, Kind::measure, "A", "module {} output current", Absent::pattern, Repeat::none, kNoCount, 1, nullptr, 0, "output_current", Quantity::amperes, false},
    {"module_{}_user_{}", offsetof(Module, analog_user), Type::f32, Kind::measure, "", "module {} user-defined value {}", Absent::never, Repeat::user, offsetof(Module, analog_count), Module::P41_41_SIZE(), nullptr, 0, "user_value", Quantity::other, false},
    {"module_{}_state_{}", offsetof(Module, state), Type::u8, Kind::state, "", "module {} switch state {}", Absent::never, Repeat::index, kNoCount, sizeof(Module::state), nullptr, 0, "switch_state", Quantity::other, false},
    {"module_{}_fault", offsetof(Module, fault), Type::u8, Kind::state, "", "module {} fault", Absent::never, Repeat::none, kNoCount, 1, kFaultStates, 2, "fault_state", Quantity::other, false},
};
// clang-format on

inline constexpr Layout kLayout = {kRcRecordType, "rectifier group", sizeof(Group), kGroup, std::size(kGroup),
                                   sizeof(Module), kModule, std::size(kModule), offsetof(Group, module_count),
                                   Repeat::module, offsetof(Group, update_time)};

static_assert(ends_within(kGroup, std::size(kGroup), sizeof(Group)), "a group field ends outside its record");
static_assert(ends_within(kModule, std::size(kModule), sizeof(Module)), "a module field ends outside its record");
static_assert(keys_unique(kGroup, std::size(kGroup)) && keys_unique(kModule, std::size(kModule)),
              "every key names one field");
static_assert(sizeof(Group::ac_param) == 5 * 4 && sizeof(Group::dc_param) == 2 * 4 &&
                  sizeof(Group::dc_user_param) >= Group::P42_46_NUMBER() * 4 &&
                  sizeof(Module::analog_user) == Module::P41_41_SIZE() * 4,
              "the 4-byte values fill their arrays as the table says");

}  // namespace zrt::rc_fields

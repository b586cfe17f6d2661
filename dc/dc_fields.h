#pragma once
// The fields of the DC screen's image (one record). Read by the tools; the plug-in does not
// include it.
#include <iterator>

#include "common/field.h"
#include "dc/dc_records.h"

namespace zrt::dc_fields {

using namespace zrt::field;
using Screen = tele_c_zrt4600_dc;

inline constexpr const char* kVoltStates[] = {"normal", "low", "high"};
inline constexpr const char* kFuseStates[] = {"normal", "", "", "blown"};

// clang-format off
inline constexpr Field kScreen[] = {
    {"v", offsetof(Screen, v), Type::f32, Kind::measure, "V", "output voltage", Absent::pattern, Repeat::none, kNoCount, 1, nullptr, 0, "output_voltage", Quantity::dc_volts, true},
    {"i", offsetof(Screen, i), Type::f32, Kind::measure, "A", "output current", Absent::pattern, Repeat::none, kNoCount, 1, nullptr, 0, "output_current", Quantity::amperes, true},
    {"dc_m_{}", offsetof(Screen, dc_m_value), Type::f32, Kind::measure, "", "value M{}", Absent::pattern, Repeat::index, offsetof(Screen, dc_m), Screen::M_SIZE(), nullptr, 0, "value_m", Quantity::other, false},
    {"dc_n_{}", offsetof(Screen, dc_n_value), Type::f32, Kind::measure, "", "value N{}", Absent::pattern, Repeat::index, offsetof(Screen, dc_n), Screen::N_SIZE(), nullptr, 0, "value_n", Quantity::other, false},
    {"user_p_{}", offsetof(Screen, user_p), Type::f32, Kind::measure, "", "user-defined value {}", Absent::pattern_or_tenth, Repeat::user, offsetof(Screen, p_count), Screen::P_SIZE(), nullptr, 0, "user_value", Quantity::other, false},
    {"volt_state", offsetof(Screen, volt_state), Type::u8, Kind::state, "", "output voltage alarm", Absent::never, Repeat::none, kNoCount, 1, kVoltStates, 3, "output_voltage_alarm", Quantity::other, false},
    {"fuse_count", offsetof(Screen, alert_m_count), Type::u8, Kind::count, "", "fuses reported", Absent::never, Repeat::none, kNoCount, 1, nullptr, 0, "fuses", Quantity::other, false},
    {"fuse_{}", offsetof(Screen, alert_m_state), Type::u8, Kind::state, "", "fuse {}", Absent::never, Repeat::fuse, offsetof(Screen, alert_m_count), Screen::ALERT_M_SIZE(), kFuseStates, 4, "fuse_state", Quantity::other, false},
};
// clang-format on

inline constexpr Layout kLayout = {kDcRecordType, "DC screen", sizeof(Screen), kScreen, std::size(kScreen),
                                   0, nullptr, 0, kNoCount, Repeat::none, offsetof(Screen, update_time)};

static_assert(ends_within(kScreen, std::size(kScreen), sizeof(Screen)), "a DC field ends outside its record");
static_assert(keys_unique(kScreen, std::size(kScreen)), "every key names one field");
static_assert(sizeof(Screen::v) == 4 && sizeof(Screen::volt_state) == 1, "value widths as the table says");

}  // namespace zrt::dc_fields

#pragma once
// The fields of the AC screen's image: the screen record, then one channel record per AC
// input channel. Read by the tools; the plug-in does not include it.
#include <iterator>

#include "ac/ac_records.h"
#include "common/field.h"

namespace zrt::ac_fields {

using namespace zrt::field;
using Screen = tele_c_zrt4600_ac;
using Channel = tele_c_zrt4600_ac_channel;

// Alarm state codes: 1 below the lower limit, 2 above the upper limit, 3 missing.
inline constexpr const char* kAlarmStates[] = {"normal", "low", "high", "missing"};
// A phase or frequency whose alarm state is 3 is one the equipment does not have: whatever
// the screen sent in its place is no measurement.
inline constexpr uint8_t kMissing = 3;

// clang-format off
inline constexpr Field kScreen[] = {
    {"ia", offsetof(Screen, ia), Type::f32, Kind::measure, "A", "phase A current", Absent::pattern_or_tenth, Repeat::none, kNoCount, 1, nullptr, 0, "phase_current", Quantity::amperes, true, offsetof(Screen, ia_alert), kMissing},
    {"ib", offsetof(Screen, ib), Type::f32, Kind::measure, "A", "phase B current", Absent::pattern_or_tenth, Repeat::none, kNoCount, 1, nullptr, 0, "phase_current", Quantity::amperes, true, offsetof(Screen, ib_alert), kMissing},
    {"ic", offsetof(Screen, ic), Type::f32, Kind::measure, "A", "phase C current", Absent::pattern_or_tenth, Repeat::none, kNoCount, 1, nullptr, 0, "phase_current", Quantity::amperes, true, offsetof(Screen, ic_alert), kMissing},
    {"ia_alert", offsetof(Screen, ia_alert), Type::u8, Kind::state, "", "phase A current alarm", Absent::never, Repeat::none, kNoCount, 1, kAlarmStates, 4, "phase_current_alarm", Quantity::other, true},
    {"ib_alert", offsetof(Screen, ib_alert), Type::u8, Kind::state, "", "phase B current alarm", Absent::never, Repeat::none, kNoCount, 1, kAlarmStates, 4, "phase_current_alarm", Quantity::other, true},
    {"ic_alert", offsetof(Screen, ic_alert), Type::u8, Kind::state, "", "phase C current alarm", Absent::never, Repeat::none, kNoCount, 1, kAlarmStates, 4, "phase_current_alarm", Quantity::other, true},
    {"state_user_{}", offsetof(Screen, state_user), Type::u8, Kind::state, "", "user-defined state {}", Absent::never, Repeat::user, offsetof(Screen, state_count), Screen::P40_43_SIZE(), nullptr, 0, "user_state", Quantity::other, false},
};

// An absent channel voltage or frequency is stored as 0.0; its alarm state ("missing")
// tells it from a measured 0.
inline constexpr Field kChannel[] = {
    {"channel_{}_a", offsetof(Channel, a), Type::f32, Kind::measure, "V", "channel {} voltage AB/A", Absent::never, Repeat::none, kNoCount, 1, nullptr, 0, "input_voltage", Quantity::ac_volts, true, offsetof(Channel, a_alert), kMissing},
    {"channel_{}_b", offsetof(Channel, b), Type::f32, Kind::measure, "V", "channel {} voltage BC/B", Absent::never, Repeat::none, kNoCount, 1, nullptr, 0, "input_voltage", Quantity::ac_volts, true, offsetof(Channel, b_alert), kMissing},
    {"channel_{}_c", offsetof(Channel, c), Type::f32, Kind::measure, "V", "channel {} voltage CA/C", Absent::never, Repeat::none, kNoCount, 1, nullptr, 0, "input_voltage", Quantity::ac_volts, true, offsetof(Channel, c_alert), kMissing},
    {"channel_{}_f", offsetof(Channel, f), Type::f32, Kind::measure, "Hz", "channel {} frequency", Absent::never, Repeat::none, kNoCount, 1, nullptr, 0, "input_frequency", Quantity::hertz, true, offsetof(Channel, f_alert), kMissing},
    {"channel_{}_a_alert", offsetof(Channel, a_alert), Type::u8, Kind::state, "", "channel {} voltage AB/A alarm", Absent::never, Repeat::none, kNoCount, 1, kAlarmStates, 4, "input_voltage_alarm", Quantity::other, false},
    {"channel_{}_b_alert", offsetof(Channel, b_alert), Type::u8, Kind::state, "", "channel {} voltage BC/B alarm", Absent::never, Repeat::none, kNoCount, 1, kAlarmStates, 4, "input_voltage_alarm", Quantity::other, false},
    {"channel_{}_c_alert", offsetof(Channel, c_alert), Type::u8, Kind::state, "", "channel {} voltage CA/C alarm", Absent::never, Repeat::none, kNoCount, 1, kAlarmStates, 4, "input_voltage_alarm", Quantity::other, false},
    {"channel_{}_f_alert", offsetof(Channel, f_alert), Type::u8, Kind::state, "", "channel {} frequency alarm", Absent::never, Repeat::none, kNoCount, 1, kAlarmStates, 4, "input_frequency_alarm", Quantity::other, false},
};
// clang-format on

inline constexpr Layout kLayout = {kAcRecordType, "AC screen", sizeof(Screen), kScreen, std::size(kScreen),
                                   sizeof(Channel), kChannel, std::size(kChannel), offsetof(Screen, channel_count),
                                   Repeat::channel, offsetof(Screen, update_time)};

static_assert(ends_within(kScreen, std::size(kScreen), sizeof(Screen)), "a screen field ends outside its record");
static_assert(ends_within(kChannel, std::size(kChannel), sizeof(Channel)), "a channel field ends outside its record");
static_assert(keys_unique(kScreen, std::size(kScreen)) && keys_unique(kChannel, std::size(kChannel)),
              "every key names one field");
static_assert(sizeof(Screen::ia) == 4 && sizeof(Channel::f) == 4 && sizeof(Screen::ia_alert) == 1,
              "value widths as the table says");

}  // namespace zrt::ac_fields

#pragma once
// Rectifier records: the group record (with the system's AC and DC parameters) and one
// record per rectifier module. Both travel byte for byte in the rectifier history image:
// the group record, then the module records in module order. 4-byte values are kept as
// the reply carries them (IEEE-754 single, least significant byte first), never converted.
#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)

// The group record. kNumber user-defined DC parameters are expected in the DC parameter
// reply; kSize bytes of them are stored.
template <int kNumber, int kSize>
struct tele_c_pmbuspower_rc {
    static constexpr int P42_46_NUMBER() { return kNumber; }
    static constexpr int P42_46_SIZE() { return kSize; }

    uint8_t device_id[4];            // data id, least significant byte first
    uint8_t ac_param[20];            // five AC-distribution parameters
    uint8_t dc_param[8];             // two DC-distribution parameters
    uint8_t dc_user_count;           // the DC parameter reply's count of user values
    uint8_t dc_user_param[kSize];    // the user-defined DC parameters
    uint8_t group_value[4];          // the value that precedes the module count
    uint8_t module_count;
    uint8_t update_time[7];          // host time record of the last evaluation
};

// One module record: kAnalog user-defined analogue values (4 bytes each), kState
// user-defined state bytes and kAlarm user-defined alarm bytes.
template <int kAnalog, int kState, int kAlarm>
struct tele_c_pmbuspower_rc_channel {
    static constexpr int P41_41_SIZE() { return kAnalog; }
    static constexpr int P41_43_SIZE() { return kState; }
    static constexpr int P41_44_SIZE() { return kAlarm; }

    uint8_t module_value[4];
    uint8_t analog_count;
    uint8_t analog_user[4 * kAnalog];
    uint8_t state[3];
    uint8_t state_count;
    uint8_t state_user[kState];
    uint8_t fault;                   // 1 means the module is faulty
    uint8_t alarm_count;
    uint8_t alarm_user[kAlarm];
};

#pragma pack(pop)

struct tele_c_zrt4600_rc : tele_c_pmbuspower_rc<5, 20> {};
struct tele_c_zrt4600_rc_channel : tele_c_pmbuspower_rc_channel<4, 1, 4> {};

static_assert(sizeof(tele_c_zrt4600_rc) == 65, "the rectifier group record is 65 bytes");
static_assert(offsetof(tele_c_zrt4600_rc, ac_param) == 4, "group record layout");
static_assert(offsetof(tele_c_zrt4600_rc, dc_param) == 24, "group record layout");
static_assert(offsetof(tele_c_zrt4600_rc, dc_user_count) == 32, "group record layout");
static_assert(offsetof(tele_c_zrt4600_rc, dc_user_param) == 33, "group record layout");
static_assert(offsetof(tele_c_zrt4600_rc, group_value) == 53, "group record layout");
static_assert(offsetof(tele_c_zrt4600_rc, module_count) == 57, "group record layout");
static_assert(offsetof(tele_c_zrt4600_rc, update_time) == 58, "group record layout");

static_assert(sizeof(tele_c_zrt4600_rc_channel) == 32, "a rectifier module record is 32 bytes");
static_assert(offsetof(tele_c_zrt4600_rc_channel, analog_count) == 4, "module record layout");
static_assert(offsetof(tele_c_zrt4600_rc_channel, analog_user) == 5, "module record layout");
static_assert(offsetof(tele_c_zrt4600_rc_channel, state) == 21, "module record layout");
static_assert(offsetof(tele_c_zrt4600_rc_channel, state_count) == 24, "module record layout");
static_assert(offsetof(tele_c_zrt4600_rc_channel, state_user) == 25, "module record layout");
static_assert(offsetof(tele_c_zrt4600_rc_channel, fault) == 26, "module record layout");
static_assert(offsetof(tele_c_zrt4600_rc_channel, alarm_count) == 27, "module record layout");
static_assert(offsetof(tele_c_zrt4600_rc_channel, alarm_user) == 28, "module record layout");

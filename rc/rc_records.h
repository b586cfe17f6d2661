#pragma once
// The rectifier group's packed records: the group record (with the system's AC and DC
// parameters) and one record per rectifier module. The group record followed by the module
// records in module order is the group's history image: what the device publishes, what
// the host saves and what it hands back at start-up. 4-byte values are kept as the reply
// carries them (IEEE-754 single, least significant byte first), never converted.
#include <cstddef>
#include <cstdint>

// The record type identifier the group's image is published under.
inline constexpr int kRcRecordType = 5107;

// The group. P42_46_NUMBER_ user-defined DC parameters are expected in the DC parameter
// reply; P42_46_SIZE_ bytes of them are held.
template <uint8_t P42_46_NUMBER_, uint8_t P42_46_SIZE_>
struct __attribute__((packed)) tele_c_pmbuspower_rc {
    static constexpr uint8_t P42_46_NUMBER() { return P42_46_NUMBER_; }
    static constexpr uint8_t P42_46_SIZE() { return P42_46_SIZE_; }

    uint8_t device_id[4];                  // data id, least significant byte first
    uint8_t ac_param[20];                  // five AC-distribution parameters
    uint8_t dc_param[8];                   // two DC-distribution parameters
    uint8_t dc_user_count;                 // the DC parameter reply's count of user values
    uint8_t dc_user_param[P42_46_SIZE_];   // the user-defined DC parameters
    uint8_t group_value[4];                // the value that precedes the module count
    uint8_t module_count;
    uint8_t update_time[7];                // the host's time record of the last evaluation, verbatim
};

// One rectifier module. P41_41_SIZE_ user-defined analogue values (4 bytes each),
// P41_43_SIZE_ user-defined state bytes and P41_44_SIZE_ user-defined alarm bytes are held.
template <uint8_t P41_41_SIZE_, uint8_t P41_43_SIZE_, uint8_t P41_44_SIZE_>
struct __attribute__((packed)) tele_c_pmbuspower_rc_channel {
    static constexpr uint8_t P41_41_SIZE() { return P41_41_SIZE_; }
    static constexpr uint8_t P41_43_SIZE() { return P41_43_SIZE_; }
    static constexpr uint8_t P41_44_SIZE() { return P41_44_SIZE_; }

    uint8_t module_value[4];
    uint8_t analog_count;
    uint8_t analog_user[4 * P41_41_SIZE_];
    uint8_t state[3];
    uint8_t state_count;
    uint8_t state_user[P41_43_SIZE_];
    uint8_t fault;                         // 1 means the module is faulty
    uint8_t alarm_count;
    uint8_t alarm_user[P41_44_SIZE_];
};

struct __attribute__((packed)) tele_c_zrt4600_rc : tele_c_pmbuspower_rc<5, 20> {};
struct __attribute__((packed)) tele_c_zrt4600_rc_channel : tele_c_pmbuspower_rc_channel<4, 1, 4> {};

// The image layout is stored by the host and read back later: pin it.
static_assert(sizeof(tele_c_zrt4600_rc) == 65, "the group record is 65 bytes");
static_assert(alignof(tele_c_zrt4600_rc) == 1, "the group record has no padding");
static_assert(offsetof(tele_c_zrt4600_rc, device_id) == 0, "group record layout");
static_assert(offsetof(tele_c_zrt4600_rc, ac_param) == 4, "group record layout");
static_assert(offsetof(tele_c_zrt4600_rc, dc_param) == 24, "group record layout");
static_assert(offsetof(tele_c_zrt4600_rc, dc_user_count) == 32, "group record layout");
static_assert(offsetof(tele_c_zrt4600_rc, dc_user_param) == 33, "group record layout");
static_assert(offsetof(tele_c_zrt4600_rc, group_value) == 53, "group record layout");
static_assert(offsetof(tele_c_zrt4600_rc, module_count) == 57, "group record layout");
static_assert(offsetof(tele_c_zrt4600_rc, update_time) == 58, "group record layout");
static_assert(tele_c_zrt4600_rc::P42_46_NUMBER() == 5 && tele_c_zrt4600_rc::P42_46_SIZE() == 20,
              "group record constants");

static_assert(sizeof(tele_c_zrt4600_rc_channel) == 32, "a module record is 32 bytes");
static_assert(alignof(tele_c_zrt4600_rc_channel) == 1, "the module record has no padding");
static_assert(offsetof(tele_c_zrt4600_rc_channel, module_value) == 0, "module record layout");
static_assert(offsetof(tele_c_zrt4600_rc_channel, analog_count) == 4, "module record layout");
static_assert(offsetof(tele_c_zrt4600_rc_channel, analog_user) == 5, "module record layout");
static_assert(offsetof(tele_c_zrt4600_rc_channel, state) == 21, "module record layout");
static_assert(offsetof(tele_c_zrt4600_rc_channel, state_count) == 24, "module record layout");
static_assert(offsetof(tele_c_zrt4600_rc_channel, state_user) == 25, "module record layout");
static_assert(offsetof(tele_c_zrt4600_rc_channel, fault) == 26, "module record layout");
static_assert(offsetof(tele_c_zrt4600_rc_channel, alarm_count) == 27, "module record layout");
static_assert(offsetof(tele_c_zrt4600_rc_channel, alarm_user) == 28, "module record layout");
static_assert(tele_c_zrt4600_rc_channel::P41_41_SIZE() == 4 && tele_c_zrt4600_rc_channel::P41_43_SIZE() == 1 &&
                  tele_c_zrt4600_rc_channel::P41_44_SIZE() == 4,
              "module record constants");

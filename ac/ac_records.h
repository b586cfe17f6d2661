#pragma once
// The AC distribution screen's packed records. The screen record followed by one channel
// record per AC input channel is the screen's history image: what the device publishes,
// what the host saves and what it hands back at start-up. Little-endian, no padding.
#include <cstddef>
#include <cstdint>

// The record type identifier the screen's image is published under.
inline constexpr int kAcRecordType = 5106;

// One screen. AIRLOCK_MAX_ breaker-state bytes and P40_43_SIZE_ user-defined state bytes
// are held as the 40_43 part delivers them.
template <uint8_t AIRLOCK_MAX_, uint8_t P40_43_SIZE_>
struct __attribute__((packed)) tele_c_pmbuspower_ac {
    static constexpr uint8_t AIRLOCK_MAX() { return AIRLOCK_MAX_; }
    static constexpr uint8_t P40_43_SIZE() { return P40_43_SIZE_; }

    uint32_t device_id;
    float ia;
    float ib;
    float ic;
    uint8_t channel_count;
    uint8_t airlock_count;
    uint8_t airlock_state[AIRLOCK_MAX_];
    uint8_t state_count;
    uint8_t state_user[P40_43_SIZE_];
    uint8_t ia_alert;
    uint8_t ib_alert;
    uint8_t ic_alert;
    uint8_t update_time[7];  // the host's time record of the last evaluation, verbatim
};

// One AC input channel. P40_41_SIZE_ user-defined analogue values and p40_44_SIZE_
// user-defined alarm bytes are held per channel.
template <uint8_t P40_41_SIZE_, uint8_t p40_44_SIZE_>
struct __attribute__((packed)) tele_c_pmbuspower_ac_channel {
    static constexpr uint8_t P40_41_SIZE() { return P40_41_SIZE_; }
    static constexpr uint8_t p40_44_SIZE() { return p40_44_SIZE_; }

    float a;
    float b;
    float c;
    float f;
    uint8_t analog_count;
    float analog_user[P40_41_SIZE_];
    uint8_t a_alert;
    uint8_t b_alert;
    uint8_t c_alert;
    uint8_t f_alert;
    uint8_t alarm_count;
    uint8_t alarm_user[p40_44_SIZE_];
};

struct __attribute__((packed)) tele_c_zrt4600_ac : tele_c_pmbuspower_ac<0, 3> {};
struct __attribute__((packed)) tele_c_zrt4600_ac_channel : tele_c_pmbuspower_ac_channel<0, 8> {};

// The image layout is stored by the host and read back later: pin it.
static_assert(sizeof(tele_c_zrt4600_ac) == 32, "screen record is 32 bytes");
static_assert(alignof(tele_c_zrt4600_ac) == 1, "the screen record has no padding");
static_assert(offsetof(tele_c_zrt4600_ac, device_id) == 0, "screen record layout");
static_assert(offsetof(tele_c_zrt4600_ac, ia) == 4, "screen record layout");
static_assert(offsetof(tele_c_zrt4600_ac, ib) == 8, "screen record layout");
static_assert(offsetof(tele_c_zrt4600_ac, ic) == 12, "screen record layout");
static_assert(offsetof(tele_c_zrt4600_ac, channel_count) == 16, "screen record layout");
static_assert(offsetof(tele_c_zrt4600_ac, airlock_count) == 17, "screen record layout");
static_assert(offsetof(tele_c_zrt4600_ac, state_count) == 18, "screen record layout");
static_assert(offsetof(tele_c_zrt4600_ac, state_user) == 19, "screen record layout");
static_assert(offsetof(tele_c_zrt4600_ac, ia_alert) == 22, "screen record layout");
static_assert(offsetof(tele_c_zrt4600_ac, ib_alert) == 23, "screen record layout");
static_assert(offsetof(tele_c_zrt4600_ac, ic_alert) == 24, "screen record layout");
static_assert(offsetof(tele_c_zrt4600_ac, update_time) == 25, "screen record layout");
static_assert(tele_c_zrt4600_ac::AIRLOCK_MAX() == 0 && tele_c_zrt4600_ac::P40_43_SIZE() == 3,
              "screen record constants");

static_assert(sizeof(tele_c_zrt4600_ac_channel) == 30, "channel record is 30 bytes");
static_assert(alignof(tele_c_zrt4600_ac_channel) == 1, "the channel record has no padding");
static_assert(offsetof(tele_c_zrt4600_ac_channel, a) == 0, "channel record layout");
static_assert(offsetof(tele_c_zrt4600_ac_channel, b) == 4, "channel record layout");
static_assert(offsetof(tele_c_zrt4600_ac_channel, c) == 8, "channel record layout");
static_assert(offsetof(tele_c_zrt4600_ac_channel, f) == 12, "channel record layout");
static_assert(offsetof(tele_c_zrt4600_ac_channel, analog_count) == 16, "channel record layout");
static_assert(offsetof(tele_c_zrt4600_ac_channel, a_alert) == 17, "channel record layout");
static_assert(offsetof(tele_c_zrt4600_ac_channel, b_alert) == 18, "channel record layout");
static_assert(offsetof(tele_c_zrt4600_ac_channel, c_alert) == 19, "channel record layout");
static_assert(offsetof(tele_c_zrt4600_ac_channel, f_alert) == 20, "channel record layout");
static_assert(offsetof(tele_c_zrt4600_ac_channel, alarm_count) == 21, "channel record layout");
static_assert(offsetof(tele_c_zrt4600_ac_channel, alarm_user) == 22, "channel record layout");
static_assert(tele_c_zrt4600_ac_channel::P40_41_SIZE() == 0 && tele_c_zrt4600_ac_channel::p40_44_SIZE() == 8,
              "channel record constants");

#pragma once
// The DC distribution screen's packed record. The record is also the screen's history
// image: the same 166 bytes are published, saved and handed back at start-up, so its layout
// is fixed byte for byte. Little-endian, no padding.
#include <cstddef>
#include <cstdint>

// The record type identifier the screen's image is published under.
inline constexpr int kDcRecordType = 5108;

// One screen. M_SIZE_, N_SIZE_ and P_SIZE_ 4-byte values and ALERT_M_SIZE_ fuse and
// ALERT_P_SIZE_ user-defined alarm bytes are held as the 42_41 and 42_44 blocks deliver them.
template <uint8_t M_SIZE_, uint8_t N_SIZE_, uint8_t P_SIZE_, uint8_t ALERT_M_SIZE_, uint8_t ALERT_P_SIZE_>
struct __attribute__((packed)) tele_c_pmbuspower_dc {
    static constexpr uint8_t M_SIZE() { return M_SIZE_; }
    static constexpr uint8_t N_SIZE() { return N_SIZE_; }
    static constexpr uint8_t P_SIZE() { return P_SIZE_; }
    static constexpr uint8_t ALERT_M_SIZE() { return ALERT_M_SIZE_; }
    static constexpr uint8_t ALERT_P_SIZE() { return ALERT_P_SIZE_; }

    uint32_t device_id;          // data id of the device
    float v;                     // DC voltage
    float i;                     // DC current
    uint8_t dc_m;                // count of dc_m_value entries, as read
    float dc_m_value[M_SIZE_];
    uint8_t dc_n;                // count of dc_n_value entries, as read
    float dc_n_value[N_SIZE_];
    uint8_t p_count;             // count of user_p entries, as read
    float user_p[P_SIZE_];       // user-defined analogue values; -0.1 marks an absent one
    uint8_t volt_state;          // 1 output voltage too low, 2 too high
    uint8_t alert_m_count;       // count of fuse state bytes, as read
    uint8_t alert_m_state[ALERT_M_SIZE_];  // 3 is a fuse fault
    uint8_t alert_p_count;       // count of user-defined alarm bytes, as read
    uint8_t alert_p_state[ALERT_P_SIZE_];
    uint8_t update_time[7];      // the host's time record of the last evaluation, verbatim
};

struct __attribute__((packed)) tele_c_zrt4600_dc : tele_c_pmbuspower_dc<4, 9, 3, 64, 13> {};

// The image layout is stored by the host and read back later: pin it.
static_assert(sizeof(tele_c_zrt4600_dc) == 166, "the DC record is 166 bytes");
static_assert(alignof(tele_c_zrt4600_dc) == 1, "the DC record has no padding");
static_assert(offsetof(tele_c_zrt4600_dc, device_id) == 0, "DC record layout");
static_assert(offsetof(tele_c_zrt4600_dc, v) == 4, "DC record layout");
static_assert(offsetof(tele_c_zrt4600_dc, i) == 8, "DC record layout");
static_assert(offsetof(tele_c_zrt4600_dc, dc_m) == 12, "DC record layout");
static_assert(offsetof(tele_c_zrt4600_dc, dc_m_value) == 13, "DC record layout");
static_assert(offsetof(tele_c_zrt4600_dc, dc_n) == 29, "DC record layout");
static_assert(offsetof(tele_c_zrt4600_dc, dc_n_value) == 30, "DC record layout");
static_assert(offsetof(tele_c_zrt4600_dc, p_count) == 66, "DC record layout");
static_assert(offsetof(tele_c_zrt4600_dc, user_p) == 67, "DC record layout");
static_assert(offsetof(tele_c_zrt4600_dc, volt_state) == 79, "DC record layout");
static_assert(offsetof(tele_c_zrt4600_dc, alert_m_count) == 80, "DC record layout");
static_assert(offsetof(tele_c_zrt4600_dc, alert_m_state) == 81, "DC record layout");
static_assert(offsetof(tele_c_zrt4600_dc, alert_p_count) == 145, "DC record layout");
static_assert(offsetof(tele_c_zrt4600_dc, alert_p_state) == 146, "DC record layout");
static_assert(offsetof(tele_c_zrt4600_dc, update_time) == 159, "DC record layout");
static_assert(tele_c_zrt4600_dc::M_SIZE() == 4 && tele_c_zrt4600_dc::N_SIZE() == 9 &&
                  tele_c_zrt4600_dc::P_SIZE() == 3 && tele_c_zrt4600_dc::ALERT_M_SIZE() == 64 &&
                  tele_c_zrt4600_dc::ALERT_P_SIZE() == 13,
              "DC record constants");

#pragma once
// Well-formed information bytes of every reply of the cycle, as the power system sends
// them. The fuzz targets use them to reach a known state quickly (a 40_41 part that fixes
// the channel count, a 41_41 reply that fixes the module count), the corpus program builds
// its seeds from them, and the thread stress test answers the poller with them.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace zrt::fuzz {

using Bytes = std::vector<uint8_t>;

inline void put(Bytes& b, const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); }
inline void put_float(Bytes& b, float v) {
    uint8_t raw[4];
    std::memcpy(raw, &v, 4);  // little-endian hosts only, as the wire
    b.insert(b.end(), raw, raw + 4);
}
// The no-value pattern of a 4-byte value.
inline void put_absent(Bytes& b) { b.insert(b.end(), 4, 0x20); }

// ---- AC distribution: one screen's part ------------------------------------------------

inline Bytes ac_analog_part(int channels, float base = 220.0f) {
    Bytes b{static_cast<uint8_t>(channels)};
    for (int k = 0; k < channels; ++k) {
        // Every value of the part differs, so a query that reads the wrong one shows.
        for (int q = 0; q < 3; ++q) put_float(b, base + 10.0f * k + q);
        put_float(b, 50.0f + k);
        b.push_back(0);  // no user-defined values
    }
    put_float(b, 10.5f);
    put_float(b, 11.5f);
    put_absent(b);
    return b;
}

inline Bytes ac_switch_part() { return Bytes{0, 3, 1, 0, 1}; }

inline Bytes ac_alarm_part(int channels, uint8_t state = 0) {
    Bytes b{static_cast<uint8_t>(channels)};
    for (int k = 0; k < channels; ++k) {
        b.insert(b.end(), {state, 0, 0, 0});
        b.push_back(0);  // no further states
        b.push_back(8);
        b.insert(b.end(), 8, 0);
    }
    b.insert(b.end(), {0, state, 0});
    return b;
}

// ---- DC distribution: one screen's block -----------------------------------------------

inline Bytes dc_analog_block(float v = 53.5f) {
    Bytes b;
    put_float(b, v);
    put_float(b, 120.0f);
    b.push_back(4);
    for (int k = 0; k < 4; ++k) put_float(b, 1.0f + k);
    b.push_back(9);
    for (int k = 0; k < 9; ++k) put_float(b, 2.0f + k);
    b.push_back(3);
    put_float(b, 3.0f);
    put_absent(b);
    put_float(b, 0.0f);
    return b;
}

inline Bytes dc_alarm_block(uint8_t volt_state = 0, uint8_t fuse = 0) {
    Bytes b{volt_state, 64};
    b.insert(b.end(), 64, 0);
    b[2] = fuse;
    b.push_back(2);
    b.insert(b.end(), {1, 2});
    return b;
}

// ---- Rectifier group and parameters: whole information bytes ----------------------------

inline Bytes rc_analog(uint8_t flag, int modules) {
    Bytes b{flag};
    put_float(b, 53.5f);
    b.push_back(static_cast<uint8_t>(modules));
    for (int k = 0; k < modules; ++k) {
        put_float(b, 30.0f + k);
        b.push_back(4);
        for (int u = 0; u < 3; ++u) put_float(b, 1.0f + u);
        put_absent(b);
    }
    return b;
}

inline Bytes rc_switch(uint8_t flag, int modules) {
    Bytes b{flag, static_cast<uint8_t>(modules)};
    for (int k = 0; k < modules; ++k) b.insert(b.end(), {0, 1, 0, 1, 0});
    return b;
}

inline Bytes rc_alarm(uint8_t flag, int modules, uint8_t fault = 0) {
    Bytes b{flag, static_cast<uint8_t>(modules)};
    for (int k = 0; k < modules; ++k) b.insert(b.end(), {fault, 4, 0, 0, 0, 0});
    return b;
}

inline Bytes ac_params() {
    Bytes b;
    for (int k = 0; k < 5; ++k) put_float(b, 100.0f * (k + 1));
    b.push_back(0);
    return b;
}

inline Bytes dc_params() {
    Bytes b;
    put_float(b, 57.6f);
    put_float(b, 42.0f);
    b.push_back(5);
    for (int k = 0; k < 5; ++k) put_float(b, 1.5f * k);
    return b;
}

// ---- Whole replies of the screen groups -------------------------------------------------

inline Bytes model_reply(const std::string& model = "zrt4600a") {
    Bytes b(model.begin(), model.end());
    b.resize(20, 0);
    return b;
}

inline Bytes ac_analog(uint8_t flag, const std::vector<int>& channels, float base = 220.0f) {
    Bytes b{flag, static_cast<uint8_t>(channels.size())};
    for (int n : channels) put(b, ac_analog_part(n, base));
    return b;
}

inline Bytes ac_alarm(uint8_t flag, const std::vector<int>& channels, uint8_t state = 0) {
    Bytes b{flag, static_cast<uint8_t>(channels.size())};
    for (int n : channels) put(b, ac_alarm_part(n, state));
    return b;
}

// Screen k reports the voltage base + k.
inline Bytes dc_analog(uint8_t flag, int screens, float base = 50.0f) {
    Bytes b{flag, static_cast<uint8_t>(screens)};
    for (int k = 0; k < screens; ++k) put(b, dc_analog_block(base + k));
    return b;
}

inline Bytes dc_alarm(uint8_t flag, int screens, uint8_t volt_state = 0, uint8_t fuse = 0) {
    Bytes b{flag, static_cast<uint8_t>(screens)};
    for (int k = 0; k < screens; ++k) put(b, dc_alarm_block(volt_state, fuse));
    return b;
}

}  // namespace zrt::fuzz

#pragma once
// The simulated power plant: AC distribution screens with their input channels, the
// rectifier group, DC distribution screens and the system parameters, as the equipment
// reports them on the serial line. Loaded from a JSON plant file; scripted steps change
// single fields by path while the simulation runs.
#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include <json/value.h>

namespace zrt::sim {

// Bad plant file, step path or fault description.
class PlantError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A 4-byte analogue value. An absent value goes out as the no-value pattern.
struct Value {
    bool present = true;
    float v = 0.0f;
};

struct AcChannel {
    Value a, b, c, f;  // line/phase voltages AB/A, BC/B, CA/C and the frequency
    uint8_t a_alert = 0, b_alert = 0, c_alert = 0, f_alert = 0;
    std::vector<Value> analog_user;                         // user analogue values (none expected)
    std::vector<uint8_t> alarm_extra;                       // further alarm states (none expected)
    std::vector<uint8_t> alarm_user = std::vector<uint8_t>(8, 0);  // user alarm bytes (8 expected)
};

struct AcScreen {
    std::vector<AcChannel> channels;
    Value ia, ib, ic;  // phase currents
    uint8_t ia_alert = 0, ib_alert = 0, ic_alert = 0;
    std::vector<uint8_t> breakers;                           // breaker states (none expected)
    std::vector<uint8_t> state_user = std::vector<uint8_t>(3, 0);  // user switch states (3 expected)
};

struct DcScreen {
    Value v, i;  // output voltage and current
    std::vector<Value> dc_m, dc_n;  // further analogue values (up to 4 and 9)
    std::vector<Value> user_p;      // user analogue values (up to 3)
    uint8_t volt_state = 0;         // 1 too low, 2 too high
    std::vector<uint8_t> fuses = std::vector<uint8_t>(64, 0);  // 3 is a blown fuse (64 expected)
    std::vector<uint8_t> alert_p;   // user alarm bytes (up to 13)
};

struct RcModule {
    Value value;
    std::vector<Value> analog_user = std::vector<Value>(4);     // 4 expected
    std::vector<uint8_t> state = std::vector<uint8_t>(3, 0);    // always 3 on the wire
    std::vector<uint8_t> state_user = std::vector<uint8_t>(1, 0);  // 1 expected
    uint8_t fault = 0;                                          // 1 is a module fault
    std::vector<uint8_t> alarm_user = std::vector<uint8_t>(4, 0);  // 4 expected
};

struct Rectifiers {
    Value group_value;
    std::vector<RcModule> modules;
};

struct Plant {
    std::string model = "zrt4600a";
    std::vector<AcScreen> ac;
    Rectifiers rc;
    std::vector<DcScreen> dc;
    std::array<Value, 5> ac_param{};
    std::vector<Value> ac_user_param;           // user AC parameters (any count)
    std::array<Value, 2> dc_param{};
    std::vector<Value> dc_user_param = std::vector<Value>(5);  // 5 expected
};

// Reads a plant from its JSON description (see docs/host.md). Throws PlantError naming the
// offending key.
Plant plant_from_json(const Json::Value& doc);

// Sets one field named by a path such as "ac[0].channels[1].a_alert", "rc.modules[3].fault",
// "dc[1].fuses[5]", "dc[0].v" or "model". A number sets a value, null makes a value absent,
// an array replaces a whole list. Throws PlantError for an unknown path or a bad value.
void set_field(Plant& plant, const std::string& path, const Json::Value& value);

// Information bytes of each reply. `dataflag` is the reply's DATAFLAG byte where it has one.
std::vector<uint8_t> info_model(const Plant& p);                   // 40_51
std::vector<uint8_t> info_ac_analog(const Plant& p, uint8_t dataflag);   // 40_41
std::vector<uint8_t> info_ac_switch(const Plant& p, uint8_t dataflag);   // 40_43
std::vector<uint8_t> info_ac_alarm(const Plant& p, uint8_t dataflag);    // 40_44
std::vector<uint8_t> info_rc_analog(const Plant& p, uint8_t dataflag);   // 41_41
std::vector<uint8_t> info_rc_switch(const Plant& p, uint8_t dataflag);   // 41_43
std::vector<uint8_t> info_rc_alarm(const Plant& p, uint8_t dataflag);    // 41_44
std::vector<uint8_t> info_dc_analog(const Plant& p, uint8_t dataflag);   // 42_41
std::vector<uint8_t> info_dc_alarm(const Plant& p, uint8_t dataflag);    // 42_44
std::vector<uint8_t> info_ac_param(const Plant& p);                // 40_46
std::vector<uint8_t> info_dc_param(const Plant& p);                // 42_46

// The model field of the 40_51 reply: the model text in 20 bytes, NUL-padded.
constexpr size_t kModelField = 20;
// Byte used for all four bytes of an absent value.
constexpr uint8_t kNoValueByte = 0x20;

}  // namespace zrt::sim

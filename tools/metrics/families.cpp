#include "tools/metrics/families.h"

#include <cstring>

namespace zrt::host {

namespace {

constexpr int AC = kAcRecordType, RC = kRcRecordType, DC = kDcRecordType;
using S = FamilyShape;

const std::vector<const char*> kAcAlarmStates = {"normal", "low", "high", "missing"};

}  // namespace

const std::vector<FamilyDef>& value_families() {
    // The first pattern that takes a key wins, so a specific key comes before a pattern
    // with a hole that would also take it (ac_param_0 before ac_param_{index}).
    static const std::vector<FamilyDef> defs = {
        {AC, "channel_{input}_{phase}", "zrt4600a_ac_input_voltage_volts", "volts",
         "AC input line/phase voltage (phase A: AB/A, B: BC/B, C: CA/C)"},
        {AC, "channel_{input}_f", "zrt4600a_ac_input_frequency_hertz", "hertz", "AC input frequency"},
        {AC, "channel_{input}_{phase}_alert", "zrt4600a_ac_input_voltage_alarm_state", "",
         "AC input voltage alarm state as the screen reports it", S::StateSet, kAcAlarmStates},
        {AC, "channel_{input}_f_alert", "zrt4600a_ac_input_frequency_alarm_state", "",
         "AC input frequency alarm state as the screen reports it", S::StateSet, kAcAlarmStates},
        {AC, "i{phase}", "zrt4600a_ac_input_current_amperes", "amperes", "AC input current per phase"},
        {AC, "i{phase}_alert", "zrt4600a_ac_input_current_alarm_state", "",
         "AC input current alarm state per phase as the screen reports it", S::StateSet, kAcAlarmStates},
        {AC, "state_user_{index}", "zrt4600a_ac_user_state", "", "User-defined state code of the AC screen"},

        {RC, "group_value", "zrt4600a_rectifier_output_voltage_volts", "volts", "Output voltage of the rectifier group"},
        {RC, "module_count", "zrt4600a_rectifier_modules", "", "Rectifier modules the group reports"},
        {RC, "module_{module}_value", "zrt4600a_rectifier_output_current_amperes", "amperes",
         "Output current of the rectifier module"},
        {RC, "module_{module}_fault", "zrt4600a_rectifier_fault", "", "1 while the rectifier module reports a fault",
         S::Flag, {}, 1},
        {RC, "module_{module}_state_{index}", "zrt4600a_rectifier_switch_state", "",
         "Switch state code of the rectifier module"},
        {RC, "module_{module}_user_{index}", "zrt4600a_rectifier_user_value", "",
         "User-defined analogue value of the rectifier module (no unit known)"},
        {RC, "ac_param_0", "zrt4600a_ac_input_voltage_upper_limit_volts", "volts",
         "AC input voltage upper limit set in the system"},
        {RC, "ac_param_1", "zrt4600a_ac_input_voltage_lower_limit_volts", "volts",
         "AC input voltage lower limit set in the system"},
        {RC, "ac_param_2", "zrt4600a_ac_input_frequency_upper_limit_hertz", "hertz",
         "AC input frequency upper limit set in the system"},
        {RC, "ac_param_3", "zrt4600a_ac_input_frequency_lower_limit_hertz", "hertz",
         "AC input frequency lower limit set in the system"},
        {RC, "ac_param_{index}", "zrt4600a_ac_setting", "", "Further AC parameter of the system (no unit known)"},
        {RC, "dc_param_0", "zrt4600a_dc_output_voltage_upper_limit_volts", "volts",
         "DC output voltage upper limit set in the system"},
        {RC, "dc_param_1", "zrt4600a_dc_output_voltage_lower_limit_volts", "volts",
         "DC output voltage lower limit set in the system"},
        {RC, "dc_user_param_{index}", "zrt4600a_dc_user_setting", "", "User-defined DC parameter (no unit known)"},

        {DC, "v", "zrt4600a_dc_output_voltage_volts", "volts", "DC output (bus) voltage of the screen"},
        {DC, "i", "zrt4600a_dc_output_current_amperes", "amperes", "DC output current of the screen"},
        {DC, "volt_state", "zrt4600a_dc_output_voltage_alarm_state", "",
         "DC output voltage alarm state as the screen reports it", S::StateSet, {"normal", "low", "high"}},
        {DC, "fuse_count", "zrt4600a_dc_fuses_reported", "", "Fuses the DC screen reports"},
        {DC, "fuse_{fuse}", "zrt4600a_dc_fuse_blown", "", "1 while the DC screen reports the fuse blown", S::Flag, {},
         3},
        {DC, "dc_m_{index}", "zrt4600a_dc_extra_value", "", "Further values M and N of the DC screen (no unit known)",
         S::Gauge, {}, 1, "set", "M"},
        {DC, "dc_n_{index}", "zrt4600a_dc_extra_value", "", "Further values M and N of the DC screen (no unit known)",
         S::Gauge, {}, 1, "set", "N"},
        {DC, "user_p_{index}", "zrt4600a_dc_user_value", "", "User-defined value of the DC screen (no unit known)"},
    };
    return defs;
}

namespace {

// Matches `key` against `pattern`; fills the hole labels. Numbers count from 1 in labels.
bool match(const char* pattern, const std::string& key, std::vector<std::pair<std::string, std::string>>& labels) {
    size_t k = 0;
    const char* p = pattern;
    while (*p) {
        if (*p == '{') {
            const char* close = std::strchr(p, '}');
            const std::string hole(p + 1, close);
            p = close + 1;
            if (hole == "phase") {
                if (k >= key.size() || key[k] < 'a' || key[k] > 'c') return false;
                labels.emplace_back("phase", std::string(1, static_cast<char>(key[k] - 'a' + 'A')));
                ++k;
                continue;
            }
            size_t end = k;
            while (end < key.size() && key[end] >= '0' && key[end] <= '9') ++end;
            if (end == k || end - k > 6) return false;
            labels.emplace_back(hole, std::to_string(std::stoul(key.substr(k, end - k)) + 1));
            k = end;
            continue;
        }
        if (k >= key.size() || key[k] != *p) return false;
        ++k;
        ++p;
    }
    return k == key.size();
}

}  // namespace

bool family_of(int record_type, const std::string& key, ValueSample& out) {
    const auto& defs = value_families();
    for (size_t i = 0; i < defs.size(); ++i) {
        if (defs[i].record_type != record_type) continue;
        std::vector<std::pair<std::string, std::string>> labels;
        if (defs[i].fixed_label) labels.emplace_back(defs[i].fixed_label, defs[i].fixed_value);
        if (match(defs[i].pattern, key, labels)) {
            out.family = i;
            out.labels = std::move(labels);
            return true;
        }
    }
    return false;
}

bool has_screen_label(int record_type) { return record_type == kAcRecordType || record_type == kDcRecordType; }

}  // namespace zrt::host

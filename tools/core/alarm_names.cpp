#include "tools/core/alarm_names.h"

#include <cstring>

namespace zrt::host {

namespace {

struct AlarmName {
    const char* key;
    const char* signal_id;  // where every rule of the key has the same one
    const char* name;       // the system's own text, exactly as it registers it
    const char* english;
};

const AlarmName kNames[] = {
    {"AC_0", "06015", "交流输入电压过低告警", "AC input voltage low"},
    {"AC_1", "06015", "交流输入电压过低告警", "AC input voltage low"},
    {"AC_2", "06015", "交流输入电压过低告警", "AC input voltage low"},
    {"AC_3", "06019", "交流输入频率过低告警", "AC input frequency low"},
    {"AC_4", "06014", "交流输入电压过高告警", "AC input voltage high"},
    {"AC_5", "06014", "交流输入电压过高告警", "AC input voltage high"},
    {"AC_6", "06014", "交流输入电压过高告警", "AC input voltage high"},
    {"AC_7", "06018", "交流输入频率过高告警", "AC input frequency high"},
    {"AC_8", "06017", "交流输入缺相告警", "AC input phase missing"},
    {"AC_9", "06017", "交流输入缺相告警", "AC input phase missing"},
    {"AC_10", "06017", "交流输入缺相告警", "AC input phase missing"},
    {"AC_12", nullptr, "A相输入电流低于下限", "Phase A input current below lower limit"},
    {"AC_13", nullptr, "B相输入电流低于下限", "Phase B input current below lower limit"},
    {"AC_14", nullptr, "C相输入电流低于下限", "Phase C input current below lower limit"},
    {"AC_15", nullptr, "A相输入电流高于上限", "Phase A input current above upper limit"},
    {"AC_16", nullptr, "B相输入电流高于上限", "Phase B input current above upper limit"},
    {"AC_17", nullptr, "C相输入电流高于上限", "Phase C input current above upper limit"},
    {"AC_18", nullptr, "A相输入电流缺项", "Phase A input current missing"},
    {"AC_19", nullptr, "B相输入电流缺项", "Phase B input current missing"},
    {"AC_20", nullptr, "C相输入电流缺项", "Phase C input current missing"},
    {"DC_0", "06008", "输出电压过低告警", "DC output voltage low"},
    {"DC_1", "06009", "输出电压过高告警", "DC output voltage high"},
    {"DC_3", "06001", "电池熔丝故障告警", "Battery fuse fault"},
    {"RC_0", "06024", "整流模块故障告警", "Rectifier module fault"},
    {"device_model", "70319", "设备配置检测", "Equipment model does not match the driver"},
    {"line_lost", "99001", "通信中断告警", "Communication with the system lost"},
};

}  // namespace

std::vector<KnownAlarm> known_alarms() {
    std::vector<KnownAlarm> out;
    for (const AlarmName& a : kNames) {
        bool seen = false;
        for (const KnownAlarm& k : out) seen = seen || k.key == a.key;
        if (!seen) out.push_back({a.key, a.name, a.english});
    }
    return out;
}

std::string alarm_english(const std::string& key, const std::string& name) {
    for (const AlarmName& a : kNames)
        if (key == a.key && name == a.name) return a.english;
    return name;
}

std::string alarm_english_by_signal(const std::string& key, const std::string& signal_id) {
    for (const AlarmName& a : kNames)
        if (key == a.key) return a.english;
    for (const AlarmName& a : kNames)
        if (a.signal_id && signal_id == a.signal_id) return a.english;
    return "alarm " + signal_id;
}

const char* alarm_gloss(const std::string& name) {
    for (const AlarmName& a : kNames)
        if (name == a.name) return a.english;
    return nullptr;
}

const char* alarm_severity(unsigned level) {
    switch (level) {
    case 1: return "critical";
    case 2: return "major";
    case 3: return "minor";
    default: return "warning";
    }
}

}  // namespace zrt::host

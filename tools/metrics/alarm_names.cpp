#include "tools/metrics/alarm_names.h"

#include <cstring>

namespace zrt::host {

namespace {

struct AlarmName {
    const char* key;
    const char* name;  // the system's own text, exactly as it registers it
    const char* english;
};

const AlarmName kNames[] = {
    {"AC_0", "交流输入电压过低告警", "AC input voltage low"},
    {"AC_1", "交流输入电压过低告警", "AC input voltage low"},
    {"AC_2", "交流输入电压过低告警", "AC input voltage low"},
    {"AC_3", "交流输入频率过低告警", "AC input frequency low"},
    {"AC_4", "交流输入电压过高告警", "AC input voltage high"},
    {"AC_5", "交流输入电压过高告警", "AC input voltage high"},
    {"AC_6", "交流输入电压过高告警", "AC input voltage high"},
    {"AC_7", "交流输入频率过高告警", "AC input frequency high"},
    {"AC_8", "交流输入缺相告警", "AC input phase missing"},
    {"AC_9", "交流输入缺相告警", "AC input phase missing"},
    {"AC_10", "交流输入缺相告警", "AC input phase missing"},
    {"AC_12", "A相输入电流低于下限", "Phase A input current below lower limit"},
    {"AC_13", "B相输入电流低于下限", "Phase B input current below lower limit"},
    {"AC_14", "C相输入电流低于下限", "Phase C input current below lower limit"},
    {"AC_15", "A相输入电流高于上限", "Phase A input current above upper limit"},
    {"AC_16", "B相输入电流高于上限", "Phase B input current above upper limit"},
    {"AC_17", "C相输入电流高于上限", "Phase C input current above upper limit"},
    {"AC_18", "A相输入电流缺项", "Phase A input current missing"},
    {"AC_19", "B相输入电流缺项", "Phase B input current missing"},
    {"AC_20", "C相输入电流缺项", "Phase C input current missing"},
    {"DC_0", "输出电压过低告警", "DC output voltage low"},
    {"DC_1", "输出电压过高告警", "DC output voltage high"},
    {"DC_3", "电池熔丝故障告警", "Battery fuse fault"},
    {"RC_0", "整流模块故障告警", "Rectifier module fault"},
    {"device_model", "设备配置检测", "Equipment model does not match the driver"},
    {"line_lost", "通信中断告警", "Communication with the system lost"},
};

}  // namespace

std::string alarm_english(const std::string& key, const std::string& name) {
    for (const AlarmName& a : kNames)
        if (key == a.key && name == a.name) return a.english;
    return name;
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

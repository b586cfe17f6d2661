#pragma once
// The settings file's keys, checked strictly against one table of known keys: an unknown
// key, a value of the wrong type or out of range, and two devices with the same data id
// are refused with a line that names the key (with its path, "acSetting[1].appSetting.diff_v")
// and the file. Keys starting with '_' are free for comments, at every level.
#include <string>

#include <json/value.h>

namespace zrt::host {

// Throws HostError: kExitUnknownKey, kExitSettingValue or kExitDuplicateId. `file` names
// the settings file in the message.
void check_settings(const Json::Value& settings, const std::string& file);

// What the top device needs before it is configured (a missing "rcSetting" is named).
// Throws HostError (kExitDevice).
void check_top_structure(const Json::Value& settings, const std::string& device_type, const std::string& file);

}  // namespace zrt::host

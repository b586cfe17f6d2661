#pragma once
// English names of the alarms the system raises, beside its own Chinese texts, and the
// severity each alarm level stands for.
#include <string>

namespace zrt::host {

// The English name of an alarm rule, found by its key and its Chinese name together; the
// Chinese name itself when the pair is not one this table knows.
std::string alarm_english(const std::string& key, const std::string& name);

// Level 1 "critical", 2 "major", 3 "minor"; anything else "warning".
const char* alarm_severity(unsigned level);

}  // namespace zrt::host

#pragma once
// English names of the alarms the system raises, beside its own Chinese texts, and the
// severity each alarm level stands for: one table, read by every sink that shows an alarm
// (metrics labels, the live page, the SNMP alarm table, the report's glosses).
#include <string>
#include <vector>

namespace zrt::host {

// The English name of an alarm rule, found by its key and its Chinese name together; the
// Chinese name itself when the pair is not one this table knows.
std::string alarm_english(const std::string& key, const std::string& name);

// The English name of an alarm found by its key, or else by its signal id (a rule whose key
// the table does not hold, such as a screen's numbered rules); "alarm <signal id>" when
// neither is known.
std::string alarm_english_by_signal(const std::string& key, const std::string& signal_id);

// The English beside one of the system's alarm names; nullptr for a name not known here.
const char* alarm_gloss(const std::string& name);

// Every alarm key this table knows, with the system's own text and its English name, in the
// table's order (a key the system registers under several texts is listed once).
struct KnownAlarm {
    std::string key, name, english;
};
std::vector<KnownAlarm> known_alarms();

// Level 1 "critical", 2 "major", 3 "minor"; anything else "warning".
const char* alarm_severity(unsigned level);

}  // namespace zrt::host

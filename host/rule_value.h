#pragma once
#include <cstdint>
#include <string>

#include "host_api.h"

// One alarm rule of a cycle, as CheckThresholdBool records it. The plug-in only moves and
// copies whole vectors of these; the host reads the fields.
struct HOST_API rule_value {
    uint8_t active = 0;       // 1 while the alarm condition holds
    std::string key;          // alarm kind, shared by all instances ("AC_0")
    std::string signal_id;    // five-digit signal identifier ("06015")
    uint32_t level = 0;       // 1, 2 or 3
    uint32_t sequence = 0;    // instance number within the device's cycle
    std::string name;         // alarm name
    std::string instance;     // instance text
    uint32_t data_id = 0;     // data id of the device that registered the rule
};

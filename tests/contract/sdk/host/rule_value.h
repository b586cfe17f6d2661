#pragma once
#include <cstdint>
#include <string>

// One alarm rule: a flag, two texts, two words, two texts, one word.
struct rule_value {
    uint8_t on = 0;
    std::string alarm_key;
    std::string signal;
    uint32_t grade = 0;
    uint32_t index = 0;
    std::string title;
    std::string where;
    uint32_t owner = 0;
};

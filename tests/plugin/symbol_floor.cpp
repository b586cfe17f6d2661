#include "symbol_floor.h"

#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace {

const char* const kFamilies[] = {"GLIBC", "GLIBCXX", "CXXABI"};

bool is_family(const std::string& f) {
    for (const char* k : kFamilies)
        if (f == k) return true;
    return false;
}

// "GLIBCXX_3.4.29" -> ("GLIBCXX", "3.4.29"); false for a name without a dotted number.
bool split_version(const std::string& name, std::string& family, std::string& number) {
    const size_t u = name.rfind('_');
    if (u == std::string::npos || u + 1 >= name.size()) return false;
    number = name.substr(u + 1);
    if (number.find_first_not_of("0123456789.") != std::string::npos || number.front() == '.') return false;
    family = name.substr(0, u);
    return true;
}

}  // namespace

int compare_dotted(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    while (i < a.size() || j < b.size()) {
        const unsigned long x = i < a.size() ? std::strtoul(a.c_str() + i, nullptr, 10) : 0;
        const unsigned long y = j < b.size() ? std::strtoul(b.c_str() + j, nullptr, 10) : 0;
        if (x != y) return x < y ? -1 : 1;
        i = a.find('.', i);
        i = i == std::string::npos ? a.size() : i + 1;
        j = b.find('.', j);
        j = j == std::string::npos ? b.size() : j + 1;
    }
    return 0;
}

std::map<std::string, std::string> floor_from_readme(const std::string& text) {
    std::istringstream in(text);
    std::string line;
    bool inside = false;
    std::map<std::string, std::string> floor;
    while (std::getline(in, line)) {
        if (!line.empty() && line[0] == '#') {  // a heading of any level
            const size_t text = line.find_first_not_of('#');
            inside = text != std::string::npos && line.compare(text, std::string::npos, " Controller requirements") == 0;
            continue;
        }
        if (!inside || line.empty() || line[0] != '|') continue;
        for (size_t open = line.find('`'); open != std::string::npos; open = line.find('`', open + 1)) {
            const size_t close = line.find('`', open + 1);
            if (close == std::string::npos) break;
            std::string family, number;
            if (split_version(line.substr(open + 1, close - open - 1), family, number) && is_family(family) &&
                !floor.count(family)) {
                floor[family] = number;
                break;  // the first version of a row is its floor
            }
            open = close;
        }
    }
    for (const char* f : kFamilies)
        if (!floor.count(f))
            throw std::runtime_error(std::string("docs/controller-requirements.md: no ") + f +
                                     "_ row in the \"Controller requirements\" table");
    return floor;
}

std::map<std::string, std::string> highest_needed(const std::vector<NeededVersion>& needed) {
    std::map<std::string, std::string> out;
    for (const NeededVersion& v : needed) {
        std::string family, number;
        if (!split_version(v.version, family, number)) continue;
        auto it = out.find(family);
        if (it == out.end() || compare_dotted(number, it->second) > 0) out[family] = number;
    }
    return out;
}

std::vector<std::string> above_floor(const std::map<std::string, std::string>& needed,
                                     const std::map<std::string, std::string>& floor) {
    std::vector<std::string> out;
    for (const auto& [family, number] : needed) {
        if (!is_family(family)) continue;
        auto f = floor.find(family);
        if (f == floor.end()) out.push_back(family + "_" + number + ": the table has no " + family + "_ floor");
        else if (compare_dotted(number, f->second) > 0)
            out.push_back(family + "_" + number + " is above the floor " + family + "_" + f->second);
    }
    return out;
}

#pragma once
// The oldest controller the shipped plug-in loads into, as symbol versions: the "Controller
// requirements" table of docs/controller-requirements.md names, per family (GLIBC, GLIBCXX, CXXABI), the highest
// version a plug-in build may need; an object is checked against it.
#include <map>
#include <string>
#include <vector>

#include "elf_symbols.h"

// Family -> highest version, e.g. "GLIBC" -> "2.31". Reads the rows of the table under the
// "Controller requirements" heading (of any level) that hold a `FAMILY_x.y` in backticks. Throws
// std::runtime_error when the section or one of the three families is missing.
std::map<std::string, std::string> floor_from_readme(const std::string& readme_text);

// Compares dotted version numbers by number: "2.4" < "2.31", "3.4.9" < "3.4.29".
int compare_dotted(const std::string& a, const std::string& b);

// The highest version of each family the object needs ("GLIBC_PRIVATE" and the like, which
// carry no number, are left out).
std::map<std::string, std::string> highest_needed(const std::vector<NeededVersion>& needed);

// One line per family needed above the floor, or a family needed that the floor lacks.
std::vector<std::string> above_floor(const std::map<std::string, std::string>& needed,
                                     const std::map<std::string, std::string>& floor);

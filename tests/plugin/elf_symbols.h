#pragma once
#include <set>
#include <string>

// Names of the symbols an ELF shared object defines and exports in its dynamic symbol
// table (global or weak, not undefined). Reads 32- and 64-bit little-endian files, so the
// ARM plug-in can be checked on any machine. Throws std::runtime_error on a file it cannot
// read as such.
std::set<std::string> exported_symbols(const std::string& path);

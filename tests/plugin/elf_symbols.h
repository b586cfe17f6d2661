#pragma once
#include <set>
#include <string>
#include <vector>

// One entry of an ELF shared object's dynamic symbol table.
struct DynamicSymbol {
    std::string name;
    bool defined = false;    // false: the loading process must supply it
    bool weak = false;
    bool versioned = false;  // bound to a symbol version of a needed library (libc, libstdc++, libgcc)
};

// The global and weak entries of the dynamic symbol table. Reads 32- and 64-bit
// little-endian files, so the ARM plug-in can be checked on any machine. Throws
// std::runtime_error on a file it cannot read as such.
std::vector<DynamicSymbol> dynamic_symbols(const std::string& path);

// Names of the symbols the object defines and exports (global or weak, not undefined).
std::set<std::string> exported_symbols(const std::string& path);

// One symbol version the object needs from a library (its .gnu.version_r section).
struct NeededVersion {
    std::string library;  // e.g. "libc.so.6"
    std::string version;  // e.g. "GLIBC_2.17"
};
std::vector<NeededVersion> needed_versions(const std::string& path);

// The libraries the object names in its dynamic section (DT_NEEDED), in order.
std::vector<std::string> needed_libraries(const std::string& path);

#include "host_symbols.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>

namespace {

bool starts_with(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

bool any_prefix(const std::string& s, std::initializer_list<const char*> prefixes) {
    for (const char* p : prefixes)
        if (starts_with(s, p)) return true;
    return false;
}

// Namespaces of the runtime and of the libraries the plug-in may use.
constexpr std::initializer_list<const char*> kLibraries = {"std::", "__gnu_cxx::", "__cxxabiv1::", "boost::", "Json::"};

bool is_contract_class(const std::string& s) {
    return s == "VDeviceInterface" || s == "TXQVDevice" || s == "TXQSPDevice" || s == "PMBusProtocol";
}

}  // namespace

std::string demangled(const std::string& name) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> out(abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status), std::free);
    return status == 0 && out ? std::string(out.get()) : name;
}

std::string refusal(const DynamicSymbol& s, bool sanitized, const std::function<bool(const std::string&)>& runtime_has) {
    if (s.defined) return {};
    const std::string d = demangled(s.name);
    if (s.name.find("devhost") != std::string::npos || d.find("devhost") != std::string::npos)
        return "names the development host";
    // libc, libstdc++ and libgcc bind every symbol they export to a version.
    if (s.versioned) return {};

    if (!starts_with(s.name, "_Z")) {
        if (s.name == "txq_log_sink") return s.weak ? std::string() : "the log sink must be a weak reference";
        if (s.weak && (s.name == "__gmon_start__" || starts_with(s.name, "_ITM_"))) return {};
        // Runtimes of the sanitizer builds and of the ARM EABI.
        if (any_prefix(s.name, {"__asan_", "__ubsan_", "__tsan_", "__lsan_", "__sanitizer_", "__aeabi_"})) return {};
        if (sanitized && runtime_has && runtime_has(s.name)) return {};
        return "a C symbol that is neither the runtime nor the log sink";
    }
    if (d == s.name) return "cannot be demangled";

    if (any_prefix(d, kLibraries) || any_prefix(d, {"operator new", "operator delete"})) return {};
    if (starts_with(d, "get_ttime(")) return {};
    for (const char* cls : {"VDeviceInterface::", "TXQVDevice::", "TXQSPDevice::", "PMBusProtocol::"})
        if (starts_with(d, cls)) return {};
    for (const char* what : {"typeinfo for ", "typeinfo name for ", "vtable for ", "VTT for "}) {
        if (!starts_with(d, what)) continue;
        const std::string type = d.substr(std::string(what).size());
        if (is_contract_class(type) || any_prefix(type, kLibraries)) return {};
        if (sanitized && d == "typeinfo for TXQController") return {};
        return "type data of a class the contract does not name";
    }
    return "not an operation of the contract";
}

#pragma once
#include <string>

#include "elf_symbols.h"

// Why the plug-in may not leave `s` for the loading process to define, or an empty text
// when it may: a contract operation of the host (VDeviceInterface, TXQVDevice,
// TXQSPDevice, PMBusProtocol, get_ttime, their typeinfo and vtables), the C/C++ runtime,
// jsoncpp, Boost, or the optional weak log sink. Nothing may name the development host.
std::string refusal(const DynamicSymbol& s);
// The demangled name, or the name itself when it is not a mangled C++ name.
std::string demangled(const std::string& name);

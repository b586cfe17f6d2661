#pragma once
#include <functional>
#include <string>

#include "elf_symbols.h"

// Why the plug-in may not leave `s` for the loading process to define, or an empty text
// when it may: a contract operation of the host (VDeviceInterface, TXQVDevice,
// TXQSPDevice, PMBusProtocol, get_ttime, their typeinfo and vtables), the C/C++ runtime,
// jsoncpp, Boost, or the optional weak log sink. Nothing may name the development host.
//
// Sanitizer builds are told apart by `sanitized`: their libc references carry no version
// (the sanitizer runtime intercepts them), so an unversioned C name passes when
// `runtime_has` finds it in the C/C++ runtime; and UBSan's vptr check references the
// typeinfo of TXQController, the contract's controller class, which passes there too.
std::string refusal(const DynamicSymbol& s, bool sanitized = false,
                    const std::function<bool(const std::string&)>& runtime_has = {});
// The demangled name, or the name itself when it is not a mangled C++ name.
std::string demangled(const std::string& name);

#pragma once
// Format texts of the plug-in's log lines that the host acts on. A line is recognised by the
// identity of its format text and read through its typed arguments, never by matching the
// formatted line.
#include <string>
#include <variant>

#include "devhost/devhost.h"

namespace zrt::host::plugin_text {

// Arguments: data id, the count the plant reports, the count the settings configure.
inline constexpr char kAcNumber[] = "PMBusPower:ProcotolError {} read ac_number is {}, configured ac_number is {}";
inline constexpr char kDcNumber[] = "PMBusPower:ProcotolError {} read dc_number is {}, configured dc_number is {}";
// Arguments: data id, the module count of the alarm reply, the module count the child holds.
inline constexpr char kModuleCount[] =
    "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} parse p41_44 channel_count not equal {} != {} ";
// Argument: data id. A module reply longer than the modules the child holds.
inline constexpr char kModuleOverflow[] = "PMBusPower:ProcotolError {} parse p41_41 overflow memory boundary";

// One argument as text ("" past the end).
inline std::string arg_text(const devhost::LogEvent& e, size_t k) {
    if (k >= e.args.size()) return {};
    return std::visit(
        [](const auto& v) -> std::string {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::string>) return v;
            else return std::to_string(v);
        },
        e.args[k]);
}

}  // namespace zrt::host::plugin_text

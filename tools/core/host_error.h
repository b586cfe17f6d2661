#pragma once
#include <stdexcept>
#include <string>

namespace zrt::host {

// Exit codes of zrt4600a-host. Each is documented in zrt4600a-host(1), docs/host.md and --help.
enum ExitCode {
    kExitOk = 0,
    kExitRuntime = 1,       // the line failed while running and could not be opened again
    kExitUsage = 2,         // a bad option; a settings, plant or record file that cannot be read or parsed
    kExitPlugin = 3,        // the plug-in cannot be loaded or has no get_providers
    kExitPort = 4,          // the serial port cannot be opened or is in use by another process
    kExitDevice = 5,        // no factory for the device type, or the device refused its settings
    kExitHistory = 6,       // the history store cannot be opened or is in use by another writer
    kExitUnknownKey = 7,    // an unknown settings key
    kExitSettingValue = 8,  // a settings value of the wrong type or out of range
    kExitDuplicateId = 9,   // two devices with the same data id
    kExitInterrupted = 10,  // SIGINT or SIGTERM before --cycles N completed
    kExitNoCycle = 11,      // --cycles N: no complete cycle within --give-up seconds
    kExitRefused = 12,      // a --query the device refused, or a value it holds as absent
};

// A failure that ends the program with `code` and `what()` on standard error.
class HostError : public std::runtime_error {
public:
    HostError(ExitCode code, const std::string& what) : std::runtime_error(what), code_(code) {}
    ExitCode code() const { return code_; }

private:
    ExitCode code_;
};

}  // namespace zrt::host

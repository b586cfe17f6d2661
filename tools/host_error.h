#pragma once
#include <stdexcept>
#include <string>

namespace zrt::host {

// Exit codes of zrt4600a-host.
enum ExitCode {
    kExitOk = 0,
    kExitRuntime = 1,   // the line failed while running
    kExitUsage = 2,     // bad options, unreadable or invalid settings or plant
    kExitPlugin = 3,    // the plug-in cannot be loaded or has no get_providers
    kExitPort = 4,      // the serial port cannot be opened
    kExitDevice = 5,    // no factory for the device type, or the device refused its settings
    kExitHistory = 6,   // the history store cannot be opened
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

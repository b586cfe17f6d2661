#pragma once
// Loads a device plug-in at run time: dlopen, get_providers, and the factory whose device
// reports the wanted type. The host has no link-time dependency on any plug-in; the
// plug-in's references to the host framework resolve against this process.
#include <memory>
#include <string>
#include <vector>

#include "host/TXQSPDevice.h"
#include "plugin/provider.h"

namespace zrt::host {

class Plugin {
public:
    // Throws HostError (kExitPlugin) when the library cannot be loaded or has no
    // get_providers.
    explicit Plugin(const std::string& path);
    // The library stays loaded for the life of the process: devices and factories made
    // from it may outlive this object.
    ~Plugin() = default;

    // The device types the factories make, in factory order.
    std::vector<std::string> device_types() const;
    // A new device from the factory whose devices report `device_type`. Throws HostError
    // (kExitDevice) when no factory makes that type.
    std::shared_ptr<TXQSPDevice> create(const std::string& device_type) const;

    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::vector<std::shared_ptr<Provider>> providers_;
};

}  // namespace zrt::host

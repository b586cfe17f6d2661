#include "tools/app/plugin_loader.h"

#include <dlfcn.h>

#include "tools/core/host_error.h"

namespace zrt::host {
namespace {

using GetProviders = std::vector<std::shared_ptr<Provider>> (*)();

// Every factory of the contract is a TXQSPDeviceProvider; the vector's element type is
// the root class only.
const TXQSPDeviceProvider& factory(const std::shared_ptr<Provider>& p) {
    return static_cast<const TXQSPDeviceProvider&>(*p);
}

std::shared_ptr<TXQSPDevice> make(const std::shared_ptr<Provider>& p) {
    return std::shared_ptr<TXQSPDevice>(factory(p).create());
}

}  // namespace

Plugin::Plugin(const std::string& path) : path_(path) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* err = dlerror();
        throw HostError(kExitPlugin, "cannot load the plug-in " + path + ": " + (err ? err : "unknown error"));
    }
    dlerror();
    void* sym = dlsym(handle, "get_providers");
    if (!sym) {
        dlclose(handle);
        throw HostError(kExitPlugin, "the plug-in " + path + " has no get_providers");
    }
    providers_ = reinterpret_cast<GetProviders>(sym)();
    for (const auto& p : providers_)
        if (!p) throw HostError(kExitPlugin, "the plug-in " + path + " returned an empty factory");
}

std::vector<std::string> Plugin::device_types() const {
    std::vector<std::string> out;
    for (const auto& p : providers_) {
        auto dev = make(p);
        out.push_back(dev ? dev->DeviceType() : std::string());
    }
    return out;
}

std::shared_ptr<TXQSPDevice> Plugin::create(const std::string& device_type) const {
    std::string known;
    for (const auto& p : providers_) {
        auto dev = make(p);
        if (!dev) continue;
        if (dev->DeviceType() == device_type) return dev;
        known += (known.empty() ? "" : ", ") + dev->DeviceType();
    }
    throw HostError(kExitDevice, "the plug-in " + path_ + " makes no device of type \"" + device_type +
                                     "\" (it makes: " + known + ")");
}

}  // namespace zrt::host

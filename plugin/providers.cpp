#include "ac/zrt4600_ac.h"
#include "dc/zrt4600_dc.h"
#include "plugin/provider.h"
#include "power/zrt4600a.h"
#include "rc/zrt4600_rc.h"

namespace {

template <class Device>
class DeviceProvider : public TXQSPDeviceProvider {
public:
    ~DeviceProvider() override = default;
    // All four device classes derive singly from TXQSPDevice, so the pointer needs no
    // adjustment. A throwing constructor frees the storage and lets the exception pass.
    TXQSPDevice* create() const override { return new Device(); }
};

}  // namespace

class zrt4600aProvider final : public DeviceProvider<zrt4600a> {};
class zrt4600aACProvider final : public DeviceProvider<zrt4600aAC> {};
class zrt4600aDCProvider final : public DeviceProvider<zrt4600aDC> {};
class zrt4600aRCProvider final : public DeviceProvider<zrt4600aRC> {};

extern "C" std::vector<std::shared_ptr<Provider>> get_providers() {
    std::vector<std::shared_ptr<Provider>> providers;
    providers.reserve(4);
    providers.push_back(std::make_shared<zrt4600aProvider>());
    providers.push_back(std::make_shared<zrt4600aACProvider>());
    providers.push_back(std::make_shared<zrt4600aDCProvider>());
    providers.push_back(std::make_shared<zrt4600aRCProvider>());
    return providers;
}

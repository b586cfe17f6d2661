#include "ac/zrt4600_ac.h"
#include "dc/zrt4600_dc.h"
#include "plugin/provider.h"
#include "power/zrt4600a.h"
#include "rc/zrt4600_rc.h"

// One factory per registered device type. All four device classes derive singly from
// TXQSPDevice, so create() hands back the pointer unadjusted; a throwing constructor frees
// the storage and lets the exception pass to the caller.

class zrt4600aProvider final : public TXQSPDeviceProvider {
public:
    ~zrt4600aProvider() override = default;
    TXQSPDevice* create() const override { return new zrt4600a(); }
};

class zrt4600aACProvider final : public TXQSPDeviceProvider {
public:
    ~zrt4600aACProvider() override = default;
    TXQSPDevice* create() const override { return new zrt4600aAC(); }
};

class zrt4600aDCProvider final : public TXQSPDeviceProvider {
public:
    ~zrt4600aDCProvider() override = default;
    TXQSPDevice* create() const override { return new zrt4600aDC(); }
};

class zrt4600aRCProvider final : public TXQSPDeviceProvider {
public:
    ~zrt4600aRCProvider() override = default;
    TXQSPDevice* create() const override { return new zrt4600aRC(); }
};

// Every call builds new factories; the library keeps no reference to them.
extern "C" std::vector<std::shared_ptr<Provider>> get_providers() {
    std::vector<std::shared_ptr<Provider>> providers;
    providers.reserve(4);
    providers.push_back(std::make_shared<zrt4600aProvider>());
    providers.push_back(std::make_shared<zrt4600aACProvider>());
    providers.push_back(std::make_shared<zrt4600aDCProvider>());
    providers.push_back(std::make_shared<zrt4600aRCProvider>());
    return providers;
}

#pragma once
#include <memory>
#include <vector>

#include "host/TXQSPDevice.h"

// Root factory interface.
class Provider {
public:
    virtual ~Provider() = default;
};

// A factory of one device type. create() returns a new device the caller owns.
class TXQSPDeviceProvider : public Provider {
public:
    ~TXQSPDeviceProvider() override = default;
    virtual TXQSPDevice* create() const = 0;
};

extern "C" __attribute__((visibility("default"))) std::vector<std::shared_ptr<Provider>> get_providers();

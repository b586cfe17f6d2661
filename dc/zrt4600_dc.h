#pragma once
// Placeholder until the DC child lands: the registered class and its model base.
#include "host/TXQSPDevice.h"

class ZRT4600DC : public TXQSPDevice {
public:
    ZRT4600DC() { device_type = "zrt4600-dc"; }
    explicit ZRT4600DC(const std::string&) : ZRT4600DC() {}
    bool LoadFromCache(const unsigned char*, int) override { return false; }
};

class zrt4600aDC : public ZRT4600DC {
public:
    zrt4600aDC() { device_type = "zrt4600a-dc"; }
    explicit zrt4600aDC(const std::string&) : zrt4600aDC() {}
};

#pragma once
// Placeholder until the RC child lands: the registered class and its model base.
#include "host/TXQSPDevice.h"

class ZRT4600RC : public TXQSPDevice {
public:
    ZRT4600RC() { device_type = "zrt4600-rc"; }
    explicit ZRT4600RC(const std::string&) : ZRT4600RC() {}
    bool LoadFromCache(const unsigned char*, int) override { return false; }
};

class zrt4600aRC : public ZRT4600RC {
public:
    zrt4600aRC() { device_type = "zrt4600a-rc"; }
    explicit zrt4600aRC(const std::string&) : zrt4600aRC() {}
};

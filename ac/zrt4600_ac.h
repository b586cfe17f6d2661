#pragma once
// Placeholder until the AC child lands: the registered class and its model base.
#include "host/TXQSPDevice.h"

class ZRT4600AC : public TXQSPDevice {
public:
    ZRT4600AC() { device_type = "zrt4600-ac"; }
    explicit ZRT4600AC(const std::string&) : ZRT4600AC() {}
    bool LoadFromCache(const unsigned char*, int) override { return false; }
};

class zrt4600aAC : public ZRT4600AC {
public:
    zrt4600aAC() { device_type = "zrt4600a-ac"; }
    explicit zrt4600aAC(const std::string&) : zrt4600aAC() {}
};

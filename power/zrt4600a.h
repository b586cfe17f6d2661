#pragma once
// Placeholder until the poller lands.
#include "host/PMBusProtocol.h"

class zrt4600a : public PMBusProtocol {
public:
    zrt4600a() {
        device_type = "zrt4600a";
        baud_rate = 9600;
        sp_flag = 1;
        version = 0x20;
    }
    bool LoadFromCache(const unsigned char*, int) override { return true; }
};

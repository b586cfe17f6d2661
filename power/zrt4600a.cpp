#include "power/zrt4600a.h"

template class PMBusPower<zrt4600aAC, zrt4600aDC, zrt4600aRC>;
template class PMBusPower<ZRT4600AC, ZRT4600DC, ZRT4600RC>;

zrt4600a::zrt4600a() : PMBusPower({"zrt4600a"}) {
    device_type = "zrt4600a";
    baud_rate = 9600;
    sp_flag = 1;
    version = 0x20;
}

zrt4600a::~zrt4600a() = default;

bool zrt4600a::process_payload() { return run_cycle(zrt::kFixedPathCycle); }

ZRT4600::ZRT4600() : PMBusPower({"zrt4600"}) {
    device_type = "zrt4600";
    baud_rate = 9600;
    sp_flag = 1;
    version = 0x20;
}

ZRT4600::~ZRT4600() = default;

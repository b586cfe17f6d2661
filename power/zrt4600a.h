#pragma once
// The two top devices: the registered model and the model-neutral one that nothing in the
// library creates. Each fixes its children, its device type and the line settings.
#include "ac/zrt4600_ac.h"
#include "dc/zrt4600_dc.h"
#include "power/pmbus_power.h"
#include "rc/zrt4600_rc.h"

extern template class PMBusPower<zrt4600aAC, zrt4600aDC, zrt4600aRC>;
extern template class PMBusPower<ZRT4600AC, ZRT4600DC, ZRT4600RC>;

class zrt4600a : public PMBusPower<zrt4600aAC, zrt4600aDC, zrt4600aRC> {
public:
    zrt4600a();
    ~zrt4600a() override;
    // Its own road through the cycle (zrt::kFixedPathCycle).
    bool process_payload() override;
};

class ZRT4600 : public PMBusPower<ZRT4600AC, ZRT4600DC, ZRT4600RC> {
public:
    ZRT4600();
    ~ZRT4600() override;
};

#pragma once
// The DC distribution screen models of the ZRT4600 power system: ZRT4600DC, and the
// registered zrt4600aDC that the plug-in's DC factory and the registered poller create.
#include <string>

#include "dc/dc_records.h"
#include "dc/pmbus_power_dc.h"

extern template class PMBusPowerDC<tele_c_zrt4600_dc, kDcRecordType>;

class ZRT4600DC : public PMBusPowerDC<tele_c_zrt4600_dc, kDcRecordType> {
public:
    ZRT4600DC();
    // The poller passes its model text; the screen does not use it.
    explicit ZRT4600DC(const std::string& model);
    ~ZRT4600DC() override;
    void DoImpCheckAlert() override;
};

class zrt4600aDC : public ZRT4600DC {
public:
    zrt4600aDC();
    explicit zrt4600aDC(const std::string& model);
    ~zrt4600aDC() override;
};

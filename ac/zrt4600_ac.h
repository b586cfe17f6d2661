#pragma once
// The AC distribution screen models of the ZRT4600 power system: ZRT4600AC, and the
// registered zrt4600aAC that the plug-in's AC factory and the registered poller create.
#include <string>

#include "ac/ac_records.h"
#include "ac/pmbus_power_ac.h"

extern template class PMBusPowerAC<tele_c_zrt4600_ac, tele_c_zrt4600_ac_channel, kAcRecordType>;

class ZRT4600AC : public PMBusPowerAC<tele_c_zrt4600_ac, tele_c_zrt4600_ac_channel, kAcRecordType> {
public:
    ZRT4600AC();
    // The poller passes its model text; the screen does not use it.
    explicit ZRT4600AC(const std::string& model);
    ~ZRT4600AC() override;
    void DoImpCheckAlert() override;
};

class zrt4600aAC : public ZRT4600AC {
public:
    zrt4600aAC();
    explicit zrt4600aAC(const std::string& model);
    ~zrt4600aAC() override;
};

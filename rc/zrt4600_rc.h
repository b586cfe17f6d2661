#pragma once
// The rectifier group models of the ZRT4600 power system: ZRT4600RC, and the registered
// zrt4600aRC that the plug-in's rectifier factory and the registered poller create.
#include <string>

#include "rc/pmbus_power_rc.h"
#include "rc/rc_records.h"

extern template class PMBusPowerRC<tele_c_zrt4600_rc, tele_c_zrt4600_rc_channel, kRcRecordType>;

class ZRT4600RC : public PMBusPowerRC<tele_c_zrt4600_rc, tele_c_zrt4600_rc_channel, kRcRecordType> {
public:
    ZRT4600RC();
    // The poller passes its model text; the group does not use it.
    explicit ZRT4600RC(const std::string& model);
    ~ZRT4600RC() override;
    void DoImpCheckAlert() override;
};

class zrt4600aRC : public ZRT4600RC {
public:
    zrt4600aRC();
    explicit zrt4600aRC(const std::string& model);
    ~zrt4600aRC() override;
};

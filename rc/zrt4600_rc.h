#pragma once
// The rectifier child of the power system, and its registered model.
#include <string>

#include "rc/pmbus_power_rc.h"
#include "rc/rc_records.h"

extern template class PMBusPowerRC<tele_c_zrt4600_rc, tele_c_zrt4600_rc_channel, 5107>;

class ZRT4600RC : public PMBusPowerRC<tele_c_zrt4600_rc, tele_c_zrt4600_rc_channel, 5107> {
public:
    ZRT4600RC();
    explicit ZRT4600RC(const std::string&);
    ~ZRT4600RC() override;
    void DoImpCheckAlert() override;
};

class zrt4600aRC : public ZRT4600RC {
public:
    zrt4600aRC();
    explicit zrt4600aRC(const std::string&);
    ~zrt4600aRC() override;
};

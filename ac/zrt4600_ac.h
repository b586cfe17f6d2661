#pragma once
// The AC distribution screen device of the ZRT4600 power system: the model class and the
// registered class the plug-in's factory creates.
#include <string>

#include "ac/ac_records.h"
#include "ac/pmbus_power_ac.h"

// The record type identifier the screen's image is published under.
inline constexpr int kAcRecordType = 5106;

extern template class PMBusPowerAC<tele_c_zrt4600_ac, tele_c_zrt4600_ac_channel, kAcRecordType>;

class ZRT4600AC : public PMBusPowerAC<tele_c_zrt4600_ac, tele_c_zrt4600_ac_channel, kAcRecordType> {
public:
    ZRT4600AC() { device_type = "zrt4600-ac"; }
    explicit ZRT4600AC(const std::string&) : ZRT4600AC() {}
    ~ZRT4600AC() override = default;
    // The channels' user-defined alarm bytes are kept and published but raise no alarm.
    void DoImpCheckAlert() override {}
};

class zrt4600aAC : public ZRT4600AC {
public:
    zrt4600aAC() { device_type = "zrt4600a-ac"; }
    explicit zrt4600aAC(const std::string&) : zrt4600aAC() {}
    ~zrt4600aAC() override = default;
};

#include "rc/zrt4600_rc.h"

template class PMBusPowerRC<tele_c_zrt4600_rc, tele_c_zrt4600_rc_channel, kRcRecordType>;

ZRT4600RC::ZRT4600RC() { device_type = "zrt4600-rc"; }
ZRT4600RC::ZRT4600RC(const std::string& model) : PMBusPowerRC(model) { device_type = "zrt4600-rc"; }
ZRT4600RC::~ZRT4600RC() = default;

// The modules' user-defined alarm bytes are stored and published but raise nothing.
void ZRT4600RC::DoImpCheckAlert() {}

zrt4600aRC::zrt4600aRC() { device_type = "zrt4600a-rc"; }
zrt4600aRC::zrt4600aRC(const std::string& model) : ZRT4600RC(model) { device_type = "zrt4600a-rc"; }
zrt4600aRC::~zrt4600aRC() = default;

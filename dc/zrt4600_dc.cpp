#include "dc/zrt4600_dc.h"

template class PMBusPowerDC<tele_c_zrt4600_dc, 5108>;

ZRT4600DC::ZRT4600DC() { device_type = "zrt4600-dc"; }
ZRT4600DC::ZRT4600DC(const std::string& model) : PMBusPowerDC(model) { device_type = "zrt4600-dc"; }
void ZRT4600DC::DoImpCheckAlert() {}

zrt4600aDC::zrt4600aDC() { device_type = "zrt4600a-dc"; }
zrt4600aDC::zrt4600aDC(const std::string& model) : ZRT4600DC(model) { device_type = "zrt4600a-dc"; }

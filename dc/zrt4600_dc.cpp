#include "dc/zrt4600_dc.h"

#include "common/trace_line.h"

namespace zrt {
namespace dc {

void trace_42_41(const unsigned char* p, int len) {
    TraceLine line;
    line.text("parse 42 41:");
    for (int k = 0; k < len && k < 4; ++k) line.text(" ").hex(p[k]);
    line.end();
}

}  // namespace dc
}  // namespace zrt

template class PMBusPowerDC<tele_c_zrt4600_dc, kDcRecordType>;

ZRT4600DC::ZRT4600DC() { device_type = "zrt4600-dc"; }
ZRT4600DC::ZRT4600DC(const std::string& model) : PMBusPowerDC(model) { device_type = "zrt4600-dc"; }
ZRT4600DC::~ZRT4600DC() = default;

// The user-defined alarm bytes are published in the image but raise no alarm.
void ZRT4600DC::DoImpCheckAlert() {}

zrt4600aDC::zrt4600aDC() { device_type = "zrt4600a-dc"; }
zrt4600aDC::zrt4600aDC(const std::string& model) : ZRT4600DC(model) { device_type = "zrt4600a-dc"; }
zrt4600aDC::~zrt4600aDC() = default;

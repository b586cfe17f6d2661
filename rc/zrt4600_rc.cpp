#include "rc/zrt4600_rc.h"

#include "common/trace_line.h"

namespace zrt {
namespace rc {

void trace_cache_length(int len, int record_size) {
    TraceLine().text("rc data_len:").dec(len).text(" vs ").dec(record_size).end();
}

void trace_cache_modules(int module_size, int count, int left) {
    TraceLine().text("rc channelLen ").dec(module_size).text(" and ").dec(count).text(" left:").dec(left).end();
}

}  // namespace rc
}  // namespace zrt

template class PMBusPowerRC<tele_c_zrt4600_rc, tele_c_zrt4600_rc_channel, kRcRecordType>;

ZRT4600RC::ZRT4600RC() { device_type = "zrt4600-rc"; }
ZRT4600RC::ZRT4600RC(const std::string& model) : PMBusPowerRC(model) { device_type = "zrt4600-rc"; }
ZRT4600RC::~ZRT4600RC() = default;

// The modules' user-defined alarm bytes are stored and published but raise nothing.
void ZRT4600RC::DoImpCheckAlert() {}

zrt4600aRC::zrt4600aRC() { device_type = "zrt4600a-rc"; }
zrt4600aRC::zrt4600aRC(const std::string& model) : ZRT4600RC(model) { device_type = "zrt4600a-rc"; }
zrt4600aRC::~zrt4600aRC() = default;

// The DC screen's parse hooks from any reachable state: a stream of operations
// (fuzz_util.h) mixing both hooks on arbitrary blocks with well-formed blocks, cache loads
// and cycle ends.
// Properties: a hook returns -1 or a count within its block, and an accepted block's count
// is the one its own count fields give; well-formed blocks are taken whole; RoundDone
// publishes and saves exactly the record.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "children.h"
#include "dc/zrt4600_dc.h"
#include "fuzz_util.h"
#include "ops.h"
#include "replies.h"

using namespace zrt::fuzz;

namespace {

using namespace dc_ops;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    quiet_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Host& host = shared_host();
    auto dev = make_child<zrt4600aDC>(host, 21);
    const auto& rec = dev->record;
    OpReader in(data, size);
    int cycle_ends = 0;
    while (in.more()) {
        switch (in.byte() % kCount) {
        case kParse41: {
            HeapBytes block(in.payload());
            const int r = dev->parse42_41(block.data(), block.size());
            ZRT_FUZZ_CHECK(r == -1 || (r >= 0 && r <= block.size()));
            if (r >= 0 && rec.p_count <= 3) ZRT_FUZZ_CHECK(r == 11 + 4 * (rec.dc_m + rec.dc_n + rec.p_count));
            if (r >= 0 && rec.p_count > 3) ZRT_FUZZ_CHECK(r == block.size());
            break;
        }
        case kParse44: {
            HeapBytes block(in.payload());
            const int r = dev->parse42_44(block.data(), block.size());
            ZRT_FUZZ_CHECK(r == -1 || (r >= 0 && r <= block.size()));
            if (r >= 0) ZRT_FUZZ_CHECK(r == 3 + rec.alert_m_count + rec.alert_p_count);
            break;
        }
        case kPrime: {
            HeapBytes analog(dc_analog_block());
            HeapBytes alarm(dc_alarm_block(in.byte() % 3, in.byte() % 4));
            ZRT_FUZZ_CHECK(dev->parse42_41(analog.data(), analog.size()) == analog.size());
            ZRT_FUZZ_CHECK(dev->parse42_44(alarm.data(), alarm.size()) == alarm.size());
            break;
        }
        case kLoad: {
            HeapBytes image(in.payload());
            const bool ok = dev->LoadFromCache(image.data(), image.size());
            ZRT_FUZZ_CHECK(ok == (image.size() == static_cast<int>(sizeof rec)));
            break;
        }
        case kRoundDone: {
            if (++cycle_ends > kMaxCycleEnds) break;
            host.forget();
            dev->RoundDone();
            std::vector<uint8_t> expected;
            append_raw(expected, rec);
            check_cycle_image(host, expected);
            break;
        }
        }
        host.forget();
    }
    host.end_input(*dev);
    return 0;
}

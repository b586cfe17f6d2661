// The rectifier child's five parse hooks from any reachable state: a stream of operations
// (fuzz_util.h) mixing the hooks on arbitrary info bytes with a well-formed 41_41 reply
// that fixes the module count, cache loads and cycle ends.
// Properties: the module hooks return -1 or a count within the info; the parameter hooks
// return -1 or at least their fixed part; the module list always has `module_count`
// entries; a well-formed analogue reply is taken whole unless its count disagrees with the
// fixed one; RoundDone publishes and saves exactly the records.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "children.h"
#include "fuzz_util.h"
#include "ops.h"
#include "rc/zrt4600_rc.h"
#include "replies.h"

using namespace zrt::fuzz;

namespace {

// The records are the device's own; the target reads them to check the hooks.
class Rectifiers : public zrt4600aRC {
public:
    using zrt4600aRC::modules;
    using zrt4600aRC::record;
};

using namespace rc_ops;

using Hook = int (Rectifiers::*)(const unsigned char*, int);
constexpr Hook kHooks[] = {&Rectifiers::parse41_41, &Rectifiers::parse41_43, &Rectifiers::parse41_44,
                           &Rectifiers::parse40_46, &Rectifiers::parse42_46};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    quiet_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Host& host = shared_host();
    auto dev = make_child<Rectifiers>(host, 100);
    OpReader in(data, size);
    int cycle_ends = 0;
    while (in.more()) {
        const uint8_t op = in.byte() % kCount;
        switch (op) {
        case kParse41_41:
        case kParse41_43:
        case kParse41_44: {
            HeapBytes info(in.payload());
            const int r = ((*dev).*kHooks[op])(info.data(), info.size());
            ZRT_FUZZ_CHECK(r == -1 || (r >= 0 && r <= info.size()));
            break;
        }
        case kParse40_46: {
            HeapBytes info(in.payload());
            const int r = dev->parse40_46(info.data(), info.size());
            ZRT_FUZZ_CHECK(r == -1 || (r == 21 && info.size() >= 21) || (r > 21 && (r - 21) % 4 == 0));
            break;
        }
        case kParse42_46: {
            HeapBytes info(in.payload());
            const int r = dev->parse42_46(info.data(), info.size());
            ZRT_FUZZ_CHECK(r == -1 || (r >= 9 && r <= 9 + 4 * 255));
            if (r >= 0 && dev->record.dc_user_count == 5) ZRT_FUZZ_CHECK(r <= info.size() && r <= 29);
            break;
        }
        case kPrime: {
            static const auto infos = table_of<8>([](int m) { return rc_analog(0, m); });
            const int m = in.byte() % 8;
            const bool fits = dev->modules.empty() || dev->record.module_count == m;
            HeapBytes info(infos[m]);
            ZRT_FUZZ_CHECK(dev->parse41_41(info.data(), info.size()) == (fits ? info.size() : -1));
            break;
        }
        case kLoad: {
            HeapBytes image(in.payload());
            dev->LoadFromCache(image.data(), image.size());
            break;
        }
        case kRoundDone: {
            if (dev->modules.size() > kMaxCycleChannels || ++cycle_ends > kMaxCycleEnds) break;
            host.forget();
            dev->RoundDone();
            std::vector<uint8_t> expected;
            append_raw(expected, dev->record);
            for (const auto& m : dev->modules) append_raw(expected, m);
            check_cycle_image(host, expected);
            break;
        }
        }
        ZRT_FUZZ_CHECK(dev->modules.size() == dev->record.module_count);
        host.forget();
    }
    host.end_input(*dev);
    return 0;
}

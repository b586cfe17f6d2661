// The AC screen's parse hooks from any reachable state. The input is a stream of
// operations (fuzz_util.h): the three hooks on arbitrary parts, a well-formed 40_41 part
// that fixes the channel count, a cache load and the end of a cycle, in any order.
// Properties: a hook returns -1 or a count within its part; the channel list always has
// `channel_count` entries; a well-formed part is taken whole unless the count it reports
// disagrees with the one already fixed; RoundDone publishes and saves exactly the records.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ac/zrt4600_ac.h"
#include "children.h"
#include "fuzz_util.h"
#include "ops.h"
#include "replies.h"

using namespace zrt::fuzz;

namespace {

using namespace ac_ops;

void check_result(const zrt4600aAC& dev, int r, int len) {
    ZRT_FUZZ_CHECK(r == -1 || (r >= 0 && r <= len));
    ZRT_FUZZ_CHECK(dev.channels.size() == dev.record.channel_count);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    quiet_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Host& host = shared_host();
    auto dev = make_child<zrt4600aAC>(host, 11);
    OpReader in(data, size);
    int cycle_ends = 0;
    while (in.more()) {
        switch (in.byte() % kCount) {
        case kParse41: {
            HeapBytes part(in.payload());
            check_result(*dev, dev->parse40_41(part.data(), part.size()), part.size());
            break;
        }
        case kParse43: {
            HeapBytes part(in.payload());
            check_result(*dev, dev->parse40_43(part.data(), part.size()), part.size());
            break;
        }
        case kParse44: {
            HeapBytes part(in.payload());
            check_result(*dev, dev->parse40_44(part.data(), part.size()), part.size());
            break;
        }
        case kPrime41: {
            static const auto parts = table_of<8>([](int n) { return ac_analog_part(n); });
            const int n = in.byte() % 8;
            const bool fits = dev->channels.empty() || dev->record.channel_count == n;
            HeapBytes part(parts[n]);
            const int r = dev->parse40_41(part.data(), part.size());
            ZRT_FUZZ_CHECK(r == (fits ? part.size() : -1));
            check_result(*dev, r, part.size());
            break;
        }
        case kLoad: {
            HeapBytes image(in.payload());
            dev->LoadFromCache(image.data(), image.size());
            ZRT_FUZZ_CHECK(dev->channels.size() == dev->record.channel_count);
            break;
        }
        case kRoundDone: {
            if (dev->channels.size() > kMaxCycleChannels || ++cycle_ends > kMaxCycleEnds) break;
            host.forget();
            dev->RoundDone();
            std::vector<uint8_t> expected;
            append_raw(expected, dev->record);
            for (const auto& ch : dev->channels) append_raw(expected, ch);
            check_cycle_image(host, expected);
            break;
        }
        }
        host.forget();
    }
    host.end_input(*dev);
    return 0;
}

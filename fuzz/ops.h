#pragma once
// Operation codes of the targets that read their input as a stream of operations
// (fuzz_util.h), shared with the seed corpus program.
#include <cstddef>
#include <cstdint>

namespace zrt::fuzz {

// Cycle ends an input may run in the parse-hook targets; later ones are skipped. A cycle end
// registers every alarm rule of the device and is by far the dearest operation, while a
// third one in the same input reaches nothing the first two did not.
constexpr int kMaxCycleEnds = 2;
// Nor does a cycle end run on a screen or rectifier group with more channels or modules than
// this: its rules grow with the count (eleven per AC channel, each with texts of its own),
// so a screen of 200 channels costs a hundred times one of two, while past a dozen the walk
// meets nothing new (the instance numbers already have two digits). The parse hooks and
// cache loads still take every count up to 255.
constexpr size_t kMaxCycleChannels = 12;

namespace ac_ops {
enum : uint8_t { kParse41, kParse43, kParse44, kPrime41, kLoad, kRoundDone, kCount };
}
namespace dc_ops {
enum : uint8_t { kParse41, kParse44, kPrime, kLoad, kRoundDone, kCount };
}
namespace rc_ops {
enum : uint8_t { kParse41_41, kParse41_43, kParse41_44, kParse40_46, kParse42_46, kPrime, kLoad, kRoundDone, kCount };
}
namespace cache_ops {
enum : uint8_t { kLoadAc, kLoadDc, kLoadRc, kPrimeAc, kPrimeRc, kCount };
}
namespace conversation_ops {
enum : uint8_t {
    kRefreshLate,  // the last update lies long back
    kRefresh,      // as the clock stands
    kReply,        // info bytes for the awaited command
    kReplyAny,     // any CID1 and return code
    kRaw,          // bytes as they come
    kGood,         // a well-formed reply to the awaited command
    kSplit,        // a reply to the awaited command handed over in two pieces
    kTimeout,      // the line stays silent past the reply time-out
    kQuery,
    kLoad,
    kCount
};
}

// get_value: the first input byte picks the device (byte % 3) and its state ((byte >> 2) % 4).
namespace get_value_state {
enum : uint8_t { kNoData, kFresh, kStale, kFuture, kCount };
}

}  // namespace zrt::fuzz

// The three children's LoadFromCache on arbitrary images, after any mix of earlier loads
// and well-formed replies. Input: a stream of operations (fuzz_util.h).
// Properties: an image is accepted exactly when its length fits its own count; a refused
// image changes nothing; after an accepted one the next cycle publishes the same bytes
// with only the time stamp renewed (after the first kMaxCycleEnds accepted loads of an
// input, of counts up to kMaxCacheCycleChannels); value queries refuse only with
// std::out_of_range.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "ac/zrt4600_ac.h"
#include "children.h"
#include "dc/zrt4600_dc.h"
#include "fuzz_util.h"
#include "ops.h"
#include "rc/zrt4600_rc.h"
#include "replies.h"

using namespace zrt::fuzz;

namespace {

using Rectifiers = zrt4600aRC;

using namespace cache_ops;

std::vector<uint8_t> records_of(const zrt4600aAC& d) {
    std::vector<uint8_t> out;
    append_raw(out, d.record);
    for (const auto& c : d.channels) append_raw(out, c);
    return out;
}
std::vector<uint8_t> records_of(const zrt4600aDC& d) {
    std::vector<uint8_t> out;
    append_raw(out, d.record);
    return out;
}
std::vector<uint8_t> records_of(const Rectifiers& d) {
    std::vector<uint8_t> out;
    append_raw(out, d.record);
    for (const auto& m : d.modules) append_raw(out, m);
    return out;
}

// The cycle after a load checks the image the load left; a small count shows a buffer that
// does not fit as well as a large one, at a tenth of the rules' cost.
constexpr size_t kMaxCacheCycleChannels = 4;

const char* query_key(const zrt4600aAC&) { return "channel_3_f"; }
const char* query_key(const zrt4600aDC&) { return "v"; }
const char* query_key(const Rectifiers&) { return "x"; }

size_t channel_count(const zrt4600aAC& d) { return d.channels.size(); }
size_t channel_count(const zrt4600aDC&) { return 0; }
size_t channel_count(const Rectifiers& d) { return d.modules.size(); }

// Loads `image` into `dev`; `fits` is whether the image's length agrees with its count,
// and the 7-byte time stamp of the record lies at `stamp_at`.
template <class Dev>
void load(Host& host, Dev& dev, const std::vector<uint8_t>& bytes, bool fits, size_t stamp_at, int& cycle_ends) {
    const std::vector<uint8_t> before = records_of(dev);
    const bool was_ready = dev.data_ready;
    HeapBytes image(bytes);
    const bool ok = dev.LoadFromCache(image.data(), image.size());
    ZRT_FUZZ_CHECK(ok == fits);
    if (!ok) {
        ZRT_FUZZ_CHECK(records_of(dev) == before && dev.data_ready == was_ready);
        return;
    }
    ZRT_FUZZ_CHECK(dev.data_ready && records_of(dev) == bytes);
    // One key the child answers from the image, where it has one (the value queries
    // themselves are fuzzed on their own).
    try {
        dev.Get_Value(0, query_key(dev));
    } catch (const std::out_of_range&) {
    }
    if (channel_count(dev) > kMaxCacheCycleChannels || ++cycle_ends > kMaxCycleEnds) return;
    host.forget();
    dev.RoundDone();
    ZRT_FUZZ_CHECK(host.published().size() == 1);
    const std::vector<uint8_t> published = host.published().back().image;
    ZRT_FUZZ_CHECK(published.size() == bytes.size());
    std::vector<uint8_t> expected = bytes;
    std::memcpy(expected.data() + stamp_at, published.data() + stamp_at, 7);
    ZRT_FUZZ_CHECK(published == expected);
    host.forget();
}

// A child of the input, made on first use.
template <class Dev>
class Lazy {
public:
    Lazy(Host& host, unsigned id) : host_(host), id_(id) {}
    Dev& operator*() {
        if (!dev_) dev_ = make_child<Dev>(host_, id_);
        return *dev_;
    }
    Dev* operator->() { return &**this; }
    void end_input() {
        if (dev_) host_.end_input(*dev_);
    }

private:
    Host& host_;
    unsigned id_;
    std::shared_ptr<Dev> dev_;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    quiet_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Host& host = shared_host();
    // Each child is made when the input first reaches it: most inputs load one or two.
    Lazy<zrt4600aAC> ac(host, 11);
    Lazy<zrt4600aDC> dc(host, 21);
    Lazy<Rectifiers> rc(host, 100);
    OpReader in(data, size);
    int cycle_ends = 0;
    while (in.more()) {
        switch (in.byte() % kCount) {
        case kLoadAc: {
            const std::vector<uint8_t> b = in.payload();
            const bool fits = b.size() > 32 && b.size() - 32 == 30u * b[16];
            load(host, *ac, b, fits, 25, cycle_ends);
            break;
        }
        case kLoadDc: {
            const std::vector<uint8_t> b = in.payload();
            load(host, *dc, b, b.size() == 166, 159, cycle_ends);
            break;
        }
        case kLoadRc: {
            const std::vector<uint8_t> b = in.payload();
            const bool fits = b.size() >= 65 && b.size() - 65 == 32u * b[57];
            load(host, *rc, b, fits, 58, cycle_ends);
            break;
        }
        case kPrimeAc: {
            static const auto parts = table_of<4>([](int n) { return ac_analog_part(n); });
            HeapBytes part(parts[in.byte() % 4]);
            ac->parse40_41(part.data(), part.size());
            break;
        }
        case kPrimeRc: {
            static const auto infos = table_of<4>([](int m) { return rc_analog(0, m); });
            HeapBytes info(infos[in.byte() % 4]);
            rc->parse41_41(info.data(), info.size());
            break;
        }
        }
        host.forget();
    }
    ac.end_input();
    dc.end_input();
    rc.end_input();
    return 0;
}

// The reply frame decoder fed an arbitrary byte stream, once whole and once in pieces.
// Input: one byte that seeds the piece sizes, then the stream.
// Properties: the pieces give the same frames and counters as the whole stream; every frame
// handed on has LENID equal to twice its info length and decodes from its own encoding to
// itself; after any stream a well-formed frame is still decoded.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "devhost/frame.h"
#include "fuzz_util.h"

using devhost::Frame;
using devhost::FrameDecoder;

namespace {

std::vector<std::string> decode_all(const std::string& bytes) {
    std::vector<std::string> out;
    FrameDecoder d([&out](const Frame& f) { out.push_back(devhost::encode_frame(f)); });
    d.feed(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    return out;
}

bool same_stats(const devhost::DecoderStats& a, const devhost::DecoderStats& b) {
    return a.frames == b.frames && a.bad_checksum == b.bad_checksum && a.bad_lchksum == b.bad_lchksum &&
           a.bad_format == b.bad_format && a.truncated == b.truncated && a.garbage == b.garbage;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    zrt::fuzz::quiet_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    uint32_t x = 2654435761u * (data[0] + 1u);
    const uint8_t* stream = data + 1;
    const size_t n = size - 1;

    std::vector<std::string> whole, pieces;
    auto collect = [](std::vector<std::string>& out) {
        return [&out](const Frame& f) {
            ZRT_FUZZ_CHECK(f.info.size() * 2 == f.lenid);
            out.push_back(devhost::encode_frame(f));
        };
    };
    FrameDecoder a(collect(whole));
    FrameDecoder b(collect(pieces));

    a.feed(stream, n);
    for (size_t pos = 0; pos < n;) {
        x = x * 1103515245u + 12345u;
        size_t k = (x >> 16) % 40;  // pieces of 0 to 39 bytes
        if (k > n - pos) k = n - pos;
        b.feed(stream + pos, k);
        pos += k;
    }
    ZRT_FUZZ_CHECK(whole == pieces);
    ZRT_FUZZ_CHECK(same_stats(a.stats(), b.stats()));
    ZRT_FUZZ_CHECK(a.stats().frames == whole.size());

    for (const std::string& e : whole) {
        const std::vector<std::string> again = decode_all(e);
        ZRT_FUZZ_CHECK(again.size() == 1 && again[0] == e);
    }

    // Whatever came before, a well-formed frame that follows is decoded.
    const uint8_t info[] = {0x11, 0x00, 0xFE};
    const std::string good = devhost::encode_frame(0x20, 0x01, 0x42, 0x00, info, sizeof info);
    a.feed(reinterpret_cast<const uint8_t*>(good.data()), good.size());
    ZRT_FUZZ_CHECK(whole.size() == pieces.size() + 1 && whole.back() == good);
    ZRT_FUZZ_CHECK(!a.in_frame());
    return 0;
}

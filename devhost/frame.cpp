#include "frame.h"

#include <stdexcept>

namespace devhost {
namespace {

const char kHex[] = "0123456789ABCDEF";

void put_hex(std::string& out, uint8_t b) {
    out.push_back(kHex[b >> 4]);
    out.push_back(kHex[b & 0x0F]);
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Reads `digits` hex characters at `pos`; -1 when one of them is not hex.
long read_hex(const std::string& s, size_t pos, int digits) {
    long v = 0;
    for (int i = 0; i < digits; ++i) {
        int d = hex_value(s[pos + i]);
        if (d < 0) return -1;
        v = (v << 4) | d;
    }
    return v;
}

}  // namespace

uint16_t length_field(uint16_t lenid) {
    lenid &= kMaxLenId;
    unsigned sum = (lenid & 0xF) + ((lenid >> 4) & 0xF) + ((lenid >> 8) & 0xF);
    unsigned lchk = (~sum + 1) & 0xF;
    return static_cast<uint16_t>((lchk << 12) | lenid);
}

uint16_t frame_checksum(const char* chars, size_t n) {
    unsigned sum = 0;
    for (size_t i = 0; i < n; ++i) sum += static_cast<uint8_t>(chars[i]);
    return static_cast<uint16_t>((~sum + 1) & 0xFFFF);
}

std::string encode_frame(uint8_t ver, uint8_t adr, uint8_t cid1, uint8_t cid2, const uint8_t* info,
                         size_t info_len) {
    if (info_len > kMaxInfoBytes) throw std::length_error("frame info longer than LENID allows");
    std::string out;
    out.reserve(18 + 2 * info_len);
    out.push_back(kSOI);
    put_hex(out, ver);
    put_hex(out, adr);
    put_hex(out, cid1);
    put_hex(out, cid2);
    uint16_t len = length_field(static_cast<uint16_t>(2 * info_len));
    put_hex(out, static_cast<uint8_t>(len >> 8));
    put_hex(out, static_cast<uint8_t>(len & 0xFF));
    for (size_t i = 0; i < info_len; ++i) put_hex(out, info[i]);
    uint16_t chk = frame_checksum(out.data() + 1, out.size() - 1);
    put_hex(out, static_cast<uint8_t>(chk >> 8));
    put_hex(out, static_cast<uint8_t>(chk & 0xFF));
    out.push_back(kEOI);
    return out;
}

// The buffers are sized on the first frame start, not here: most devices (the children of a
// poller) own a decoder that never sees a byte.
FrameDecoder::FrameDecoder(Handler on_frame) : on_frame_(std::move(on_frame)) {}

void FrameDecoder::clear() {
    buf_.clear();
    in_frame_ = false;
}

void FrameDecoder::feed(const uint8_t* data, size_t n) {
    // Longest legal frame body: 12 header characters, the info, 4 checksum characters.
    constexpr size_t kMaxBody = 12 + kMaxLenId + 4;
    for (size_t i = 0; i < n; ++i) {
        char c = static_cast<char>(data[i]);
        if (c == kSOI) {
            if (in_frame_) ++stats_.truncated;
            if (buf_.capacity() < 16 + kMaxLenId + 1) {
                buf_.reserve(16 + kMaxLenId + 1);
                frame_.info.reserve(kMaxInfoBytes);
            }
            buf_.clear();
            in_frame_ = true;
        } else if (!in_frame_) {
            ++stats_.garbage;
        } else if (c == kEOI) {
            finish();
            buf_.clear();
            in_frame_ = false;
        } else if (buf_.size() >= kMaxBody) {
            ++stats_.bad_format;
            buf_.clear();
            in_frame_ = false;
        } else {
            buf_.push_back(c);
        }
    }
}

void FrameDecoder::finish() {
    const std::string& s = buf_;
    if (s.size() < 16 || (s.size() - 16) % 2 != 0) {
        ++stats_.bad_format;
        return;
    }
    long ver = read_hex(s, 0, 2), adr = read_hex(s, 2, 2), cid1 = read_hex(s, 4, 2),
         cid2 = read_hex(s, 6, 2), len = read_hex(s, 8, 4), chk = read_hex(s, s.size() - 4, 4);
    if (ver < 0 || adr < 0 || cid1 < 0 || cid2 < 0 || len < 0 || chk < 0) {
        ++stats_.bad_format;
        return;
    }
    if (frame_checksum(s.data(), s.size() - 4) != chk) {
        ++stats_.bad_checksum;
        return;
    }
    uint16_t lenid = static_cast<uint16_t>(len & kMaxLenId);
    if (length_field(lenid) != len) {
        ++stats_.bad_lchksum;
        return;
    }
    size_t info_chars = s.size() - 16;
    if (info_chars != lenid) {
        ++stats_.bad_format;
        return;
    }
    frame_.ver = static_cast<uint8_t>(ver);
    frame_.adr = static_cast<uint8_t>(adr);
    frame_.cid1 = static_cast<uint8_t>(cid1);
    frame_.cid2 = static_cast<uint8_t>(cid2);
    frame_.lenid = lenid;
    frame_.info.clear();
    for (size_t k = 0; k < info_chars; k += 2) {
        long b = read_hex(s, 12 + k, 2);
        if (b < 0) {
            ++stats_.bad_format;
            return;
        }
        frame_.info.push_back(static_cast<uint8_t>(b));
    }
    ++stats_.frames;
    on_frame_(frame_);
}

}  // namespace devhost

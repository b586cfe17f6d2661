#pragma once
// The CID1/CID2 ASCII-hex frame of the serial line:
//   SOI '~', VER, ADR, CID1, CID2 (RTN in replies), LENGTH (4 hex), INFO (hex), CHKSUM (4 hex), EOI CR
// Every byte after SOI is sent as two upper-case hex characters. LENGTH carries LENID (the
// count of INFO hex characters) in its low 12 bits and LCHKSUM in its top 4 bits: the two's
// complement, modulo 16, of the sum of LENID's three nibbles. CHKSUM is the two's
// complement, modulo 65536, of the sum of every character between SOI and CHKSUM.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace devhost {

constexpr char kSOI = '~';
constexpr char kEOI = '\r';
constexpr unsigned kMaxLenId = 0x0FFF;
constexpr size_t kMaxInfoBytes = kMaxLenId / 2;  // 2047

struct Frame {
    uint8_t ver = 0;
    uint8_t adr = 0;
    uint8_t cid1 = 0;
    uint8_t cid2 = 0;  // CID2 in a command, RTN in a reply
    uint16_t lenid = 0;  // info hex characters as the LENGTH field carried them
    std::vector<uint8_t> info;
};

uint16_t length_field(uint16_t lenid);
uint16_t frame_checksum(const char* chars, size_t n);

// Encodes one frame. Throws std::length_error when the info is too long for LENID.
std::string encode_frame(uint8_t ver, uint8_t adr, uint8_t cid1, uint8_t cid2, const uint8_t* info,
                         size_t info_len);
inline std::string encode_frame(const Frame& f) {
    return encode_frame(f.ver, f.adr, f.cid1, f.cid2, f.info.data(), f.info.size());
}

struct DecoderStats {
    uint64_t frames = 0;        // frames handed on
    uint64_t bad_checksum = 0;  // CHKSUM mismatch
    uint64_t bad_lchksum = 0;   // LCHKSUM mismatch
    uint64_t bad_format = 0;    // non-hex characters, too short, LENID not matching the frame
    uint64_t truncated = 0;     // a new SOI arrived before the EOI of the frame being read
    uint64_t garbage = 0;       // bytes outside any frame
    uint64_t errors() const { return bad_checksum + bad_lchksum + bad_format + truncated; }
};

// Decodes frames from a byte stream that may arrive in pieces, with garbage between frames.
// Frames with a wrong CHKSUM or LCHKSUM are dropped and counted, never handed on.
class FrameDecoder {
public:
    using Handler = std::function<void(const Frame&)>;
    explicit FrameDecoder(Handler on_frame);
    void feed(const uint8_t* data, size_t n);
    // Forgets a partly received frame.
    void clear();
    bool in_frame() const { return in_frame_; }
    const DecoderStats& stats() const { return stats_; }

private:
    void finish();
    Handler on_frame_;
    std::string buf_;  // characters after SOI
    bool in_frame_ = false;
    DecoderStats stats_;
    Frame frame_;
};

}  // namespace devhost

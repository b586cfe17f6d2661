#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "devhost/frame.h"

using devhost::Frame;
using devhost::FrameDecoder;

namespace {

std::string hex2(unsigned v) {
    char b[3];
    std::snprintf(b, sizeof b, "%02X", v & 0xFF);
    return b;
}

// Frames a body (VER..INFO as characters) with SOI, CHKSUM and EOI.
std::string with_checksum(const std::string& body, bool lower = false) {
    unsigned sum = 0;
    for (char c : body) sum += static_cast<unsigned char>(c);
    unsigned chk = (65536 - sum % 65536) % 65536;
    std::string tail = hex2(chk >> 8) + hex2(chk);
    if (lower)
        for (char& c : tail)
            if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    return "~" + body + tail + "\r";
}

// Builds a frame the long way, from the line's definition, independently of the codec.
std::string wire_frame(unsigned ver, unsigned adr, unsigned cid1, unsigned cid2, const std::vector<uint8_t>& info) {
    std::string body = hex2(ver) + hex2(adr) + hex2(cid1) + hex2(cid2);
    unsigned lenid = 2 * info.size();
    unsigned nibbles = (lenid & 0xF) + ((lenid >> 4) & 0xF) + ((lenid >> 8) & 0xF);
    unsigned lchk = (16 - nibbles % 16) % 16;
    body += hex2((lchk << 4) | (lenid >> 8)) + hex2(lenid & 0xFF);
    for (uint8_t b : info) body += hex2(b);
    return with_checksum(body);
}

std::vector<uint8_t> counting(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + 3);
    return v;
}

struct Collector {
    std::vector<Frame> frames;
    FrameDecoder decoder{[this](const Frame& f) { frames.push_back(f); }};
    void feed(const std::string& s) { decoder.feed(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }
};

}  // namespace

TEST(FrameCodec, EncodesTheLineFormatWithCorrectChecksums) {
    for (size_t n : {size_t{0}, size_t{1}, size_t{7}, size_t{100}, devhost::kMaxInfoBytes}) {
        auto info = counting(n);
        EXPECT_EQ(devhost::encode_frame(0x20, 0x01, 0x40, 0x41, info.data(), info.size()),
                  wire_frame(0x20, 0x01, 0x40, 0x41, info))
            << "info bytes " << n;
    }
    // The example of the protocol: LENID 0x002 has LCHKSUM 0xE.
    EXPECT_EQ(devhost::length_field(2), 0xE002);
    EXPECT_EQ(devhost::length_field(0), 0x0000);
    const uint8_t one = 0xFF;
    EXPECT_EQ(devhost::encode_frame(0x20, 0x01, 0x40, 0x41, &one, 1), "~20014041E002FFFD11\r");
}

TEST(FrameCodec, RefusesInfoLongerThanTheLengthFieldCarries) {
    auto info = counting(devhost::kMaxInfoBytes + 1);
    EXPECT_THROW(devhost::encode_frame(0x20, 1, 0x40, 0x41, info.data(), info.size()), std::length_error);
}

TEST(FrameDecoder, RoundTripsFramesFedWholeOrByteByByte) {
    Collector whole, bytes;
    std::vector<std::vector<uint8_t>> infos{{}, counting(1), counting(33), counting(devhost::kMaxInfoBytes)};
    for (const auto& info : infos) {
        std::string f = devhost::encode_frame(0x21, 0x07, 0x42, 0x00, info.data(), info.size());
        whole.feed(f);
        for (char c : f) bytes.feed(std::string(1, c));
    }
    for (Collector* c : {&whole, &bytes}) {
        ASSERT_EQ(c->frames.size(), infos.size());
        for (size_t i = 0; i < infos.size(); ++i) {
            EXPECT_EQ(c->frames[i].ver, 0x21);
            EXPECT_EQ(c->frames[i].adr, 0x07);
            EXPECT_EQ(c->frames[i].cid1, 0x42);
            EXPECT_EQ(c->frames[i].lenid, 2 * infos[i].size());
            EXPECT_EQ(c->frames[i].info, infos[i]);
        }
        EXPECT_EQ(c->decoder.stats().errors(), 0u);
    }
}

TEST(FrameDecoder, SkipsGarbageBetweenFramesAndAcceptsLowerCaseHex) {
    Collector c;
    auto info = counting(4);
    std::string f = wire_frame(0x20, 1, 0x41, 0, info);
    // The same frame in lower-case digits; they sum differently, so CHKSUM is recomputed.
    std::string body = f.substr(1, f.size() - 6);
    for (char& ch : body)
        if (ch >= 'A' && ch <= 'F') ch = static_cast<char>(ch - 'A' + 'a');
    c.feed("noise\r\n" + f + "xx" + with_checksum(body, true));
    ASSERT_EQ(c.frames.size(), 2u);
    EXPECT_EQ(c.frames[1].info, info);
    EXPECT_EQ(c.decoder.stats().garbage, 9u);
    EXPECT_EQ(c.decoder.stats().errors(), 0u);
}

TEST(FrameDecoder, DropsAndCountsFramesWithBadChecksumsOrFormat) {
    Collector c;
    auto info = counting(3);
    std::string good = wire_frame(0x20, 1, 0x40, 0, info);

    std::string bad_chk = good;
    bad_chk[bad_chk.size() - 2] = bad_chk[bad_chk.size() - 2] == '0' ? '1' : '0';
    std::string bad_info = good;
    bad_info[13] = bad_info[13] == '0' ? '1' : '0';  // an info digit: CHKSUM no longer fits

    // A LENGTH whose LCHKSUM nibble is wrong, with CHKSUM recomputed so that only LCHKSUM fails.
    std::string body = good.substr(1, good.size() - 6);
    body[8] = body[8] == '0' ? '1' : '0';
    std::string bad_lchk = with_checksum(body);

    std::string truncated = good.substr(0, 10);
    c.feed(bad_chk + bad_info + bad_lchk + truncated + good + "~2001\r");
    ASSERT_EQ(c.frames.size(), 1u);
    EXPECT_EQ(c.frames[0].info, info);
    EXPECT_EQ(c.decoder.stats().bad_checksum, 2u);
    EXPECT_EQ(c.decoder.stats().bad_lchksum, 1u);
    EXPECT_EQ(c.decoder.stats().truncated, 1u);
    EXPECT_EQ(c.decoder.stats().bad_format, 1u);
}

TEST(FrameDecoder, ClearForgetsAPartlyReceivedFrame) {
    Collector c;
    std::string f = wire_frame(0x20, 1, 0x40, 0, counting(2));
    c.feed(f.substr(0, 8));
    EXPECT_TRUE(c.decoder.in_frame());
    c.decoder.clear();
    c.feed(f.substr(8));
    EXPECT_TRUE(c.frames.empty());
    c.feed(f);
    EXPECT_EQ(c.frames.size(), 1u);
}

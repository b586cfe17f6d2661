// What the AC screen keeps from one cycle to the next so that a steady cycle builds no
// text: the trace line format and the rule instance texts, which must still follow the
// screen's channel count.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ac/zrt4600_ac.h"
#include "devhost/devhost.h"

namespace {

std::string stream_line(float a, float b, float c, float f) {
    std::ostringstream line;
    line << "a:" << a << " b:" << b << " c:" << c << " f:" << f << '\n';
    return line.str();
}

std::string trace_line(float a, float b, float c, float f) {
    char out[zrt::ac::kChannelTraceMax];
    const size_t n = zrt::ac::format_channel_trace(out, a, b, c, f);
    return std::string(out, n);
}

float from_bits(uint32_t bits) {
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

TEST(ChannelTraceLine, ReadsAsTheStreamDefaultFormat) {
    const float lim = std::numeric_limits<float>::max();
    const float special[] = {0.0f, -0.0f, 230.5f, 50.0f, -0.1f, 221.49998f, 999999.5f, 1234567.0f, 1e-5f, 0.0001f,
                             123456.0f, 9.9999995e-5f, lim, -lim, std::numeric_limits<float>::denorm_min(),
                             std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                             std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::quiet_NaN(),
                             from_bits(0x20202020u)};  // the no-value pattern of the simulator
    for (float v : special) EXPECT_EQ(trace_line(v, v, -v, v), stream_line(v, v, -v, v)) << v;

    // Any bit pattern a reply can carry, the longest renderings included.
    std::mt19937 rng(4600);
    for (int i = 0; i < 20000; ++i) {
        const float a = from_bits(rng()), b = from_bits(rng()), c = from_bits(rng()), f = from_bits(rng());
        ASSERT_EQ(trace_line(a, b, c, f), stream_line(a, b, c, f)) << i;
    }
}

TEST(ChannelTraceLine, PinsTheTextOfTypicalAndBorderValues) {
    EXPECT_EQ(trace_line(0.1f, 220.5f, -0.1f, 1e-5f), "a:0.1 b:220.5 c:-0.1 f:1e-05\n");
    // Exact ties at the seventh digit round to even; a carry can change the notation.
    EXPECT_EQ(trace_line(1234565.0f, 1234575.0f, 999999.5f, 9.9999995e-5f),
              "a:1.23456e+06 b:1.23458e+06 c:1e+06 f:0.0001\n");
    EXPECT_EQ(trace_line(std::numeric_limits<float>::max(), -std::numeric_limits<float>::min(),
                         std::numeric_limits<float>::denorm_min(), 123456.0f),
              "a:3.40282e+38 b:-1.17549e-38 c:1.4013e-45 f:123456\n");
    EXPECT_EQ(trace_line(-0.0f, 0.000123457f, std::numeric_limits<float>::infinity(),
                         -std::numeric_limits<float>::quiet_NaN()),
              "a:-0 b:0.000123457 c:inf f:-nan\n");
}

// One screen's 40_41 part with `n` channels of plain values and no user values.
std::vector<uint8_t> analogue(int n) {
    std::vector<uint8_t> part{uint8_t(n)};
    auto f32 = [&part](float v) {
        uint8_t raw[4];
        std::memcpy(raw, &v, 4);
        part.insert(part.end(), raw, raw + 4);
    };
    for (int i = 0; i < n; ++i) {
        for (float v : {220.0f, 221.0f, 222.0f, 50.0f}) f32(v);
        part.push_back(0);
    }
    for (float v : {1.0f, 2.0f, 3.0f}) f32(v);
    return part;
}

TEST(AcRuleTexts, FollowTheChannelCountAcrossCacheLoads) {
    auto ctrl = std::make_shared<devhost::Controller>(devhost::Controller::JobMode::Inline);
    auto dev = std::make_shared<zrt4600aAC>();
    dev->controller = ctrl;
    dev->InitV(nullptr, 7, Json::Value());
    const std::vector<uint8_t> two = analogue(2);
    ASSERT_EQ(dev->parse40_41(two.data(), int(two.size())), int(two.size()));
    dev->RoundDone();
    ASSERT_EQ(ctrl->rules.size(), 2u * 11 + 9);

    // A saved image of the same screen with a third channel.
    std::vector<uint8_t> image = ctrl->published.back().image;
    const size_t record = sizeof(tele_c_zrt4600_ac), channel = sizeof(tele_c_zrt4600_ac_channel);
    ASSERT_EQ(image.size(), record + 2 * channel);
    image.insert(image.end(), image.end() - channel, image.end());
    image[offsetof(tele_c_zrt4600_ac, channel_count)] = 3;
    ASSERT_TRUE(dev->LoadFromCache(image.data(), int(image.size())));

    ctrl->rules.clear();
    dev->RoundDone();
    ASSERT_EQ(ctrl->rules.size(), 3u * 11 + 9);
    EXPECT_EQ(ctrl->rules[0].instance, "交流屏1输入线/相电压AB/A");
    EXPECT_EQ(ctrl->rules[22].instance, "交流屏3输入线/相电压AB/A");
    EXPECT_EQ(ctrl->rules[32].instance, "交流屏3输入线/相电压CA/C");
    EXPECT_EQ(ctrl->rules[32].name, "交流输入缺相告警");
    EXPECT_EQ(ctrl->rules[33].instance, "其他告警");

    // And back to one channel.
    image.resize(record + channel);
    image[offsetof(tele_c_zrt4600_ac, channel_count)] = 1;
    ASSERT_TRUE(dev->LoadFromCache(image.data(), int(image.size())));
    ctrl->rules.clear();
    dev->RoundDone();
    ASSERT_EQ(ctrl->rules.size(), 1u * 11 + 9);
    EXPECT_EQ(ctrl->rules[10].instance, "交流屏1输入线/相电压CA/C");
    EXPECT_EQ(ctrl->rules[11].instance, "其他告警");
}

}  // namespace

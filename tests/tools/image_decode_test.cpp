#include <unistd.h>

#include <cstring>
#include <map>
#include <sstream>

#include <gtest/gtest.h>
#include <json/reader.h>

#include "tools/core/image_decode.h"
#include "tools/core/json_line.h"
#include "tools/view/output.h"

using namespace zrt::host;

namespace {

void put_float(std::vector<uint8_t>& img, size_t at, float v) { std::memcpy(img.data() + at, &v, 4); }
void put_bits(std::vector<uint8_t>& img, size_t at, uint32_t bits) { std::memcpy(img.data() + at, &bits, 4); }

std::map<std::string, DecodedValue> by_key(const DecodedImage& d) {
    std::map<std::string, DecodedValue> m;
    for (const DecodedValue& v : d.values) m[v.key] = v;
    return m;
}

}  // namespace

TEST(ImageDecode, AnAcImageGivesItsCurrentsAndChannelsWithUnitsAndAbsentValuesLeftOut) {
    std::vector<uint8_t> img(32 + 30 * 2, 0);
    put_float(img, 4, 35.2f);
    put_bits(img, 8, 0xBDCCCCCDu);  // -0.1: stored for an absent current
    put_bits(img, 12, 0x20202020u); // the no-value pattern as received
    img[16] = 2;
    img[18] = 3;
    img[22 + 2] = 3;                 // ic_alert: missing
    img[25] = 0xEA, img[26] = 0x07, img[27] = 12, img[28] = 8, img[29] = 23, img[30] = 4, img[31] = 5;
    put_float(img, 32 + 30 + 0, 221.5f);   // channel 1 (key channel_1_a)
    put_float(img, 32 + 30 + 12, 50.0f);
    img[32 + 30 + 17] = 1;                  // a_alert low
    const DecodedImage d = decode_image(kAcRecordType, img);
    ASSERT_TRUE(d.valid);
    EXPECT_EQ(d.time, "2026-12-08 23:04:05");
    auto v = by_key(d);
    EXPECT_FLOAT_EQ(*v["ia"].value, 35.2f);
    EXPECT_EQ(v["ia"].unit, "A");
    EXPECT_FALSE(v["ib"].value.has_value());
    EXPECT_FALSE(v["ic"].value.has_value());
    EXPECT_EQ(format_value(v["ib"]), "—");
    EXPECT_EQ(v["ic_alert"].state_text, "missing");
    EXPECT_FLOAT_EQ(*v["channel_1_a"].value, 221.5f);
    EXPECT_EQ(v["channel_1_a"].label, "channel 2 voltage AB/A");
    EXPECT_EQ(format_value(v["channel_1_f"]), "50 Hz");
    EXPECT_EQ(v["channel_1_a_alert"].state_text, "low");
    EXPECT_EQ(v.count("channel_2_a"), 0u);
    EXPECT_EQ(v.count("state_user_2"), 1u);

    img.push_back(0);  // one byte too many for two channels
    EXPECT_FALSE(decode_image(kAcRecordType, img).valid);
    EXPECT_FALSE(decode_image(4242, img).valid);
}

TEST(ImageDecode, ADcImageGivesVoltageCurrentFusesAndUserValuesAsFarAsTheCountsSay) {
    std::vector<uint8_t> img(166, 0);
    put_bits(img, 4, 0x20202020u);  // v not provided
    put_float(img, 8, 120.4f);
    img[29] = 1;
    put_float(img, 30, 12.5f);
    img[66] = 2;
    put_bits(img, 67, 0xBDCCCCCDu);
    put_float(img, 71, 25.0f);
    img[79] = 2;
    img[80] = 64;
    img[81 + 5] = 3;
    const auto v = by_key(decode_image(kDcRecordType, img));
    EXPECT_FALSE(v.at("v").value.has_value());
    EXPECT_FLOAT_EQ(*v.at("i").value, 120.4f);
    EXPECT_FLOAT_EQ(*v.at("dc_n_0").value, 12.5f);
    EXPECT_EQ(v.count("dc_n_1"), 0u);
    EXPECT_EQ(v.count("dc_m_0"), 0u);
    EXPECT_FALSE(v.at("user_p_0").value.has_value());
    EXPECT_FLOAT_EQ(*v.at("user_p_1").value, 25.0f);
    EXPECT_EQ(v.at("volt_state").state_text, "high");
    EXPECT_EQ(v.at("fuse_5").state_text, "blown");
    EXPECT_EQ(v.at("fuse_5").label, "fuse 6");
    EXPECT_EQ(v.at("fuse_4").state_text, "normal");
    EXPECT_EQ(v.count("fuse_63"), 1u);
    EXPECT_FALSE(decode_image(kDcRecordType, std::vector<uint8_t>(165, 0)).valid);
}

TEST(ImageDecode, ARectifierImageGivesGroupParametersAndEveryModule) {
    std::vector<uint8_t> img(65 + 32 * 2, 0);
    put_float(img, 4, 280.0f);
    put_float(img, 53, 53.5f);
    img[57] = 2;
    img[32] = 5;
    put_float(img, 33 + 16, 10.0f);
    put_float(img, 65 + 32, 10.4f);
    img[65 + 4] = 4;
    img[65 + 32 + 26] = 1;
    const auto v = by_key(decode_image(kRcRecordType, img));
    EXPECT_FLOAT_EQ(*v.at("group_value").value, 53.5f);
    EXPECT_EQ(format_value(v.at("ac_param_0")), "280 V");
    EXPECT_EQ(v.at("ac_param_0").kind, ValueKind::Setting);
    EXPECT_FLOAT_EQ(*v.at("dc_user_param_4").value, 10.0f);
    EXPECT_FLOAT_EQ(*v.at("module_1_value").value, 10.4f);
    EXPECT_EQ(v.at("module_1_fault").state_text, "fault");
    EXPECT_EQ(v.at("module_0_fault").state_text, "normal");
    EXPECT_EQ(v.count("module_0_user_3"), 1u);
    EXPECT_EQ(v.count("module_1_user_0"), 0u);  // module 2 reported no user values
    EXPECT_FALSE(decode_image(kRcRecordType, std::vector<uint8_t>(65 + 31, 0)).valid);
}

TEST(ImageDecode, APhaseWhoseStateSaysMissingIsAbsentAndWrittenAsNull) {
    using Screen = tele_c_zrt4600_ac;
    using Channel = tele_c_zrt4600_ac_channel;
    std::vector<uint8_t> img(sizeof(Screen) + sizeof(Channel), 0);
    img[offsetof(Screen, channel_count)] = 1;
    put_float(img, offsetof(Screen, ia), 0.0f);
    img[offsetof(Screen, ia_alert)] = 3;  // missing: the 0.0 is no measurement
    img[offsetof(Screen, ib_alert)] = 1;  // low: the 0.0 is one
    const size_t ch = sizeof(Screen);
    put_float(img, ch + offsetof(Channel, c), 231.5f);
    img[ch + offsetof(Channel, a_alert)] = 3;
    img[ch + offsetof(Channel, c_alert)] = 3;  // missing wins over the bytes
    img[ch + offsetof(Channel, f_alert)] = 2;
    put_float(img, ch + offsetof(Channel, f), 61.0f);
    const DecodedImage d = decode_image(kAcRecordType, img);
    ASSERT_TRUE(d.valid);
    auto v = by_key(d);
    EXPECT_FALSE(v["ia"].value.has_value());
    EXPECT_EQ(v["ib"].value, 0.0);
    EXPECT_FALSE(v["channel_0_a"].value.has_value());
    EXPECT_EQ(v["channel_0_b"].value, 0.0);
    EXPECT_FALSE(v["channel_0_c"].value.has_value());
    EXPECT_EQ(v["channel_0_f"].value, 61.0);
    // The state itself stays a value: it is what says "missing".
    EXPECT_EQ(v["channel_0_a_alert"].value, 3.0);
    EXPECT_EQ(v["channel_0_a_alert"].state_text, "missing");

    const std::string json = json_values(d.values);
    EXPECT_NE(json.find(R"({"key":"channel_0_a","value":null,"unit":"V"})"), std::string::npos) << json;
    EXPECT_NE(json.find(R"({"key":"channel_0_b","value":0,"unit":"V"})"), std::string::npos) << json;
    EXPECT_NE(json.find(R"({"key":"channel_0_f","value":61,"unit":"Hz"})"), std::string::npos) << json;
    EXPECT_NE(json.find(R"({"key":"channel_0_a_alert","value":3,"unit":""})"), std::string::npos) << json;
    EXPECT_EQ(json.front(), '[');
    EXPECT_EQ(json_values({}), "[]");
}

TEST(ImageDecode, AStoredKeyIsPlacedThroughTheFieldTables) {
    const auto ch = place_of_key(kAcRecordType, "channel_12_f");
    ASSERT_TRUE(ch);
    EXPECT_EQ(ch->item, 12);
    EXPECT_EQ(ch->index, -1);
    EXPECT_EQ(ch->field->quantity, zrt::field::Quantity::hertz);
    const auto user = place_of_key(kRcRecordType, "module_5_user_1");
    ASSERT_TRUE(user);
    EXPECT_EQ(user->item, 5);
    EXPECT_EQ(user->index, 1);
    const auto value = place_of_key(kRcRecordType, "module_23_value");
    ASSERT_TRUE(value);
    EXPECT_EQ(value->item, 23);
    EXPECT_EQ(value->index, -1);
    const auto fuse = place_of_key(kDcRecordType, "fuse_6");
    ASSERT_TRUE(fuse);
    EXPECT_EQ(fuse->item, -1);
    EXPECT_EQ(fuse->index, 6);
    EXPECT_EQ(place_of_key(kDcRecordType, "v")->field->unit, std::string("V"));
    // What the tables do not have, or have only in another form.
    for (const char* k : {"channel_x_a", "channel_1_", "channel_01_a", "channel_1_a_", "module_5_user_99", "nope", ""})
        EXPECT_FALSE(place_of_key(kAcRecordType, k) || place_of_key(kRcRecordType, k)) << k;
    EXPECT_FALSE(place_of_key(kAcRecordType, "v"));
    EXPECT_FALSE(place_of_key(4242, "v"));
}

TEST(ImageDecode, ThePublishAndSavedEventsCarryTheDecodedValuesNextToTheImage) {
    using Screen = tele_c_zrt4600_ac;
    using Channel = tele_c_zrt4600_ac_channel;
    std::vector<uint8_t> img(sizeof(Screen) + sizeof(Channel), 0);
    img[offsetof(Screen, channel_count)] = 1;
    put_float(img, offsetof(Screen, ia), 35.2f);
    put_float(img, sizeof(Screen) + offsetof(Channel, b), 220.8f);
    img[sizeof(Screen) + offsetof(Channel, a_alert)] = 3;

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    {
        auto sink = make_json_sink(fds[1]);
        const devhost::ImageEvent raw{11, "zrt4600a-ac", kAcRecordType, img};
        const DecodedImage d = decode_image(kAcRecordType, img);
        sink->image({raw, d, false});
        sink->image({raw, d, true});
        const devhost::ImageEvent odd{11, "zrt4600a-ac", kAcRecordType, {1, 2, 3}};
        const DecodedImage none = decode_image(kAcRecordType, odd.image);
        sink->image({odd, none, false});
    }
    close(fds[1]);
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
    close(fds[0]);

    std::istringstream lines(text);
    std::vector<Json::Value> events;
    for (std::string line; std::getline(lines, line);) {
        Json::Value v;
        std::istringstream in(line);
        ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &v, nullptr)) << line;
        events.push_back(v);
    }
    ASSERT_EQ(events.size(), 3u) << text;
    EXPECT_EQ(events[0]["event"].asString(), "publish");
    EXPECT_EQ(events[1]["event"].asString(), "saved");
    for (int k = 0; k < 2; ++k) {
        const Json::Value& e = events[size_t(k)];
        EXPECT_EQ(e["image"].asString(), hex_lower(img));
        std::map<std::string, Json::Value> by;
        for (const Json::Value& v : e["values"]) by[v["key"].asString()] = v;
        EXPECT_EQ(by.size(), e["values"].size());
        EXPECT_FLOAT_EQ(by["ia"]["value"].asFloat(), 35.2f);
        EXPECT_EQ(by["ia"]["unit"].asString(), "A");
        EXPECT_TRUE(by["channel_0_a"]["value"].isNull());  // alarm state 3: missing
        EXPECT_TRUE(by["channel_0_a"].isMember("value"));
        EXPECT_EQ(by["channel_0_a"]["unit"].asString(), "V");
        EXPECT_EQ(by["channel_0_b"]["value"].asDouble(), 220.8);  // the float's shortest text, not 220.8000030517578
        EXPECT_EQ(by["channel_0_a_alert"]["value"].asInt(), 3);
    }
    EXPECT_TRUE(events[2]["values"].isArray());
    EXPECT_EQ(events[2]["values"].size(), 0u);  // does not fit: no values, the bytes as they are
    EXPECT_EQ(events[2]["image"].asString(), "010203");
}

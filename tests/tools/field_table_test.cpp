// The field tables against the packed records: records filled member by member decode to
// the same values under the tables' keys, absent values are recognised as each field says,
// no two fields share a byte, a value's "missing" state is a state field of its record, and
// docs/image-layouts.md carries the layouts the tables generate.
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "ac/ac_fields.h"
#include "dc/dc_fields.h"
#include "rc/rc_fields.h"
#include "tools/core/field_text.h"
#include "tools/core/image_decode.h"

using namespace zrt::host;

namespace {

template <class... Records>
std::vector<uint8_t> image_of(const Records&... records) {
    std::vector<uint8_t> out;
    (out.insert(out.end(), reinterpret_cast<const uint8_t*>(&records),
                reinterpret_cast<const uint8_t*>(&records) + sizeof(records)),
     ...);
    return out;
}

std::map<std::string, DecodedValue> decoded(int type, const std::vector<uint8_t>& img) {
    const DecodedImage d = decode_image(type, img);
    EXPECT_TRUE(d.valid);
    std::map<std::string, DecodedValue> m;
    for (const DecodedValue& v : d.values) EXPECT_TRUE(m.emplace(v.key, v).second) << "key twice: " << v.key;
    return m;
}

void put(uint8_t* four, float v) { std::memcpy(four, &v, 4); }
const float kTenth = -0.1f;

}  // namespace

TEST(FieldTables, RecordsFilledByMemberDecodeUnderTheTablesKeysWithAbsentValuesAsEachFieldMarksThem) {
    {
        tele_c_zrt4600_ac s{};
        s.ia = 35.5f;
        s.ib = kTenth;          // absent current
        std::memset(&s.ic, 0x20, 4);  // the no-value pattern
        s.channel_count = 2;
        s.state_count = 2;
        s.state_user[1] = 7;
        s.ic_alert = 3;
        tele_c_zrt4600_ac_channel c0{}, c1{};
        c1.b = 231.0f;
        c1.f = 0.0f;  // absent frequency: stored as 0 and shown as 0
        c1.c_alert = 2;
        const auto v = decoded(kAcRecordType, image_of(s, c0, c1));
        EXPECT_EQ(*v.at("ia").value, 35.5);
        EXPECT_FALSE(v.at("ib").value);
        EXPECT_FALSE(v.at("ic").value);
        EXPECT_EQ(v.at("ic_alert").state_text, "missing");
        EXPECT_EQ(*v.at("state_user_1").value, 7);
        EXPECT_EQ(v.count("state_user_2"), 0u);
        EXPECT_EQ(*v.at("channel_1_b").value, 231.0);
        EXPECT_EQ(v.at("channel_1_b").field->quantity, zrt::field::Quantity::ac_volts);
        EXPECT_EQ(*v.at("channel_1_f").value, 0.0);
        EXPECT_EQ(v.at("channel_1_c_alert").state_text, "high");
        EXPECT_EQ(v.at("channel_1_c_alert").item, 1);
    }
    {
        tele_c_zrt4600_dc d{};
        d.v = 53.5f;
        std::memset(&d.i, 0x7F, 4);
        d.dc_m = 9;  // more than the record holds: capped at its maximum
        d.dc_m_value[3] = 4.5f;
        d.p_count = 3;
        d.user_p[1] = kTenth;
        d.user_p[2] = 1.25f;
        d.volt_state = 1;
        d.alert_m_count = 5;
        d.alert_m_state[4] = 3;
        const auto v = decoded(kDcRecordType, image_of(d));
        EXPECT_EQ(*v.at("v").value, 53.5);
        EXPECT_FALSE(v.at("i").value);
        EXPECT_EQ(*v.at("dc_m_3").value, 4.5);
        EXPECT_EQ(v.count("dc_m_4"), 0u);
        EXPECT_FALSE(v.at("user_p_1").value);
        EXPECT_EQ(*v.at("user_p_2").value, 1.25);
        EXPECT_EQ(v.at("volt_state").state_text, "low");
        EXPECT_EQ(*v.at("fuse_count").value, 5);
        EXPECT_EQ(v.at("fuse_4").state_text, "blown");
        EXPECT_EQ(v.count("fuse_5"), 0u);
    }
    {
        tele_c_zrt4600_rc g{};
        put(g.group_value, kTenth);  // only the pattern marks a group value absent
        put(g.ac_param + 8, 55.0f);
        std::memset(g.dc_param + 4, 0x20, 4);
        g.dc_user_count = 1;
        put(g.dc_user_param, 3.0f);
        g.module_count = 2;
        tele_c_zrt4600_rc_channel m0{}, m1{};
        put(m1.module_value, 20.5f);
        m1.analog_count = 2;
        put(m1.analog_user + 4, 9.0f);
        m1.state[2] = 1;
        m1.fault = 1;
        const auto v = decoded(kRcRecordType, image_of(g, m0, m1));
        EXPECT_FLOAT_EQ(*v.at("group_value").value, kTenth);
        EXPECT_EQ(*v.at("ac_param_2").value, 55.0);
        EXPECT_EQ(v.at("ac_param_2").unit, "Hz");
        EXPECT_FALSE(v.at("dc_param_1").value);
        EXPECT_EQ(*v.at("dc_user_param_0").value, 3.0);
        EXPECT_EQ(v.count("dc_user_param_1"), 0u);
        EXPECT_EQ(*v.at("module_count").value, 2);
        EXPECT_EQ(*v.at("module_1_value").value, 20.5);
        EXPECT_EQ(v.at("module_1_value").label, "module 2 output current");
        EXPECT_EQ(*v.at("module_1_user_1").value, 9.0);
        EXPECT_EQ(v.count("module_0_user_0"), 0u);
        EXPECT_EQ(*v.at("module_1_state_2").value, 1);
        EXPECT_EQ(v.at("module_1_fault").state_text, "fault");
    }
}

TEST(FieldTables, NoTwoFieldsShareAByteAndNoCountByteLiesInsideAValue) {
    for (const zrt::field::Layout* l : layouts()) {
        auto check = [l](const zrt::field::Field* f, size_t n, size_t size) {
            std::vector<std::string> owner(size);
            std::vector<bool> counts(size, false);
            for (size_t i = 0; i < n; ++i) {
                const size_t bytes = f[i].width() * (f[i].repeats() ? f[i].max : 1);
                for (size_t b = f[i].offset; b < f[i].offset + bytes; ++b) {
                    ASSERT_LT(b, size) << l->device << " " << f[i].key;
                    EXPECT_TRUE(owner[b].empty()) << l->device << ": " << f[i].key << " and " << owner[b];
                    owner[b] = f[i].key;
                    counts[b] = f[i].kind == zrt::field::Kind::count;
                }
            }
            for (size_t i = 0; i < n; ++i)  // (not a compile-time check: a sanitized build cannot compare addresses there)
                EXPECT_TRUE(f[i].states != nullptr || f[i].state_count == 0) << l->device << " " << f[i].key;
            for (size_t i = 0; i < n; ++i) {
                if (f[i].count_at == zrt::field::kNoCount) continue;
                EXPECT_TRUE(owner[f[i].count_at].empty() || counts[f[i].count_at])
                    << l->device << " " << f[i].key << " counts with a byte of " << owner[f[i].count_at];
            }
            // A value made absent by a state byte names a state field of its own record whose
            // text for that code is "missing".
            for (size_t i = 0; i < n; ++i) {
                if (f[i].missing_at == zrt::field::kNoCount) continue;
                const zrt::field::Field* state = nullptr;
                for (size_t j = 0; j < n; ++j)
                    if (f[j].offset == f[i].missing_at && f[j].type == zrt::field::Type::u8 && !f[j].repeats())
                        state = &f[j];
                ASSERT_TRUE(state) << l->device << " " << f[i].key << ": no state field at " << f[i].missing_at;
                ASSERT_LT(f[i].missing_code, state->state_count) << f[i].key;
                EXPECT_STREQ(state->states[f[i].missing_code], "missing") << f[i].key << " by " << state->key;
            }
        };
        check(l->head, l->head_fields, l->head_size);
        if (l->item_size) check(l->item, l->item_fields, l->item_size);
    }
}

TEST(FieldTables, TheReadmeCarriesTheLayoutsTheTablesGenerate) {
    std::ifstream in(ZRT_SOURCE_DIR "/docs/image-layouts.md");
    ASSERT_TRUE(in) << "cannot read docs/image-layouts.md";
    std::stringstream ss;
    ss << in.rdbuf();
    const std::string readme = ss.str();
    const std::string begin = "<!-- layouts: zrt4600a-host --layouts -->\n", end = "<!-- end of layouts -->";
    const size_t a = readme.find(begin), b = readme.find(end);
    ASSERT_NE(a, std::string::npos);
    ASSERT_NE(b, std::string::npos);
    EXPECT_EQ(readme.substr(a + begin.size(), b - a - begin.size()), layout_tables_markdown())
        << "update docs/image-layouts.md with the output of zrt4600a-host --layouts";
}

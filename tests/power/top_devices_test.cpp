// The two top device classes with their real children.
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "poller_rig.h"
#include "power/zrt4600a.h"

namespace {

using Texts = std::vector<std::string>;

Json::Value ids(std::initializer_list<unsigned> list) {
    Json::Value a(Json::arrayValue);
    for (unsigned id : list) {
        Json::Value e(Json::objectValue);
        e["data_id"] = id;
        a.append(e);
    }
    return a;
}

Texts types_of(const std::vector<std::shared_ptr<TXQVDevice>>& all) {
    Texts out;
    for (const auto& d : all) out.push_back(d ? d->DeviceType() : "(none)");
    return out;
}

TEST(TopDevices, ModelClassesSetTheirTypeAndLine) {
    zrt4600a a;
    EXPECT_EQ(a.DeviceType(), "zrt4600a");
    EXPECT_EQ(a.supported_models, Texts{"zrt4600a"});
    ZRT4600 z;
    EXPECT_EQ(z.DeviceType(), "zrt4600");
    EXPECT_EQ(z.supported_models, Texts{"zrt4600"});
    for (const PMBusProtocol* d : {static_cast<const PMBusProtocol*>(&a), static_cast<const PMBusProtocol*>(&z)}) {
        EXPECT_EQ(d->baud_rate, 9600);
        EXPECT_EQ(d->sp_flag, 1);
        EXPECT_EQ(d->version, 0x20);
    }
    EXPECT_TRUE(a.model_check_pending);
    // The top device keeps no record of its own: any image is accepted and changes nothing.
    EXPECT_TRUE(a.LoadFromCache(nullptr, 0));
    EXPECT_TRUE(a.LoadFromCache(std::string("\x01\x02", 2)));
    EXPECT_TRUE(a.GetAllChildVDevices().size() == 1 && !a.GetAllChildVDevices()[0]);
}

TEST(TopDevices, InitSettingBuildsTheChildrenInSettingsOrder) {
    auto host = std::make_shared<devhost::Controller>();
    Json::Value s(Json::objectValue);
    s["acSetting"] = ids({11, 12});
    s["dcSetting"] = ids({21});
    s["rcSetting"] = Json::Value(Json::objectValue);

    auto a = std::make_shared<zrt4600a>();
    ASSERT_TRUE(a->Init(host, 100, s));
    const auto all = a->GetAllChildVDevices();
    EXPECT_EQ(types_of(all), (Texts{"zrt4600a-ac", "zrt4600a-ac", "zrt4600a-dc", "zrt4600a-rc"}));
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(all[0]->DataId(), 11u);
    EXPECT_EQ(all[1]->DataId(), 12u);
    EXPECT_EQ(all[2]->DataId(), 21u);
    EXPECT_EQ(all[3]->DataId(), 100u);  // the rectifier child carries the top device's id
    EXPECT_EQ(a->GetChildVDevice(12), all[1]);
    EXPECT_EQ(a->GetChildVDevice(21), all[2]);
    EXPECT_FALSE(a->GetChildVDevice(100));
    EXPECT_FALSE(a->GetChildVDevice(99));

    auto z = std::make_shared<ZRT4600>();
    ASSERT_TRUE(z->Init(host, 100, s));
    EXPECT_EQ(types_of(z->GetAllChildVDevices()), (Texts{"zrt4600-ac", "zrt4600-ac", "zrt4600-dc", "zrt4600-rc"}));

    // Shared ids: the first AC child wins, and AC before DC.
    Json::Value dup(Json::objectValue);
    dup["acSetting"] = ids({7, 7});
    dup["dcSetting"] = ids({7});
    dup["rcSetting"] = Json::Value(Json::objectValue);
    ASSERT_TRUE(a->InitSetting(dup));
    EXPECT_EQ(a->GetChildVDevice(7), a->GetAllChildVDevices()[0]);

    // No AC setting: the list starts with the DC children. No rectifier setting: false, and
    // the list ends with an empty place.
    Json::Value dc_only(Json::objectValue);
    dc_only["dcSetting"] = ids({21});
    dc_only["acSetting"] = Json::Value(Json::objectValue);  // not an array: no AC children
    dc_only["rcSetting"] = Json::Value(Json::objectValue);
    ASSERT_TRUE(a->InitSetting(dc_only));
    EXPECT_EQ(types_of(a->GetAllChildVDevices()), (Texts{"zrt4600a-dc", "zrt4600a-rc"}));
    dc_only.removeMember("rcSetting");
    EXPECT_FALSE(a->InitSetting(dc_only));
    EXPECT_EQ(types_of(a->GetAllChildVDevices()), (Texts{"zrt4600a-dc", "(none)"}));
}

TEST(TopDevices, SettingsThatCannotBeReadAreRefusedWithoutAnException) {
    auto host = std::make_shared<devhost::Controller>();
    auto a = std::make_shared<zrt4600a>();
    Json::Value good(Json::objectValue);
    good["acSetting"] = ids({11});
    good["rcSetting"] = Json::Value(Json::objectValue);
    ASSERT_TRUE(a->Init(host, 100, good));

    // Each of these made jsoncpp throw out of the configuration call.
    Json::Value not_object(Json::arrayValue);
    not_object.append(good);
    Json::Value scalar_entry = good;
    scalar_entry["dcSetting"] = Json::Value(Json::arrayValue);
    scalar_entry["dcSetting"].append(5);
    Json::Value text_id = good;
    text_id["acSetting"][0]["data_id"] = "12";
    Json::Value negative_id = good;
    negative_id["acSetting"][0]["data_id"] = -1;
    for (const Json::Value& bad : {not_object, Json::Value(7), scalar_entry, text_id, negative_id}) {
        bool ok = true;
        EXPECT_NO_THROW(ok = a->InitSetting(bad)) << bad.toStyledString();
        EXPECT_FALSE(ok) << bad.toStyledString();
        // The configuration there was stays whole.
        EXPECT_EQ(types_of(a->GetAllChildVDevices()), (Texts{"zrt4600a-ac", "zrt4600a-rc"}));
    }

    // What jsoncpp reads as an unsigned integer still serves: a null entry has id 0.
    Json::Value loose = good;
    loose["acSetting"].append(Json::Value());
    loose["acSetting"][0]["data_id"] = 12.0;
    ASSERT_TRUE(a->InitSetting(loose));
    EXPECT_EQ(a->GetAllChildVDevices()[0]->DataId(), 12u);
    EXPECT_EQ(a->GetAllChildVDevices()[1]->DataId(), 0u);
}

// Real children whose parse hooks and RoundDone are replaced by the recording ones, so
// that the model classes' own cycles can be walked without real telemetry.
template <class Base>
struct ScriptedAC : Base {
    int parse40_41(const unsigned char* p, int len) override { return note("40_41", p, len, kScreenBytes); }
    int parse40_43(const unsigned char* p, int len) override { return note("40_43", p, len, kScreenBytes); }
    int parse40_44(const unsigned char* p, int len) override { return note("40_44", p, len, kScreenBytes); }
    void RoundDone() override { journal().push_back({"ac" + std::to_string(this->DataId()), "RoundDone", 0, -1}); }
    int note(const char* hook, const unsigned char* p, int len, int result) {
        journal().push_back({"ac" + std::to_string(this->DataId()), hook, len, len > 0 ? p[0] : -1});
        return result;
    }
};
template <class Base>
struct ScriptedDC : Base {
    int parse42_41(const unsigned char* p, int len) override { return note("42_41", p, len, kScreenBytes); }
    int parse42_44(const unsigned char* p, int len) override { return note("42_44", p, len, kScreenBytes); }
    void RoundDone() override { journal().push_back({"dc" + std::to_string(this->DataId()), "RoundDone", 0, -1}); }
    int note(const char* hook, const unsigned char* p, int len, int result) {
        journal().push_back({"dc" + std::to_string(this->DataId()), hook, len, len > 0 ? p[0] : -1});
        return result;
    }
};
template <class Base>
struct ScriptedRC : Base {
    int parse41_41(const unsigned char* p, int len) override { return note("41_41", p, len); }
    int parse41_43(const unsigned char* p, int len) override { return note("41_43", p, len); }
    int parse41_44(const unsigned char* p, int len) override { return note("41_44", p, len); }
    int parse40_46(const unsigned char* p, int len) override { return note("40_46", p, len); }
    int parse42_46(const unsigned char* p, int len) override { return note("42_46", p, len); }
    void RoundDone() override { journal().push_back({"rc" + std::to_string(this->DataId()), "RoundDone", 0, -1}); }
    int note(const char* hook, const unsigned char* p, int len) {
        journal().push_back({"rc" + std::to_string(this->DataId()), hook, len, len > 0 ? p[0] : -1});
        return len;
    }
};

template <class Dev, class AC, class DC, class RC>
void use_scripted_children(Dev& dev) {
    dev.ac_children.clear();
    dev.dc_children.clear();
    for (unsigned id : {11u, 12u}) {
        auto c = std::make_shared<AC>();
        c->InitV(&dev, id, Json::Value(Json::objectValue));
        dev.ac_children.push_back(c);
    }
    auto d = std::make_shared<DC>();
    d->InitV(&dev, 21, Json::Value(Json::objectValue));
    dev.dc_children.push_back(d);
    dev.rc_child = std::make_shared<RC>();
    dev.rc_child->InitV(&dev, dev.DataId(), Json::Value(Json::objectValue));
}

TEST(TopDevices, EachModelWalksItsOwnCycle) {
    {
        Rig<zrt4600a> r(settings(0, 0));
        ASSERT_TRUE(r.init_ok);
        use_scripted_children<zrt4600a, ScriptedAC<zrt4600aAC>, ScriptedDC<zrt4600aDC>, ScriptedRC<zrt4600aRC>>(
            *r.dev);
        r.pass_model_check();
        EXPECT_TRUE(r.host->rules.empty());
        EXPECT_EQ(r.converse(), (Texts{"40_41 FF", "40_44 FF", "41_41", "41_43", "41_44", "42_41", "42_44",
                                       "40_46", "42_46"}));
        EXPECT_EQ(calls("RoundDone"), (Texts{"ac11 RoundDone", "ac12 RoundDone", "dc21 RoundDone", "rc100 RoundDone"}));
        EXPECT_EQ(r.dev->poll_state, 0);
    }
    {
        Rig<ZRT4600> r(settings(0, 0));
        ASSERT_TRUE(r.init_ok);
        use_scripted_children<ZRT4600, ScriptedAC<ZRT4600AC>, ScriptedDC<ZRT4600DC>, ScriptedRC<ZRT4600RC>>(*r.dev);
        r.pass_model_check();  // answers "zrt4600a", which this model does not support
        ASSERT_EQ(r.host->rules.size(), 1u);
        EXPECT_EQ(r.host->rules[0].instance, "本驱动类型:zrt4600 检测型号:zrt4600a");
        EXPECT_EQ(r.converse(), (Texts{"40_41 FF", "40_43 FF", "40_44 FF", "41_41", "41_43", "41_44", "42_41",
                                       "42_44", "40_46", "42_46"}));
        EXPECT_EQ(calls("RoundDone"), (Texts{"ac11 RoundDone", "ac12 RoundDone", "dc21 RoundDone", "rc100 RoundDone"}));
    }
}

}  // namespace

// The registered top device configured with arbitrary JSON settings. Input: JSON text;
// text the parser refuses is skipped.
// Properties: configuring never throws into the host; an accepted configuration has the
// rectifier child and one AC or DC child per "acSetting" or "dcSetting" element, each
// found again by its data id; a second configuration with the same settings gives the
// same children.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <json/reader.h>
#include <json/value.h>

#include "children.h"
#include "devhost/devhost.h"
#include "fuzz_util.h"
#include "power/zrt4600a.h"

using namespace zrt::fuzz;

namespace {

// One reader for the whole run: a reader keeps nothing of one text for the next.
Json::CharReader& reader() {
    static const std::unique_ptr<Json::CharReader> made = [] {
        Json::CharReaderBuilder builder;
        builder["collectComments"] = false;
        builder["stackLimit"] = 200;
        return std::unique_ptr<Json::CharReader>(builder.newCharReader());
    }();
    return *made;
}

bool parse(const uint8_t* data, size_t size, Json::Value& out) {
    const char* begin = reinterpret_cast<const char*>(data);
    std::string errors;
    // The parser refuses some text by throwing (nesting past stackLimit, for one): that
    // text is refused like any other.
    try {
        return reader().parse(begin, begin + size, &out, &errors);
    } catch (const Json::Exception&) {
        return false;
    }
}

Json::ArrayIndex elements(const Json::Value& settings, const char* key) {
    if (!settings.isObject()) return 0;
    const Json::Value& v = settings[key];
    return v.isArray() ? v.size() : 0;
}

void check_children(zrt4600a& dev, const Json::Value& settings) {
    ZRT_FUZZ_CHECK(dev.rc_child != nullptr);
    ZRT_FUZZ_CHECK(dev.ac_children.size() == elements(settings, "acSetting"));
    ZRT_FUZZ_CHECK(dev.dc_children.size() == elements(settings, "dcSetting"));
    const auto all = dev.GetAllChildVDevices();
    ZRT_FUZZ_CHECK(all.size() == dev.ac_children.size() + dev.dc_children.size() + 1);
    ZRT_FUZZ_CHECK(all.back() == dev.rc_child && dev.rc_child->DataId() == dev.DataId());
    for (size_t i = 0; i + 1 < all.size(); ++i) {
        const auto found = dev.GetChildVDevice(all[i]->DataId());
        ZRT_FUZZ_CHECK(found != nullptr && found->DataId() == all[i]->DataId());
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    quiet_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Json::Value settings;
    if (!parse(data, size, settings)) return 0;

    Host& host = shared_host();
    auto dev = std::make_shared<zrt4600a>();
    if (!dev->Init(host.controller, 100, settings)) return 0;
    check_children(*dev, settings);
    ZRT_FUZZ_CHECK(dev->Init(host.controller, 100, settings));
    check_children(*dev, settings);
    return 0;
}

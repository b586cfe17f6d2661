#include <dlfcn.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "plugin/provider.h"

namespace {

using GetProviders = std::vector<std::shared_ptr<Provider>> (*)();

// The plug-in as the controller sees it: opened by path, entry point looked up by name.
class LoadedPlugin : public ::testing::Test {
protected:
    void SetUp() override {
        handle_ = dlopen(ZRT_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle_, nullptr) << dlerror();
        get_providers_ = reinterpret_cast<GetProviders>(dlsym(handle_, "get_providers"));
        ASSERT_NE(get_providers_, nullptr) << dlerror();
    }
    void TearDown() override {
        if (handle_) dlclose(handle_);
    }
    // The plug-in's classes are hidden, so the factory type is known by contract only.
    static const TXQSPDeviceProvider& factory(const std::shared_ptr<Provider>& p) {
        return static_cast<const TXQSPDeviceProvider&>(*p);
    }

    void* handle_ = nullptr;
    GetProviders get_providers_ = nullptr;
};

}  // namespace

TEST_F(LoadedPlugin, FourFactoriesInOrderEachMakingItsDeviceType) {
    const std::vector<std::string> expected{"zrt4600a", "zrt4600a-ac", "zrt4600a-dc", "zrt4600a-rc"};
    {
        auto providers = get_providers_();
        ASSERT_EQ(providers.size(), expected.size());
        for (size_t i = 0; i < providers.size(); ++i) {
            ASSERT_TRUE(providers[i]);
            std::unique_ptr<TXQSPDevice> a(factory(providers[i]).create());
            std::unique_ptr<TXQSPDevice> b(factory(providers[i]).create());
            ASSERT_TRUE(a && b);
            EXPECT_NE(a.get(), b.get());
            // Straight after construction, before any configuration.
            EXPECT_EQ(a->DeviceType(), expected[i]);
            EXPECT_EQ(b->DeviceType(), expected[i]);
            EXPECT_TRUE(a->IsSupportDevice(expected[i]));
        }
    }  // every object of the plug-in is gone before it is unloaded
}

TEST_F(LoadedPlugin, EveryCallBuildsNewFactories) {
    auto first = get_providers_();
    auto second = get_providers_();
    ASSERT_EQ(first.size(), 4u);
    ASSERT_EQ(second.size(), 4u);
    for (size_t i = 0; i < 4; ++i)
        for (size_t k = 0; k < 4; ++k) EXPECT_NE(first[i].get(), second[k].get());
    EXPECT_EQ(first[0].use_count(), 1);  // the library keeps no reference
    first.clear();
    std::unique_ptr<TXQSPDevice> dev(factory(second[3]).create());
    EXPECT_EQ(dev->DeviceType(), "zrt4600a-rc");
}

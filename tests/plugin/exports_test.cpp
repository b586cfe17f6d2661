#include <gtest/gtest.h>

#include "elf_symbols.h"

TEST(PluginExports, TheLibraryExportsGetProvidersAndNothingElse) {
    EXPECT_EQ(exported_symbols(ZRT_PLUGIN_PATH), std::set<std::string>{"get_providers"});
}

TEST(PluginExports, TheSymbolReaderSeesEverythingALibraryExports) {
    // The host library exports its whole contract; a reader that missed symbols would make
    // the check above pass for the wrong reason.
    const auto host = exported_symbols(TXQHOST_PATH);
    EXPECT_TRUE(host.count("_Z9get_ttimeRKN5boost10posix_time5ptimeE"));
    EXPECT_TRUE(host.count("_ZN13PMBusProtocol15write_pmbus_cmdEhh"));
    EXPECT_FALSE(host.count("get_providers"));
    EXPECT_THROW(exported_symbols(ZRT_PLUGIN_PATH ".missing"), std::runtime_error);
}

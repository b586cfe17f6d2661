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

#include <dlfcn.h>

#include <algorithm>
#include <vector>

#include "host_symbols.h"

namespace {

#if defined(ZRT_SANITIZED_BUILD)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// True when this process finds `name` in a library other than the development host.
bool runtime_has(const std::string& name) {
    void* p = dlsym(RTLD_DEFAULT, name.c_str());
    Dl_info info{};
    if (!p || !dladdr(p, &info) || !info.dli_fname) return false;
    return std::string(info.dli_fname).find("txqhost") == std::string::npos;
}

// Every undefined symbol of a plug-in build with the reason it may not be there.
std::vector<std::string> refused_symbols(const std::string& path) {
    std::vector<std::string> out;
    for (const DynamicSymbol& s : dynamic_symbols(path)) {
        const std::string why = refusal(s, kSanitized, runtime_has);
        if (!why.empty()) out.push_back(demangled(s.name) + ": " + why);
    }
    return out;
}

const DynamicSymbol* find(const std::vector<DynamicSymbol>& table, const std::string& name) {
    auto it = std::find_if(table.begin(), table.end(), [&](const DynamicSymbol& s) { return s.name == name; });
    return it == table.end() ? nullptr : &*it;
}

}  // namespace

TEST(PluginSymbols, EveryUndefinedSymbolIsTheContractTheRuntimeOrTheWeakLogSink) {
    // Our build, and the build against the second, minimal contract implementation.
    for (const std::string path : {ZRT_PLUGIN_PATH, ZRT_CONTRACT_PLUGIN_PATH}) {
        SCOPED_TRACE(path);
        const auto refused = refused_symbols(path);
        std::string list;
        for (const auto& r : refused) list += "\n  " + r;
        EXPECT_TRUE(refused.empty()) << "symbols another controller cannot define:" << list;
        EXPECT_EQ(exported_symbols(path), std::set<std::string>{"get_providers"});
    }

    // The reader sees what the plug-in leaves to the host, so the check above looks at
    // the real list.
    const auto table = dynamic_symbols(ZRT_PLUGIN_PATH);
    const DynamicSymbol* ctor = find(table, "_ZN11TXQSPDeviceC2Ev");
    ASSERT_NE(ctor, nullptr);
    EXPECT_FALSE(ctor->defined);
    EXPECT_FALSE(ctor->versioned);
    const DynamicSymbol* sink = find(table, "txq_log_sink");
    ASSERT_NE(sink, nullptr);
    EXPECT_TRUE(sink->weak);
    EXPECT_FALSE(sink->defined);
    const DynamicSymbol* ttime = find(table, "_Z9get_ttimeRKN5boost10posix_time5ptimeE");
    ASSERT_NE(ttime, nullptr);
    EXPECT_FALSE(ttime->defined);
    EXPECT_TRUE(std::any_of(table.begin(), table.end(),
                            [](const DynamicSymbol& s) { return !s.defined && s.versioned; }));
}

TEST(PluginSymbols, TheCheckRefusesWhatOnlyOurHostCouldDefine) {
    auto undefined = [](const char* name, bool weak = false, bool versioned = false) {
        DynamicSymbol s;
        s.name = name;
        s.weak = weak;
        s.versioned = versioned;
        return refusal(s);
    };
    // An operation taking a development host type, the development host itself, the
    // controller's own members and type data, a strong log sink, an unknown C function.
    EXPECT_NE(undefined("_ZN11TXQSPDevice8OpenPortESt10shared_ptrIN7devhost9TransportEE"), "");
    EXPECT_NE(undefined("_ZN7devhost10Controller5drainEv"), "");
    EXPECT_NE(undefined("_ZN13TXQController3LogEv"), "");
    EXPECT_NE(undefined("_ZTI13TXQController"), "");
    EXPECT_NE(undefined("txq_log_sink"), "");
    EXPECT_NE(undefined("txq_host_write"), "");
    EXPECT_NE(undefined("_Z9zrt_helperv"), "");

    EXPECT_EQ(undefined("txq_log_sink", true), "");
    EXPECT_EQ(undefined("_ZN11TXQSPDeviceC2Ev"), "");
    EXPECT_EQ(undefined("_ZTI13PMBusProtocol"), "");
    EXPECT_EQ(undefined("_Z9get_ttimeN5boost10posix_time5ptimeE"), "");
    EXPECT_EQ(undefined("_ZNK4Json5ValueixEPKc"), "");
    EXPECT_EQ(undefined("memcpy", false, true), "");
    // In a sanitizer build an unversioned C name passes only when the runtime has it.
    DynamicSymbol strlen_ref;
    strlen_ref.name = "strlen";
    EXPECT_EQ(refusal(strlen_ref, true, runtime_has), "");
    EXPECT_NE(refusal(strlen_ref, false, runtime_has), "");
    DynamicSymbol host_ref;
    host_ref.name = "txq_host_write";
    EXPECT_NE(refusal(host_ref, true, runtime_has), "");
}

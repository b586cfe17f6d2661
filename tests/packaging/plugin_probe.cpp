// zrt-plugin-probe SO: loads a plug-in the way a controller does (dlopen by path, with the
// host's symbols from txqhost already in the process), calls get_providers and makes one
// device with each factory. Prints the device types; exit 0 when the four factories work,
// 1 when the file does not load or a factory fails, 2 on a usage error.
#include <dlfcn.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "plugin/provider.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: zrt-plugin-probe <zrt4600a.so>\n");
        return 2;
    }
    void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        std::fprintf(stderr, "%s\n", dlerror());
        return 1;
    }
    using GetProviders = std::vector<std::shared_ptr<Provider>> (*)();
    auto get_providers = reinterpret_cast<GetProviders>(dlsym(lib, "get_providers"));
    if (!get_providers) {
        std::fprintf(stderr, "%s: no get_providers\n", argv[1]);
        return 1;
    }
    std::string types;
    {
        auto providers = get_providers();
        for (size_t k = 0; k < providers.size(); ++k) {
            // The plug-in's classes are hidden, so the factory type is known by contract only.
            auto* factory = static_cast<const TXQSPDeviceProvider*>(providers[k].get());
            std::unique_ptr<TXQSPDevice> device(factory ? factory->create() : nullptr);
            if (!device) {
                std::fprintf(stderr, "%s: factory %zu makes no device\n", argv[1], k);
                return 1;
            }
            types += (types.empty() ? "" : " ") + device->DeviceType();
        }
        if (providers.size() != 4) {
            std::fprintf(stderr, "%s: %zu factories, expected 4 (%s)\n", argv[1], providers.size(), types.c_str());
            return 1;
        }
    }  // every object of the plug-in is gone before it is unloaded
    std::printf("get_providers: %s\n", types.c_str());
    dlclose(lib);
    return 0;
}

#include "base/paths.h"

#include <filesystem>
#include <system_error>

#include <unistd.h>

#include "zrt_version.h"

namespace zrt {

namespace fs = std::filesystem;

namespace {

bool present(const fs::path& p) {
    std::error_code ec;
    return fs::exists(p, ec);
}

std::string normal(const fs::path& p) { return p.lexically_normal().string(); }

}  // namespace

DefaultPaths default_paths_for(const std::string& exe_dir) {
    const fs::path dir(exe_dir);
    DefaultPaths d;
    const fs::path built_plugin = dir / ".." / "plugin" / "zrt4600a.so";
    d.plugin = normal(present(built_plugin) ? built_plugin : dir / ZRT_REL_PKGLIBDIR / "zrt4600a.so");
    const fs::path built_examples = dir / ".." / "examples";
    d.examples = normal(present(built_examples / "site.json") ? built_examples : dir / ZRT_REL_EXAMPLESDIR);
    return d;
}

DefaultPaths default_paths() {
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    std::string dir = ".";
    if (n > 0) {
        dir.assign(exe, static_cast<size_t>(n));
        const size_t slash = dir.rfind('/');
        dir = slash == 0 ? "/" : dir.substr(0, slash);
    }
    return default_paths_for(dir);
}

std::string version_text(const std::string& program) {
    return program + " " + ZRT_VERSION + " (revision " + ZRT_GIT_REVISION + ")";
}

}  // namespace zrt

// The plug-in's folders stand in floors: common/ below the three children, the children
// below the top device. A folder never includes one that includes it back.
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <string>

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

// The folders whose headers the files of `folder` include ("#include "x/...").
std::set<std::string> included_folders(const std::string& folder) {
    static const std::regex include(R"re(^\s*#\s*include\s*"([A-Za-z0-9_]+)/)re");
    std::set<std::string> found;
    for (const auto& entry : fs::directory_iterator(fs::path(ZRT_SOURCE_DIR) / folder)) {
        if (!entry.is_regular_file()) continue;
        std::ifstream in(entry.path());
        std::string line;
        std::smatch m;
        while (std::getline(in, line))
            if (std::regex_search(line, m, include) && m[1] != folder) found.insert(m[1]);
    }
    return found;
}

TEST(PluginLayers, EachFolderIncludesOnlyTheFloorsBelowIt) {
    using Set = std::set<std::string>;
    EXPECT_EQ(included_folders("common"), (Set{"host"}));
    for (const char* child : {"ac", "dc", "rc"}) EXPECT_EQ(included_folders(child), (Set{"common", "host"})) << child;
    EXPECT_EQ(included_folders("power"), (Set{"ac", "common", "dc", "host", "rc"}));
}

}  // namespace

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "symbol_floor.h"

namespace {

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool has(const std::vector<std::string>& v, const std::string& s) { return std::find(v.begin(), v.end(), s) != v.end(); }

}  // namespace

TEST(ControllerFloor, TheReaderSeesTheVersionsAndLibrariesABuildNeeds) {
    for (const std::string path : {ZRT_PLUGIN_PATH, ZRT_CONTRACT_PLUGIN_PATH}) {
        const auto versions = needed_versions(path);
        const auto highest = highest_needed(versions);
        EXPECT_TRUE(highest.count("GLIBC")) << path;
        EXPECT_TRUE(highest.count("GLIBCXX")) << path;
        for (const NeededVersion& v : versions) {
            if (v.version.rfind("GLIBCXX_", 0) == 0) {
                EXPECT_EQ(v.library, "libstdc++.so.6") << path;
            }
        }

        const auto libs = needed_libraries(path);
        EXPECT_TRUE(has(libs, "libc.so.6")) << path;
        EXPECT_TRUE(has(libs, "libstdc++.so.6")) << path;
        EXPECT_EQ(std::count_if(libs.begin(), libs.end(), [](const std::string& l) { return l.rfind("libjsoncpp.so.", 0) == 0; }), 1)
            << path;
        // Boost is used through its headers alone.
        EXPECT_FALSE(std::any_of(libs.begin(), libs.end(), [](const std::string& l) { return l.find("boost") != std::string::npos; }))
            << path;
    }
    EXPECT_THROW(needed_versions(ZRT_PLUGIN_PATH ".missing"), std::runtime_error);
}

TEST(ControllerFloor, VersionsCompareByNumber) {
    EXPECT_LT(compare_dotted("2.4", "2.31"), 0);
    EXPECT_LT(compare_dotted("3.4.9", "3.4.29"), 0);
    EXPECT_GT(compare_dotted("3.4.29", "3.4.28"), 0);
    EXPECT_EQ(compare_dotted("1.3", "1.3.0"), 0);
    EXPECT_LT(compare_dotted("1.3", "1.3.1"), 0);

    const auto highest = highest_needed({{"libc.so.6", "GLIBC_2.4"}, {"libc.so.6", "GLIBC_2.31"},
                                         {"libc.so.6", "GLIBC_2.17"}, {"libc.so.6", "GLIBC_PRIVATE"},
                                         {"libstdc++.so.6", "GLIBCXX_3.4.9"}, {"libstdc++.so.6", "GLIBCXX_3.4.29"},
                                         {"libstdc++.so.6", "CXXABI_1.3"}});
    EXPECT_EQ(highest, (std::map<std::string, std::string>{{"GLIBC", "2.31"}, {"GLIBCXX", "3.4.29"}, {"CXXABI", "1.3"}}));
}

TEST(ControllerFloor, TheReadmeTableStatesADebian11FloorAndIsEnforced) {
    const auto floor = floor_from_readme(read_file(ZRT_README_PATH));
    ASSERT_EQ(floor.size(), 3u);
    // What Debian 11 ships: glibc 2.31, GCC 10's libstdc++.
    EXPECT_LE(compare_dotted(floor.at("GLIBC"), "2.31"), 0);
    EXPECT_LE(compare_dotted(floor.at("GLIBCXX"), "3.4.28"), 0);
    EXPECT_LE(compare_dotted(floor.at("CXXABI"), "1.3.12"), 0);

    const auto problems = above_floor({{"GLIBC", "2.32"}, {"GLIBCXX", floor.at("GLIBCXX")}, {"GCC", "7.0"}}, floor);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0], "GLIBC_2.32 is above the floor GLIBC_" + floor.at("GLIBC"));
    EXPECT_EQ(above_floor({{"CXXABI", "1.3"}}, {{"GLIBC", "2.31"}}).size(), 1u);

    EXPECT_THROW(floor_from_readme("# Title\n| glibc | `GLIBC_2.28` |\n"), std::runtime_error);
    EXPECT_THROW(floor_from_readme("## Controller requirements\n| glibc | `GLIBC_2.28` |\n| C++ | `GLIBCXX_3.4.22` |\n"),
                 std::runtime_error);
}

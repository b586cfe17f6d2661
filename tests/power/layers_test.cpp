// The source folders stand in floors, and includes and links run one way, down. In the
// plug-in: common/ below the three children, the children below the top device, the top
// device below the exported entry point. Beside it: devhost/ on the host contract, base/
// below both programs, sim/ on devhost/ and base/, and tools/ on top, where the sinks stand
// on tools/core/ and only tools/app/ reaches across them. A folder never includes or links
// one that stands above it, so an edge back up fails here.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;
using Set = std::set<std::string>;

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
    EXPECT_EQ(included_folders("common"), (Set{"host"}));
    for (const char* child : {"ac", "dc", "rc"}) EXPECT_EQ(included_folders(child), (Set{"common", "host"})) << child;
    EXPECT_EQ(included_folders("power"), (Set{"ac", "common", "dc", "host", "rc"}));
}

// Each source folder and the folders right below it; a folder may use anything below those.
const std::map<std::string, Set>& floors() {
    static const std::map<std::string, Set> f = {
        {"host", {}},
        {"common", {"host"}},
        {"ac", {"common"}},
        {"dc", {"common"}},
        {"rc", {"common"}},
        {"power", {"ac", "dc", "rc"}},
        {"plugin", {"power"}},
        {"devhost", {"host"}},
        {"base", {}},
        {"sim", {"devhost", "base"}},
        // The tools read the children's records and field tables, never the plug-in's code.
        {"tools/core", {"devhost", "ac", "dc", "rc", "base"}},
        {"tools/line", {"tools/core", "sim"}},
        {"tools/history", {"tools/core"}},
        {"tools/view", {"tools/core"}},
        {"tools/metrics", {"tools/core"}},
        {"tools/snmp", {"tools/core"}},
        // The uplink replays a gap from the history file, through its readers.
        {"tools/uplink", {"tools/history"}},
        {"tools/app", {"tools/line", "tools/history", "tools/view", "tools/metrics", "tools/snmp", "tools/uplink", "plugin"}},
    };
    return f;
}

// Everything below `folder`, however far down.
Set below(const std::string& folder) {
    Set all;
    std::function<void(const std::string&)> walk = [&](const std::string& f) {
        for (const std::string& next : floors().at(f))
            if (all.insert(next).second) walk(next);
    };
    walk(folder);
    return all;
}

// Top-level folders that hold no part of the programs or the plug-in.
const Set kNotProduct = {"tests", "bench", "fuzz", "cmake", "docs", "examples", "mibs",
                         "monitoring", "packaging", "scripts"};

bool is_source(const fs::path& p) {
    const std::string ext = p.extension().string();
    return ext == ".h" || ext == ".cpp" || ext == ".hpp" || ext == ".cc";
}

// The folder an include such as "tools/core/events.h" or "ac/ac_records.h" names.
std::string folder_of_include(const std::string& path) {
    const size_t slash = path.find('/');
    if (slash == std::string::npos) return "";
    const std::string top = path.substr(0, slash);
    if (top != "tools") return top;
    const size_t second = path.find('/', slash + 1);
    return second == std::string::npos ? top : path.substr(0, second);
}

struct Edge {
    std::string where;  // file:line
    std::string to;     // the folder it reaches
};

// The project's includes of every file in `folder` that name another folder.
std::vector<Edge> includes_of(const std::string& folder) {
    static const std::regex include(R"re(^\s*#\s*include\s*"([^"]+)")re");
    std::vector<Edge> edges;
    for (const auto& entry : fs::directory_iterator(fs::path(ZRT_SOURCE_DIR) / folder)) {
        if (!entry.is_regular_file() || !is_source(entry.path())) continue;
        std::ifstream in(entry.path());
        std::string line;
        std::smatch m;
        for (int n = 1; std::getline(in, line); ++n) {
            if (!std::regex_search(line, m, include)) continue;
            const std::string to = folder_of_include(m[1]);
            if (!to.empty() && to != folder && (floors().count(to) || to == "tools"))
                edges.push_back({folder + "/" + entry.path().filename().string() + ":" + std::to_string(n), to});
        }
    }
    return edges;
}

TEST(SourceFloors, TheFloorsHaveNoLoop) {
    for (const auto& [folder, direct] : floors()) {
        for (const std::string& next : direct) EXPECT_TRUE(floors().count(next)) << folder << " stands on unknown " << next;
        EXPECT_FALSE(below(folder).count(folder)) << folder << " stands on itself";
    }
}

TEST(SourceFloors, EveryFolderWithSourcesHasAFloor) {
    const fs::path root(ZRT_SOURCE_DIR);
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        const std::string rel = fs::relative(it->path(), root).generic_string();
        const std::string name = it->path().filename().string();
        if (it->is_directory()) {
            const std::string top = rel.substr(0, rel.find('/'));
            if (name.front() == '.' || name == "node_modules" || top.rfind("build", 0) == 0 || kNotProduct.count(top))
                it.disable_recursion_pending();
            continue;
        }
        if (!is_source(it->path())) continue;
        const std::string folder = fs::relative(it->path().parent_path(), root).generic_string();
        EXPECT_TRUE(floors().count(folder)) << rel << ": its folder " << folder << " has no floor in this test";
    }
}

TEST(SourceFloors, IncludesRunOnlyDown) {
    for (const auto& entry : floors()) {
        const std::string& folder = entry.first;
        const Set allowed = below(folder);
        for (const Edge& e : includes_of(folder))
            EXPECT_TRUE(allowed.count(e.to)) << e.where << " includes " << e.to << "/, which does not stand below " << folder << "/";
    }
}

// The folder each CMake target is defined in. tools/CMakeLists.txt defines the libraries of
// all its subfolders: a target there belongs to the folder of its first source file.
std::map<std::string, std::string> target_folders(std::map<std::string, std::string>& cmake_text) {
    static const std::regex add(R"re(add_(library|executable)\(\s*([A-Za-z0-9_.-]+)([^)]*)\))re");
    static const std::regex comment(R"re(#[^\n]*)re");
    std::map<std::string, std::string> where{{"zrt_host_headers", "host"}};
    for (const char* folder_name : {"base", "common", "ac", "dc", "rc", "power", "plugin", "devhost", "sim", "tools"}) {
        const std::string dir = folder_name;
        std::ifstream in(fs::path(ZRT_SOURCE_DIR) / dir / "CMakeLists.txt");
        std::stringstream text;
        text << in.rdbuf();
        cmake_text[dir] = std::regex_replace(text.str(), comment, "");
        const std::string& s = cmake_text[dir];
        for (std::sregex_iterator it(s.begin(), s.end(), add), end; it != end; ++it) {
            std::string folder = dir;
            if (dir == "tools") {
                std::istringstream args((*it)[3].str());
                std::string first;
                while (args >> first && (first == "STATIC" || first == "SHARED" || first == "INTERFACE")) {}
                folder = folder_of_include("tools/" + first);
            }
            where[(*it)[2]] = folder;
        }
    }
    return where;
}

TEST(SourceFloors, LinksRunOnlyDown) {
    static const std::regex link(R"re(target_link_libraries\(\s*([A-Za-z0-9_.-]+)([^)]*)\))re");
    std::map<std::string, std::string> cmake_text;
    const auto where = target_folders(cmake_text);
    ASSERT_TRUE(where.count("zrt_sim") && where.count("zrt_paths") && where.count("zrt_hosttools"));
    size_t checked = 0;
    for (const auto& [dir, text] : cmake_text) {
        for (std::sregex_iterator it(text.begin(), text.end(), link), end; it != end; ++it) {
            const auto from = where.find((*it)[1]);
            if (from == where.end()) continue;
            std::istringstream libs((*it)[2].str());
            for (std::string lib; libs >> lib;) {
                const auto to = where.find(lib);
                if (to == where.end() || to->second == from->second) continue;
                ++checked;
                EXPECT_TRUE(below(from->second).count(to->second))
                    << dir << "/CMakeLists.txt: " << from->first << " (" << from->second << "/) links " << lib
                    << " (" << to->second << "/), which does not stand below it";
            }
        }
    }
    EXPECT_GT(checked, 10u);
}

}  // namespace

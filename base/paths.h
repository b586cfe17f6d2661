#pragma once
// Where the programs find the plug-in and the example files when no option names them:
// relative to the running program, so a build tree and an installed tree both work and no
// absolute path of either is compiled in.
//
//   build tree:    <build>/tools/zrt4600a-host    <build>/plugin/zrt4600a.so    <build>/examples/
//   installed:     <prefix>/bin/zrt4600a-host     <prefix>/lib/<multiarch>/zrt4600a/zrt4600a.so
//                                                 <prefix>/share/zrt4600a/examples/
#include <string>

namespace zrt {

struct DefaultPaths {
    std::string plugin;    // the plug-in library
    std::string examples;  // the folder of the example settings and plant files
};

// The build tree's layout where its files exist beside `exe_dir`, else the installed layout
// (whether or not its files exist: the error of the program that opens one names it).
DefaultPaths default_paths_for(const std::string& exe_dir);

// The same for the running program (/proc/self/exe); the current folder if that cannot be read.
DefaultPaths default_paths();

// "<program> 1.0.0 (revision 1a2b3c4)": the --version text.
std::string version_text(const std::string& program);

}  // namespace zrt

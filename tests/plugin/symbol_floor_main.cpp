// zrt-symbol-floor: checks built plug-ins against the "Controller requirements" table.
//   zrt-symbol-floor docs/controller-requirements.md zrt4600a.so...
// Prints each object's highest GLIBC_/GLIBCXX_/CXXABI_ versions and the libraries it names.
// Exit 0 when every object is within the floor, 1 when one needs more, 2 when a file cannot
// be read.
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include "symbol_floor.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: zrt-symbol-floor docs/controller-requirements.md OBJECT...\n";
        return 2;
    }
    std::map<std::string, std::string> floor;
    try {
        std::ifstream in(argv[1]);
        if (!in) throw std::runtime_error(std::string("cannot open ") + argv[1]);
        std::ostringstream text;
        text << in.rdbuf();
        floor = floor_from_readme(text.str());
    } catch (const std::exception& e) {
        std::cerr << "zrt-symbol-floor: " << argv[1] << ": " << e.what() << "\n";
        return 2;
    }
    int status = 0;
    for (int i = 2; i < argc; ++i) {
        try {
            const auto needed = highest_needed(needed_versions(argv[i]));
            std::cout << argv[i] << ":";
            for (const auto& [family, number] : needed) std::cout << " " << family << "_" << number;
            std::cout << "\n  needs:";
            for (const std::string& lib : needed_libraries(argv[i])) std::cout << " " << lib;
            std::cout << "\n";
            for (const std::string& problem : above_floor(needed, floor)) {
                std::cout << "  " << problem << "\n";
                status = 1;
            }
        } catch (const std::exception& e) {
            std::cerr << "zrt-symbol-floor: " << argv[i] << ": " << e.what() << "\n";
            return 2;
        }
    }
    std::cout << (status == 0 ? "within the floor of the controller requirements\n" : "ABOVE the floor of the controller requirements\n");
    return status;
}

# Writes a C++ header holding the live page (one HTML file with its style and script) as a
# character array, so the host serves it with no file and no network at run time.
#   cmake -DPAGE=... -DOUT=... -P embed.cmake
file(READ "${PAGE}" hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
file(WRITE "${OUT}.tmp" "#pragma once\n// Generated from tools/metrics/live/index.html at build time. Do not edit.\n"
                        "inline constexpr unsigned char kLivePage[] = {${bytes}0x00};\n")
file(RENAME "${OUT}.tmp" "${OUT}")

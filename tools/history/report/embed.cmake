# Writes a C++ header holding the chart library's script and style sheet as byte arrays,
# so the report needs no file and no network at run time.
#   cmake -DJS=... -DCSS=... -DOUT=... -P embed.cmake
function(embed var file out_text)
  file(READ "${file}" hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  set(${out_text} "inline constexpr unsigned char ${var}[] = {${bytes}};\n" PARENT_SCOPE)
endfunction()
embed(kUplotJs "${JS}" js)
embed(kUplotCss "${CSS}" css)
file(WRITE "${OUT}.tmp" "#pragma once\n// Generated from the uplot package at build time. Do not edit.\n${js}${css}")
file(RENAME "${OUT}.tmp" "${OUT}")

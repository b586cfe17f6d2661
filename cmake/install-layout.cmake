# Where an installed tree keeps each part, relative to the install prefix, and the version
# the programs print. The programs find the plug-in and the examples relative to their own
# location, in the build tree first and then in this layout, so neither tree's absolute path
# is compiled in.
include(GNUInstallDirs)

# lib/<multiarch>/zrt4600a holds the plug-in and the development host's library.
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(ZRT_INSTALL_PKGLIBDIR "lib/${CMAKE_LIBRARY_ARCHITECTURE}/zrt4600a")
else()
  set(ZRT_INSTALL_PKGLIBDIR "${CMAKE_INSTALL_LIBDIR}/zrt4600a")
endif()
set(ZRT_INSTALL_EXAMPLESDIR "${CMAKE_INSTALL_DATADIR}/zrt4600a/examples")
set(ZRT_INSTALL_SYSTEMD_UNITDIR "lib/systemd/system" CACHE STRING
    "systemd unit directory, relative to the install prefix or absolute")

# From bin/ to the plug-in and to the examples; the programs' RPATH uses the first.
file(RELATIVE_PATH ZRT_REL_PKGLIBDIR "/prefix/${CMAKE_INSTALL_BINDIR}" "/prefix/${ZRT_INSTALL_PKGLIBDIR}")
file(RELATIVE_PATH ZRT_REL_EXAMPLESDIR "/prefix/${CMAKE_INSTALL_BINDIR}" "/prefix/${ZRT_INSTALL_EXAMPLESDIR}")

# Git revision at configure time: "git describe --always --dirty", "unknown" outside a git
# tree. A tree without .git unpacked inside another checkout (a release tarball under some
# repository's folder) is not that checkout: its revision stays "unknown".
set(ZRT_GIT_REVISION "unknown")
find_package(Git QUIET)
if(GIT_FOUND)
  execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --show-toplevel
                  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                  OUTPUT_VARIABLE _zrt_top OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(_zrt_top)
    get_filename_component(_zrt_top "${_zrt_top}" REALPATH)
  endif()
  get_filename_component(_zrt_src "${PROJECT_SOURCE_DIR}" REALPATH)
endif()
if(GIT_FOUND AND _zrt_top AND _zrt_top STREQUAL _zrt_src)
  execute_process(COMMAND ${GIT_EXECUTABLE} describe --always --dirty
                  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                  OUTPUT_VARIABLE _zrt_rev OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE _zrt_rev_rc ERROR_QUIET)
  if(_zrt_rev_rc EQUAL 0 AND _zrt_rev)
    set(ZRT_GIT_REVISION "${_zrt_rev}")
  endif()
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/zrt_version.h.in ${PROJECT_BINARY_DIR}/generated/zrt_version.h @ONLY)
add_library(zrt_version INTERFACE)
target_include_directories(zrt_version INTERFACE ${PROJECT_BINARY_DIR}/generated)

# The build tree mirrors the examples beside the programs (build/examples), so a program
# run from the build tree finds them the way an installed one does; a changed example
# file re-runs the configure step.
file(GLOB ZRT_EXAMPLE_FILES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/examples/*.json)
foreach(f ${ZRT_EXAMPLE_FILES})
  get_filename_component(n ${f} NAME)
  configure_file(${f} ${PROJECT_BINARY_DIR}/examples/${n} COPYONLY)
endforeach()

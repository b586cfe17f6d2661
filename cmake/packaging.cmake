# Install rules and the Debian packages (CPack DEB, one package per component):
#   zrt4600a        the plug-in alone, for the controller
#   zrt4600a-tools  host, simulator, libtxqhost, examples, man pages, the systemd unit
set(ZRT_FULL_BINDIR "${CMAKE_INSTALL_FULL_BINDIR}")
set(ZRT_FULL_PKGLIBDIR "${CMAKE_INSTALL_PREFIX}/${ZRT_INSTALL_PKGLIBDIR}")
set(ZRT_FULL_EXAMPLESDIR "${CMAKE_INSTALL_PREFIX}/${ZRT_INSTALL_EXAMPLESDIR}")

# The armhf packages ship the plug-in built on Debian 11 (scripts/compat-check.sh --release,
# run by scripts/package.sh armhf), so that it loads into older controllers:
# ZRT_PLUGIN_PREBUILT names that file, ZRT_PLUGIN_DEPENDS its Debian dependencies there.
set(ZRT_PLUGIN_PREBUILT "" CACHE FILEPATH "zrt4600a.so to package instead of this build's")
set(ZRT_PLUGIN_DEPENDS "" CACHE STRING "Depends of the zrt4600a package when ZRT_PLUGIN_PREBUILT is set")
if(ZRT_PLUGIN_PREBUILT)
  if(NOT EXISTS "${ZRT_PLUGIN_PREBUILT}" OR NOT ZRT_PLUGIN_DEPENDS)
    message(FATAL_ERROR "ZRT_PLUGIN_PREBUILT: ${ZRT_PLUGIN_PREBUILT} does not exist or ZRT_PLUGIN_DEPENDS is empty")
  endif()
  # Installed as a file, the prebuilt plug-in is out of reach of CPack's stripping: it is
  # stripped here the way Debian strips a shared library, and its debug info is kept apart
  # in packaging/zrt4600a.so.debug, which the stripped file names in its GNU debuglink
  # (scripts/package.sh puts it beside the packages). This build's own plug-in is then not
  # needed by the packages and is left out of "all".
  if(NOT CMAKE_OBJCOPY OR NOT CMAKE_STRIP)
    message(FATAL_ERROR "ZRT_PLUGIN_PREBUILT: objcopy and strip of this toolchain not found (binutils)")
  endif()
  set(ZRT_PLUGIN_STRIPPED ${PROJECT_BINARY_DIR}/packaging/zrt4600a.so)
  set(ZRT_PLUGIN_DEBUG ${PROJECT_BINARY_DIR}/packaging/zrt4600a.so.debug)
  file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/packaging)
  add_custom_command(OUTPUT ${ZRT_PLUGIN_STRIPPED} ${ZRT_PLUGIN_DEBUG}
    COMMAND ${CMAKE_OBJCOPY} --only-keep-debug --compress-debug-sections ${ZRT_PLUGIN_PREBUILT} ${ZRT_PLUGIN_DEBUG}
    COMMAND ${CMAKE_STRIP} --remove-section=.comment --remove-section=.note --strip-unneeded
            -o ${ZRT_PLUGIN_STRIPPED} ${ZRT_PLUGIN_PREBUILT}
    # The debuglink holds the debug file's name and CRC; objcopy reads it from the working directory.
    COMMAND ${CMAKE_OBJCOPY} --add-gnu-debuglink=zrt4600a.so.debug zrt4600a.so
    WORKING_DIRECTORY ${PROJECT_BINARY_DIR}/packaging
    DEPENDS ${ZRT_PLUGIN_PREBUILT}
    COMMENT "Stripping the prebuilt plug-in, debug info into zrt4600a.so.debug" VERBATIM)
  add_custom_target(zrt_plugin_stripped ALL DEPENDS ${ZRT_PLUGIN_STRIPPED} ${ZRT_PLUGIN_DEBUG})
  set_target_properties(zrt4600a PROPERTIES EXCLUDE_FROM_ALL ON)
  install(FILES ${ZRT_PLUGIN_STRIPPED} DESTINATION ${ZRT_INSTALL_PKGLIBDIR} COMPONENT plugin)
else()
  install(TARGETS zrt4600a LIBRARY DESTINATION ${ZRT_INSTALL_PKGLIBDIR} COMPONENT plugin)
endif()
install(FILES packaging/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/zrt4600a COMPONENT plugin)

# Debian wants changelog.gz compressed reproducibly (gzip -n: no name, no time stamp).
set(ZRT_CHANGELOG_GZ ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(OUTPUT ${ZRT_CHANGELOG_GZ}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/packaging
  COMMAND gzip -9 -n -c ${PROJECT_SOURCE_DIR}/packaging/changelog > ${ZRT_CHANGELOG_GZ}
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog VERBATIM)
add_custom_target(zrt_changelog ALL DEPENDS ${ZRT_CHANGELOG_GZ})
install(FILES ${ZRT_CHANGELOG_GZ} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/zrt4600a COMPONENT plugin)

if(TARGET zrt4600a-host)
  install(TARGETS zrt4600a-host zrt4600a-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  install(TARGETS txqhost LIBRARY DESTINATION ${ZRT_INSTALL_PKGLIBDIR} COMPONENT tools)
  install(FILES ${ZRT_EXAMPLE_FILES} DESTINATION ${ZRT_INSTALL_EXAMPLESDIR} COMPONENT tools)
  install(FILES packaging/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/zrt4600a-tools COMPONENT tools)
  install(FILES ${ZRT_CHANGELOG_GZ} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/zrt4600a-tools COMPONENT tools)
  # The SNMP subagent's MIB, where net-snmp's tools look (-m +ZRT4600A-MIB).
  install(FILES mibs/ZRT4600A-MIB.txt DESTINATION ${CMAKE_INSTALL_DATADIR}/snmp/mibs COMPONENT tools)
  configure_file(packaging/zrt4600a-host@.service.in ${PROJECT_BINARY_DIR}/packaging/zrt4600a-host@.service @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/zrt4600a-host@.service
          DESTINATION ${ZRT_INSTALL_SYSTEMD_UNITDIR} COMPONENT tools)

  # The man pages, written by hand under man/, compressed reproducibly (gzip -n) into the
  # build tree and installed by section.
  set(ZRT_MAN_PAGE_SOURCES zrt4600a-host.1 zrt4600a-sim.1 zrt4600a-settings.5 zrt4600a-plant.5)
  set(pages)
  foreach(page ${ZRT_MAN_PAGE_SOURCES})
    string(REGEX REPLACE ".*\\.([1-9])$" "\\1" section ${page})
    set(gz ${PROJECT_BINARY_DIR}/man/${page}.gz)
    add_custom_command(OUTPUT ${gz}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
      COMMAND gzip -9 -n -c ${PROJECT_SOURCE_DIR}/man/${page} > ${gz}
      DEPENDS ${PROJECT_SOURCE_DIR}/man/${page} VERBATIM)
    list(APPEND pages ${gz})
    install(FILES ${gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT tools)
  endforeach()
  add_custom_target(zrt_man_pages ALL DEPENDS ${pages})
endif()

# Debian packages.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zrt4600a)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "The zrt4600a developers <maintainers@example.invalid>")
set(CPACK_PACKAGE_VENDOR "The zrt4600a developers")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL plugin)
if(TARGET zrt4600a-host)
  list(APPEND CPACK_COMPONENTS_ALL tools)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libtxqhost is private to the tools: dpkg-shlibdeps finds it in the package's own folder.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/devhost)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://example.invalid/zrt4600a")
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
endif()
set(CPACK_DEBIAN_PLUGIN_PACKAGE_NAME zrt4600a)
set(CPACK_DEBIAN_PLUGIN_PACKAGE_SECTION libs)
if(ZRT_PLUGIN_PREBUILT)
  set(CPACK_DEBIAN_PLUGIN_PACKAGE_SHLIBDEPS OFF)
  set(CPACK_DEBIAN_PLUGIN_PACKAGE_DEPENDS "${ZRT_PLUGIN_DEPENDS}")
endif()
# First line: the synopsis; CPack indents the rest (no project-wide summary in front).
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_DEBIAN_PLUGIN_DESCRIPTION "ZRT4600 power-system device plug-in
zrt4600a.so is the device-driver plug-in that a telecom-site controller loads
to monitor a ZRT4600 power system (AC distribution, rectifiers, DC
distribution) over its serial line.")
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME zrt4600a-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "zrt4600a (= ${PROJECT_VERSION})")
# The SNMP subagent registers with the system's snmpd (optional).
set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS "snmpd")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "ZRT4600 power-system monitor: host application, simulator, service
zrt4600a-host runs the zrt4600a plug-in against a serial line, keeps the
history in SQLite, serves OpenMetrics for Prometheus and sensors, alarms
and notifications over SNMP as an AgentX subagent of snmpd; the
zrt4600a-host@.service unit runs one site per instance. zrt4600a-sim
simulates the power system on a pseudo-terminal.")
include(CPack)

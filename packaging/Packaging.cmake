# What `cmake --install` puts beside the programs, and `cpack -G DEB` in a
# build directory: a Debian package with the systemd unit, its defaults file,
# the manual pages and the command that names the station's adapter.
include(GNUInstallDirs)

# Add a program's unit or manual page here (units are in packaging/, pages in
# docs/, named with their section).
set(ANEMOBUS_SYSTEMD_UNITS anemobus.service anemobus-web.service)
# Each program's defaults file, packaging/<name>.default, goes to /etc/default/<name>.
set(ANEMOBUS_DEFAULTS anemobus anemobus-web)
set(ANEMOBUS_MAN_PAGES anemobus.1 anemobus-monitor.1 anemobus-sim.1 anemobus-station-rule.8
    anemobus-web.1)

install(PROGRAMS ${CMAKE_SOURCE_DIR}/tools/udev/anemobus-station-rule
        DESTINATION ${CMAKE_INSTALL_SBINDIR})
# Beside the rule command, which names it in the rule by its own directory.
install(PROGRAMS ${CMAKE_SOURCE_DIR}/tools/udev/anemobus-prepare-line
        DESTINATION ${CMAKE_INSTALL_SBINDIR})
list(APPEND ANEMOBUS_MAN_PAGES anemobus-prepare-line.8)
# Paths are settled when the files are installed, not when the build is
# configured, so that `cmake --install --prefix X` and cpack (which installs
# with the prefix /usr) each get units that run the binaries they installed
# and read the defaults file they installed: /etc/default under /usr, as
# Debian has it, X/etc/default under any other prefix. A unit may use
# @CMAKE_INSTALL_FULL_BINDIR@, @CMAKE_INSTALL_FULL_SBINDIR@ and
# @ANEMOBUS_DEFAULTS_DIR@.
install(CODE "
  if(IS_ABSOLUTE \"${CMAKE_INSTALL_BINDIR}\")
    set(CMAKE_INSTALL_FULL_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
  else()
    set(CMAKE_INSTALL_FULL_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  endif()
  if(IS_ABSOLUTE \"${CMAKE_INSTALL_SBINDIR}\")
    set(CMAKE_INSTALL_FULL_SBINDIR \"${CMAKE_INSTALL_SBINDIR}\")
  else()
    set(CMAKE_INSTALL_FULL_SBINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SBINDIR}\")
  endif()
  if(CMAKE_INSTALL_PREFIX STREQUAL /usr)
    set(ANEMOBUS_DEFAULTS_DIR /etc/default)
  else()
    set(ANEMOBUS_DEFAULTS_DIR \"\${CMAKE_INSTALL_PREFIX}/etc/default\")
  endif()
  foreach(name ${ANEMOBUS_DEFAULTS})
    file(INSTALL \"${CMAKE_CURRENT_LIST_DIR}/\${name}.default\"
         DESTINATION \"\${ANEMOBUS_DEFAULTS_DIR}\" RENAME \${name})
  endforeach()
")
foreach(unit IN LISTS ANEMOBUS_SYSTEMD_UNITS)
  set(unit_source ${CMAKE_CURRENT_LIST_DIR}/${unit})
  set(unit_configured ${CMAKE_BINARY_DIR}/packaging/${unit})
  install(CODE "
    configure_file(\"${unit_source}\" \"${unit_configured}\" @ONLY)
    file(INSTALL \"${unit_configured}\" DESTINATION \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\")
  ")
endforeach()

# Debian wants manual pages and the changelog compressed, reproducibly (-n:
# no name or time stamp inside).
find_program(GZIP_PROGRAM gzip REQUIRED)
function(anemobus_gzip source destination)
  get_filename_component(name ${source} NAME)
  set(compressed ${CMAKE_BINARY_DIR}/packaging/gz/${name}.gz)
  add_custom_command(OUTPUT ${compressed}
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${CMAKE_BINARY_DIR}/packaging/gz/${name}
    COMMAND ${GZIP_PROGRAM} -9nf ${CMAKE_BINARY_DIR}/packaging/gz/${name}
    DEPENDS ${source} VERBATIM)
  set_property(GLOBAL APPEND PROPERTY anemobus_compressed ${compressed})
  install(FILES ${compressed} DESTINATION ${destination})
endfunction()
foreach(page IN LISTS ANEMOBUS_MAN_PAGES)
  string(REGEX MATCH "[0-9]$" section ${page})
  anemobus_gzip(${CMAKE_SOURCE_DIR}/docs/${page} ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
anemobus_gzip(${CMAKE_CURRENT_LIST_DIR}/changelog ${CMAKE_INSTALL_DOCDIR})
get_property(compressed GLOBAL PROPERTY anemobus_compressed)
add_custom_target(anemobus_compressed_docs ALL DEPENDS ${compressed})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME anemobus)

set(ANEMOBUS_PACKAGE_MAINTAINER
    "anemobus maintainers <maintainers@anemobus.example.org>"
    CACHE STRING "Maintainer field of the Debian package")
set(CPACK_PACKAGE_NAME anemobus)
set(CPACK_PACKAGE_CONTACT "${ANEMOBUS_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "weather station to Ivy software bus relay")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "anemobus polls a weather station on a serial line once per period and\n"
    "broadcasts its pressure (Pa), temperature (C), wind speed (m/s) and wind\n"
    "direction as one text message on an Ivy software bus, so that every agent\n"
    "on the bus sees the surface weather.\n"
    "\n"
    "The package runs the relay as a hardened systemd service while the\n"
    "station's USB serial adapter is plugged in. anemobus-station-rule gives\n"
    "that adapter, and no other, the stable name /dev/anemobus-station. It also\n"
    "ships anemobus-web, which logs every reading and serves a live weather\n"
    "page on the local machine, anemobus-monitor, which watches and talks on an\n"
    "Ivy bus, and anemobus-sim, a simulated station on a pseudo-terminal with\n"
    "fault modes.")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# deb-systemd-helper and deb-systemd-invoke in the maintainer scripts.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "init-system-helpers (>= 1.52)")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udev")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/conffiles ${CMAKE_CURRENT_LIST_DIR}/postinst
    ${CMAKE_CURRENT_LIST_DIR}/prerm ${CMAKE_CURRENT_LIST_DIR}/postrm)
include(CPack)

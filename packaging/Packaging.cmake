# What `cmake --install` puts beside the programs, and `cpack -G DEB` in a
# build directory: one Debian package per component, as Debian splits a
# daemon from its clients, so that a relay machine gets neither an HTTP
# server nor an MQTT client it does not run. Each package comes with its
# -dbgsym package, its units, defaults files, manual pages and maintainer
# scripts. `cmake --install` without --component installs them all.
include(GNUInstallDirs)

# The packages, one per component. For each component (C: its name in
# capitals):
#   ANEMOBUS_C_PACKAGE    its package (default anemobus-<component>)
#   ANEMOBUS_C_PROGRAMS   its programs; the package is made when they are built
#   ANEMOBUS_C_UNITS      systemd units, packaging/<unit>, enabled on the
#                         first install and (re)started by its postinst ...
#   ANEMOBUS_C_NO_ENABLE  ... except these, left for the administrator to enable
#   ANEMOBUS_C_NO_START   ... and these, which its postinst does not restart
#   ANEMOBUS_C_DEFAULTS   defaults files, packaging/<name>.default, installed
#                         as /etc/default/<name> (a conffile)
#   ANEMOBUS_C_MAN_PAGES  manual pages in docs/, named with their section
#   ANEMOBUS_C_DEPENDS, _RECOMMENDS, _SUGGESTS   beyond the shared libraries
#                         (found by dpkg-shlibdeps) and the helpers that its
#                         units and debconf questions need (added here)
#   ANEMOBUS_C_SUMMARY, _DESCRIPTION   the package's synopsis and description
# A package's own maintainer scripts, when it has any, are
# packaging/<package>.<script> (postinst, prerm, postrm, config, templates),
# where a line `#SYSTEMD#` takes the handling of its units (written for it
# from packaging/maintscripts/ otherwise); packaging/<package>.lintian-overrides
# is installed where lintian reads it.
set(ANEMOBUS_COMPONENTS relay web mqtt tools)

set(ANEMOBUS_RELAY_PACKAGE anemobus)
set(ANEMOBUS_RELAY_PROGRAMS anemobus)
set(ANEMOBUS_RELAY_UNITS anemobus.service)
# Started by udev with the station's device: its postinst restarts it only
# when the device is there.
set(ANEMOBUS_RELAY_NO_START anemobus.service)
set(ANEMOBUS_RELAY_DEFAULTS anemobus)
set(ANEMOBUS_RELAY_MAN_PAGES anemobus.1 anemobus-station-rule.8 anemobus-prepare-line.8)
set(ANEMOBUS_RELAY_RECOMMENDS "udev, anemobus-tools")
set(ANEMOBUS_RELAY_SUGGESTS "anemobus-web, anemobus-mqtt")
set(ANEMOBUS_RELAY_SUMMARY "weather station to Ivy software bus relay")
string(CONCAT ANEMOBUS_RELAY_DESCRIPTION
    "anemobus polls a weather station on a serial line once per period and\n"
    "broadcasts its pressure (Pa), temperature (C), wind speed (m/s) and wind\n"
    "direction as one text message on an Ivy software bus, so that every agent\n"
    "on the bus sees the surface weather.\n"
    "\n"
    "This package runs the relay as a hardened systemd service while the\n"
    "station's USB serial adapter is plugged in. anemobus-station-rule gives\n"
    "that adapter, and no other, the stable name /dev/anemobus-station.\n"
    "The weather page is in anemobus-web, the MQTT bridge in anemobus-mqtt,\n"
    "the bus monitor and the station simulator in anemobus-tools.")

set(ANEMOBUS_WEB_PROGRAMS anemobus-web)
set(ANEMOBUS_WEB_UNITS anemobus-web.service)
set(ANEMOBUS_WEB_DEFAULTS anemobus-web)
set(ANEMOBUS_WEB_MAN_PAGES anemobus-web.1)
set(ANEMOBUS_WEB_SUGGESTS anemobus)
set(ANEMOBUS_WEB_SUMMARY "live weather page and reading log for an Ivy bus")
string(CONCAT ANEMOBUS_WEB_DESCRIPTION
    "anemobus-web joins an Ivy bus, records every weather reading that\n"
    "anemobus broadcasts in an SQLite log, and serves a live weather page\n"
    "(wind with its 2-minute mean and 10-minute gust against a wind limit,\n"
    "pressure tendency, charts) with the readings as JSON and CSV. Given an\n"
    "MQTT broker that anemobus-mqtt feeds, it shows every field site's\n"
    "aircraft too, on one page for an operations centre.\n"
    "\n"
    "It runs as a hardened systemd service. A debconf question chooses who\n"
    "may open the page: this machine only, or the field network.")

set(ANEMOBUS_MQTT_PROGRAMS anemobus-mqtt)
set(ANEMOBUS_MQTT_UNITS anemobus-mqtt.service)
# It has nothing to do until a broker is named in its defaults file.
set(ANEMOBUS_MQTT_NO_ENABLE anemobus-mqtt.service)
set(ANEMOBUS_MQTT_DEFAULTS anemobus-mqtt)
set(ANEMOBUS_MQTT_MAN_PAGES anemobus-mqtt.1)
# A broker set-up that loses nothing (docs/mqtt.md), in the package's
# doc/examples.
set(ANEMOBUS_MQTT_EXAMPLES ${CMAKE_SOURCE_DIR}/docs/examples/mosquitto-anemobus.conf
                           ${CMAKE_SOURCE_DIR}/docs/examples/mosquitto-anemobus.acl)
set(ANEMOBUS_MQTT_SUGGESTS "anemobus, mosquitto-clients")
set(ANEMOBUS_MQTT_SUMMARY "forwards anemobus weather readings to an MQTT broker")
string(CONCAT ANEMOBUS_MQTT_DESCRIPTION
    "anemobus-mqtt joins an Ivy bus and publishes every weather reading that\n"
    "anemobus broadcasts to an MQTT broker, for other sites and an operations\n"
    "centre. A reading waits in an on-disk outbox until the broker has\n"
    "acknowledged it, so that none is lost while the broker is away.\n"
    "\n"
    "It runs as a hardened systemd service, left disabled until a broker is\n"
    "configured.")

set(ANEMOBUS_TOOLS_PROGRAMS anemobus-monitor anemobus-sim)
set(ANEMOBUS_TOOLS_MAN_PAGES anemobus-monitor.1 anemobus-sim.1)
set(ANEMOBUS_TOOLS_SUMMARY "Ivy bus monitor and weather station simulator")
string(CONCAT ANEMOBUS_TOOLS_DESCRIPTION
    "anemobus-monitor joins an Ivy bus, prints the messages that match its\n"
    "regular expressions and sends the lines typed on its standard input.\n"
    "\n"
    "anemobus-sim plays the weather station that anemobus polls, on a\n"
    "pseudo-terminal, with fault modes: to try a set-up, or the relay,\n"
    "without a station.")

# Until this version one package held every program: the split packages
# take their files over from it.
set(ANEMOBUS_SPLIT_VERSION 0.2.0~)

set(ANEMOBUS_PACKAGE_MAINTAINER
    "anemobus maintainers <maintainers@anemobus.example.org>"
    CACHE STRING "Maintainer field of the Debian packages")

include(${CMAKE_CURRENT_LIST_DIR}/ComponentPackage.cmake)

install(PROGRAMS ${CMAKE_SOURCE_DIR}/tools/udev/anemobus-station-rule
        DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT relay)
# Beside the rule command, which names it in the rule by its own directory.
install(PROGRAMS ${CMAKE_SOURCE_DIR}/tools/udev/anemobus-prepare-line
        DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT relay)

set(packaged_components)
foreach(component IN LISTS ANEMOBUS_COMPONENTS)
  string(TOUPPER ${component} C)
  set(built TRUE)
  foreach(program IN LISTS ANEMOBUS_${C}_PROGRAMS)
    if(NOT TARGET ${program})
      set(built FALSE)
    endif()
  endforeach()
  if(built)
    anemobus_package_files(${component})
    anemobus_package_metadata(${component})
    list(APPEND packaged_components ${component})
  endif()
endforeach()

# The compressed pages and changelog are made with the programs.
get_property(compressed GLOBAL PROPERTY anemobus_compressed)
add_custom_target(anemobus_compressed_docs ALL DEPENDS ${compressed})

set(CPACK_PACKAGE_NAME anemobus)
set(CPACK_PACKAGE_CONTACT "${ANEMOBUS_PACKAGE_MAINTAINER}")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${packaged_components})
set(CPACK_DEBIAN_PACKAGE_SOURCE anemobus)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The -dbgsym packages take the debug information out of the programs, which
# are stripped then: stripping them before (CPACK_STRIP_FILES) would leave
# nothing to take.
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
set(CPACK_STRIP_FILES OFF)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/DebugPackages.cmake)
# With the binutils of the programs' own architecture, which a cross-build's
# toolchain names (this machine's objcopy cannot rewrite another's binaries).
set(CPACK_OBJCOPY_EXECUTABLE ${CMAKE_OBJCOPY})
set(CPACK_READELF_EXECUTABLE ${CMAKE_READELF})
# A cross-build's packages are of the architecture it built for (its
# toolchain file sets ANEMOBUS_DEB_ARCH), and dpkg-shlibdeps takes their
# dependencies from that architecture's libraries (CrossPackages.cmake).
if(ANEMOBUS_DEB_ARCH)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${ANEMOBUS_DEB_ARCH})
  set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/CrossPackages.cmake)
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

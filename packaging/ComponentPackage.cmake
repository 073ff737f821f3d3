# How Packaging.cmake turns one component's lists into its files and its
# Debian package: install rules, maintainer scripts, control fields.

# Paths are settled when the files are installed, not when the build is
# configured, so that `cmake --install --prefix X` and cpack (which installs
# with the prefix /usr) each get units that run the binaries they installed
# and read the files they installed: /etc under /usr, as Debian has it,
# X/etc under any other prefix. A unit may use @CMAKE_INSTALL_FULL_BINDIR@,
# @CMAKE_INSTALL_FULL_SBINDIR@, @ANEMOBUS_SYSCONF_DIR@ and
# @ANEMOBUS_DEFAULTS_DIR@.
string(CONFIGURE [[
  if(IS_ABSOLUTE "@CMAKE_INSTALL_BINDIR@")
    set(CMAKE_INSTALL_FULL_BINDIR "@CMAKE_INSTALL_BINDIR@")
  else()
    set(CMAKE_INSTALL_FULL_BINDIR "${CMAKE_INSTALL_PREFIX}/@CMAKE_INSTALL_BINDIR@")
  endif()
  if(IS_ABSOLUTE "@CMAKE_INSTALL_SBINDIR@")
    set(CMAKE_INSTALL_FULL_SBINDIR "@CMAKE_INSTALL_SBINDIR@")
  else()
    set(CMAKE_INSTALL_FULL_SBINDIR "${CMAKE_INSTALL_PREFIX}/@CMAKE_INSTALL_SBINDIR@")
  endif()
  if(CMAKE_INSTALL_PREFIX STREQUAL /usr)
    set(ANEMOBUS_SYSCONF_DIR /etc)
  else()
    set(ANEMOBUS_SYSCONF_DIR "${CMAKE_INSTALL_PREFIX}/etc")
  endif()
  set(ANEMOBUS_DEFAULTS_DIR "${ANEMOBUS_SYSCONF_DIR}/default")
]] anemobus_install_paths @ONLY)

# Debian wants manual pages and the changelog compressed, reproducibly (-n:
# no name or time stamp inside). Sets <out> to the compressed file, made once
# however many packages install it.
find_program(GZIP_PROGRAM gzip REQUIRED)
function(anemobus_gzip source out)
  get_filename_component(name ${source} NAME)
  set(compressed ${CMAKE_BINARY_DIR}/packaging/gz/${name}.gz)
  get_property(made GLOBAL PROPERTY anemobus_compressed)
  if(NOT compressed IN_LIST made)
    add_custom_command(OUTPUT ${compressed}
      COMMAND ${CMAKE_COMMAND} -E copy ${source} ${CMAKE_BINARY_DIR}/packaging/gz/${name}
      COMMAND ${GZIP_PROGRAM} -9nf ${CMAKE_BINARY_DIR}/packaging/gz/${name}
      DEPENDS ${source} VERBATIM)
    set_property(GLOBAL APPEND PROPERTY anemobus_compressed ${compressed})
  endif()
  set(${out} ${compressed} PARENT_SCOPE)
endfunction()

function(anemobus_package_name component out)
  string(TOUPPER ${component} C)
  if(ANEMOBUS_${C}_PACKAGE)
    set(${out} ${ANEMOBUS_${C}_PACKAGE} PARENT_SCOPE)
  else()
    set(${out} anemobus-${component} PARENT_SCOPE)
  endif()
endfunction()

# The programs, units, defaults files, manual pages, copyright, changelog,
# examples and lintian overrides of one component.
function(anemobus_package_files component)
  string(TOUPPER ${component} C)
  anemobus_package_name(${component} package)
  install(TARGETS ${ANEMOBUS_${C}_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
          COMPONENT ${component})
  foreach(unit IN LISTS ANEMOBUS_${C}_UNITS)
    set(configured ${CMAKE_BINARY_DIR}/packaging/${unit})
    install(CODE "${anemobus_install_paths}
      configure_file(\"${CMAKE_CURRENT_LIST_DIR}/${unit}\" \"${configured}\" @ONLY)
      file(INSTALL \"${configured}\" DESTINATION \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\")"
      COMPONENT ${component})
  endforeach()
  foreach(name IN LISTS ANEMOBUS_${C}_DEFAULTS)
    install(CODE "${anemobus_install_paths}
      file(INSTALL \"${CMAKE_CURRENT_LIST_DIR}/${name}.default\"
           DESTINATION \"\${ANEMOBUS_DEFAULTS_DIR}\" RENAME ${name})"
      COMPONENT ${component})
  endforeach()
  foreach(page IN LISTS ANEMOBUS_${C}_MAN_PAGES)
    string(REGEX MATCH "[0-9]$" section ${page})
    anemobus_gzip(${CMAKE_SOURCE_DIR}/docs/${page} compressed)
    install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section}
            COMPONENT ${component})
  endforeach()
  set(docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package})
  anemobus_gzip(${CMAKE_CURRENT_LIST_DIR}/changelog changelog)
  install(FILES ${changelog} ${CMAKE_CURRENT_LIST_DIR}/copyright DESTINATION ${docdir}
          COMPONENT ${component})
  if(ANEMOBUS_${C}_EXAMPLES)
    install(FILES ${ANEMOBUS_${C}_EXAMPLES} DESTINATION ${docdir}/examples
            COMPONENT ${component})
  endif()
  set(overrides ${CMAKE_CURRENT_LIST_DIR}/${package}.lintian-overrides)
  if(EXISTS ${overrides})
    install(FILES ${overrides} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
            RENAME ${package} COMPONENT ${component})
  endif()
endfunction()

# packaging/maintscripts/<name> with @UNITS@ filled in, appended to <out>.
function(anemobus_append_snippet out name units)
  file(READ ${CMAKE_CURRENT_LIST_DIR}/maintscripts/${name} text)
  list(JOIN units " " units)
  string(REPLACE "@UNITS@" "${units}" text "${text}")
  set(${out} "${${out}}${text}" PARENT_SCOPE)
endfunction()

# The handling of a package's units in one maintainer script, as debhelper
# writes it for a package: empty when it has none.
function(anemobus_systemd_snippet component script out)
  string(TOUPPER ${component} C)
  set(units ${ANEMOBUS_${C}_UNITS})
  set(snippet "")
  if(units AND script STREQUAL postinst)
    set(enabled ${units})
    set(started ${units})
    list(REMOVE_ITEM enabled ${ANEMOBUS_${C}_NO_ENABLE})
    list(REMOVE_ITEM started ${ANEMOBUS_${C}_NO_START})
    if(enabled)
      anemobus_append_snippet(snippet postinst-enable "${enabled}")
    endif()
    if(ANEMOBUS_${C}_NO_ENABLE)
      anemobus_append_snippet(snippet postinst-no-enable "${ANEMOBUS_${C}_NO_ENABLE}")
    endif()
    anemobus_append_snippet(snippet postinst-reload "")
    if(started)
      anemobus_append_snippet(snippet postinst-restart "${started}")
    endif()
  elseif(units AND script STREQUAL prerm)
    anemobus_append_snippet(snippet prerm-stop "${units}")
  elseif(units AND script STREQUAL postrm)
    anemobus_append_snippet(snippet postrm-forget "${units}")
  endif()
  string(STRIP "${snippet}" snippet)
  set(${out} "${snippet}" PARENT_SCOPE)
endfunction()

# Writes the package's control files (maintainer scripts, debconf files,
# conffiles) under the build tree and sets <out> to them.
function(anemobus_control_files component out)
  string(TOUPPER ${component} C)
  anemobus_package_name(${component} package)
  set(dir ${CMAKE_BINARY_DIR}/packaging/${package})
  file(MAKE_DIRECTORY ${dir})
  set(files)
  foreach(script postinst prerm postrm)
    set(own ${CMAKE_CURRENT_LIST_DIR}/${package}.${script})
    anemobus_systemd_snippet(${component} ${script} snippet)
    if(EXISTS ${own})
      set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${own})
      file(READ ${own} text)
      if(snippet AND NOT text MATCHES "\n#SYSTEMD#\n")
        message(FATAL_ERROR "${own} has units to handle but no #SYSTEMD# line")
      endif()
    elseif(snippet)
      file(READ ${CMAKE_CURRENT_LIST_DIR}/maintscripts/skeleton text)
    else()
      continue()
    endif()
    string(REPLACE "#SYSTEMD#" "${snippet}" text "${text}")
    file(WRITE ${dir}/${script} "${text}")
    file(CHMOD ${dir}/${script} FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
         GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    list(APPEND files ${dir}/${script})
  endforeach()
  foreach(name config templates)
    set(own ${CMAKE_CURRENT_LIST_DIR}/${package}.${name})
    if(EXISTS ${own})
      configure_file(${own} ${dir}/${name} COPYONLY USE_SOURCE_PERMISSIONS)
      list(APPEND files ${dir}/${name})
    endif()
  endforeach()
  if(ANEMOBUS_${C}_DEFAULTS)
    list(TRANSFORM ANEMOBUS_${C}_DEFAULTS PREPEND /etc/default/ OUTPUT_VARIABLE conffiles)
    list(JOIN conffiles "\n" conffiles)
    file(WRITE ${dir}/conffiles "${conffiles}\n")
    list(APPEND files ${dir}/conffiles)
  endif()
  set(${out} ${files} PARENT_SCOPE)
endfunction()

# The package's control fields for CPack.
function(anemobus_package_metadata component)
  string(TOUPPER ${component} C)
  anemobus_package_name(${component} package)
  set(depends ${ANEMOBUS_${C}_DEPENDS})
  if(ANEMOBUS_${C}_UNITS)
    # deb-systemd-helper and deb-systemd-invoke, DPKG_ROOT-aware.
    list(APPEND depends "init-system-helpers (>= 1.52)")
  endif()
  if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/${package}.templates)
    list(APPEND depends "debconf (>= 0.5) | debconf-2.0")
  endif()
  list(JOIN depends ", " depends)
  anemobus_control_files(${component} control)
  set(prefix CPACK_DEBIAN_${C})
  set(${prefix}_PACKAGE_NAME ${package} PARENT_SCOPE)
  set(${prefix}_DESCRIPTION
      "${ANEMOBUS_${C}_SUMMARY}\n${ANEMOBUS_${C}_DESCRIPTION}" PARENT_SCOPE)
  set(${prefix}_PACKAGE_DEPENDS "${depends}" PARENT_SCOPE)
  set(${prefix}_PACKAGE_RECOMMENDS "${ANEMOBUS_${C}_RECOMMENDS}" PARENT_SCOPE)
  set(${prefix}_PACKAGE_SUGGESTS "${ANEMOBUS_${C}_SUGGESTS}" PARENT_SCOPE)
  set(${prefix}_PACKAGE_CONTROL_EXTRA "${control}" PARENT_SCOPE)
  if(NOT package STREQUAL anemobus)
    set(${prefix}_PACKAGE_BREAKS "anemobus (<< ${ANEMOBUS_SPLIT_VERSION})" PARENT_SCOPE)
    set(${prefix}_PACKAGE_REPLACES "anemobus (<< ${ANEMOBUS_SPLIT_VERSION})" PARENT_SCOPE)
  endif()
endfunction()

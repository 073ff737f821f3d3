# `cpack -G DEB` in a build directory makes a Debian package of the three
# programs, the systemd unit and its defaults file.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/anemobus.service
        DESTINATION lib/systemd/system)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/anemobus.default
        DESTINATION /etc/default RENAME anemobus)
install(FILES ${CMAKE_SOURCE_DIR}/docs/anemobus.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 OPTIONAL)

set(CPACK_PACKAGE_NAME anemobus)
set(CPACK_PACKAGE_CONTACT "anemobus developers <anemobus@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Relays a weather station's readings to an Ivy software bus")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/conffiles)
include(CPack)

# anemobus-web: its unit, its defaults file and its manual page.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/anemobus-web.service
        DESTINATION lib/systemd/system)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/anemobus-web.default
        DESTINATION /etc/default RENAME anemobus-web)
install(FILES ${CMAKE_SOURCE_DIR}/docs/anemobus-web.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

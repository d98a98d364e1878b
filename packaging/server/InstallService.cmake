# Run by `cmake --install` (and by CPack) for the server component: writes the unit and the start
# wrapper for the prefix installed to and installs them with the service's settings. Under /usr
# the settings go to /etc, elsewhere to PREFIX/etc (as GNUInstallDirs places them).
set(_prefix "${CMAKE_INSTALL_PREFIX}")
if(_prefix STREQUAL "/usr")
  set(_etc "/etc")
else()
  set(_etc "${_prefix}/etc")
endif()
set(VORPANE_CONFIG_DIR "${_etc}/vorpane-server")
set(VORPANE_LIBEXEC_DIR "${_prefix}/${VORPANE_LIBEXECDIR}/vorpane-server")
set(VORPANE_BIN_DIR "${_prefix}/${VORPANE_BINDIR}")

configure_file("${VORPANE_SERVICE_SOURCE_DIR}/vorpane-server.service.in"
               "${VORPANE_SERVICE_WORK_DIR}/vorpane-server.service" @ONLY)
configure_file("${VORPANE_SERVICE_SOURCE_DIR}/start.in" "${VORPANE_SERVICE_WORK_DIR}/start" @ONLY)

file(INSTALL DESTINATION "${_prefix}/lib/systemd/system" TYPE FILE
     FILES "${VORPANE_SERVICE_WORK_DIR}/vorpane-server.service")
file(INSTALL DESTINATION "${VORPANE_LIBEXEC_DIR}" TYPE PROGRAM
     FILES "${VORPANE_SERVICE_WORK_DIR}/start")
file(INSTALL DESTINATION "${VORPANE_CONFIG_DIR}" TYPE FILE
     FILES "${VORPANE_SERVICE_SOURCE_DIR}/vorpane-server.conf")

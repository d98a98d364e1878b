# Debian packages from the install rules: `cpack -G DEB` in the build folder (or scripts/package)
# makes vorpane_<version>_<arch>.deb (the desktop component) and vorpane-server_<version>_<arch>.deb.
set(CPACK_PACKAGE_NAME vorpane)
set(CPACK_PACKAGE_VENDOR "The Vorpane developers")
set(CPACK_PACKAGE_CONTACT "Vorpane Developers <maintainers@vorpane.app>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_SOURCE_GENERATOR "")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL desktop)
if(TARGET vorpane-server)
  list(APPEND CPACK_COMPONENTS_ALL server)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SOURCE vorpane)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# The window needs Qt's SQLite driver (the batch journal) and its SVG plugins (the icons), which
# no binary links; the key goes to a Secret Service provider when one runs.
set(CPACK_DEBIAN_DESKTOP_PACKAGE_NAME vorpane)
set(CPACK_DEBIAN_DESKTOP_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_DESKTOP_PACKAGE_DEPENDS "libqt6sql6-sqlite, libqt6svg6")
set(CPACK_DEBIAN_DESKTOP_PACKAGE_RECOMMENDS "gnome-keyring")
set(CPACK_DEBIAN_DESKTOP_PACKAGE_SUGGESTS "vorpane-server, qt6-wayland")
set(CPACK_DEBIAN_DESKTOP_DESCRIPTION
    "Remove photo backgrounds in batches
Vorpane sends PNG and JPEG photos to a background-removal web service and saves
the cut-outs, with a transparent or coloured background, as PNG or JPG. Queue
images by opening them or dropping files and folders on the window; every image
shows its state as the batch runs, failures are retried, nothing is paid twice,
and the remaining credits stay in view.

vorpane-cli runs the same batch without a window, for scripts and servers.")

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME vorpane-server)
set(CPACK_DEBIAN_SERVER_PACKAGE_SECTION net)
# The model script's helpers are Python (python3-onnx is only needed to fetch a model).
if(VORPANE_SERVER_DEPENDS)
  set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS "${VORPANE_SERVER_DEPENDS}")
endif()
set(CPACK_DEBIAN_SERVER_PACKAGE_RECOMMENDS "python3-onnx, npm")
set(CPACK_DEBIAN_SERVER_PACKAGE_SUGGESTS "nginx, postgresql")
set(CPACK_DEBIAN_SERVER_DESCRIPTION
    "Background-removal service for Vorpane
vorpane-server speaks the protocol of the Vorpane service: it keeps API keys
and their credits in a database, removes the backgrounds of the photos it is
sent and keeps the results until they are fetched, so Vorpane and vorpane-cli
can work on one machine or for a team behind an HTTPS proxy.

The package brings a systemd unit, vorpane-server.service (not enabled by
default), configured in /etc/vorpane-server/ and keeping its data in
/var/lib/vorpane-server.")
set(_server_control ${CMAKE_CURRENT_BINARY_DIR}/server-control)
file(MAKE_DIRECTORY ${_server_control})
file(WRITE ${_server_control}/conffiles "/etc/vorpane-server/vorpane-server.conf\n")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
    "${_server_control}/conffiles;${CMAKE_CURRENT_SOURCE_DIR}/server/postinst;${CMAKE_CURRENT_SOURCE_DIR}/server/prerm;${CMAKE_CURRENT_SOURCE_DIR}/server/postrm")

include(CPack)

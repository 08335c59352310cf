# Installation of the program and the Debian package built from it with CPack
# (`make package`, or `cmake --build <build> --target package`).
# Included from the top level after src/, so the program's target is known here.

if(TARGET vornix)
  install(TARGETS vornix RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vornix)
set(CPACK_PACKAGE_VENDOR "The Vornix developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
    "Vornix lives in the system tray and, while switched on, writes a small timestamp file to
every watched external drive at a fixed interval, flushed to the disk, so the drive does not
spin down. It shows each drive's state, keeps an activity log (also in the systemd journal),
notifies on unexpected disconnects and keeps the computer from idle sleep while it works.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_CONTACT "The Vornix developers <developers@vornix.io>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

# vornix_1.0_amd64.deb
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The dependencies are the packages of the libraries the program links, from dpkg-shlibdeps
# (dpkg-dev). Qt's X11 platform plugin, loaded at run time, ships in libqt6gui6 itself.
# qt6-wayland is deliberately not recommended: a native Wayland window cannot be placed next to
# the tray icon, while the X11 plugin under XWayland can.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git" "/build[^/]*/" "/\\\\.cache/")

include(CPack)

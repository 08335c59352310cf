# Installation of the program and the Debian package built from it with CPack
# (`make package`, which builds with Debian's hardening flags; or `cmake --build <build>
# --target package`, with the flags the build folder was configured with).
# Included from the top level after src/, so the program's target is known here.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vornix)
set(CPACK_PACKAGE_VENDOR "The Vornix developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
# Lines of at most 79 characters: dpkg indents each by one and Debian's limit is 80.
set(CPACK_PACKAGE_DESCRIPTION
    "Vornix lives in the system tray and, while switched on, writes a small
timestamp file to every watched external drive at a fixed interval, flushed
to the disk, so the drive does not spin down. It shows each drive's state,
keeps an activity log (also in the systemd journal), notifies on unexpected
disconnects and keeps the computer from idle sleep while it works.")
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

# What Debian wants beside the program, made at build time from the source tree (doc/ in the
# build folder): the manual page from its scdoc source, the changelog and the licence in
# Debian's machine-readable copyright format. Compressed with gzip -9n (no name or time stamp),
# as dpkg's tools do, so the same source gives the same bytes.
set(_doc ${CMAKE_BINARY_DIR}/doc)
set(_changelog ${PROJECT_SOURCE_DIR}/data/changelog)
file(MAKE_DIRECTORY ${_doc})
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_changelog}
                                                               ${PROJECT_SOURCE_DIR}/LICENSE)

# The changelog's newest entry is this release, signed by the package's maintainer; its date is
# the manual page's (unless the builder sets SOURCE_DATE_EPOCH).
file(STRINGS ${_changelog} _entry LIMIT_COUNT 1)
file(STRINGS ${_changelog} _trailer REGEX "^ -- " LIMIT_COUNT 1)
set(_signed " -- ${CPACK_PACKAGE_CONTACT}  ")
string(FIND "${_trailer}" "${_signed}" _at)
if(NOT _entry MATCHES "^vornix \\(${PROJECT_VERSION}\\) " OR NOT _at EQUAL 0)
  message(FATAL_ERROR "${_changelog}: the newest entry must be ${PROJECT_VERSION}, signed by "
                      "${CPACK_PACKAGE_CONTACT}")
endif()
set(_release_epoch $ENV{SOURCE_DATE_EPOCH})
if(NOT _release_epoch)
  string(LENGTH "${_signed}" _at)
  string(SUBSTRING "${_trailer}" ${_at} -1 _date)
  execute_process(COMMAND date -u -d "${_date}" +%s OUTPUT_VARIABLE _release_epoch
                  OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
endif()

# The licence text of LICENSE, indented as a copyright file's paragraphs are.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE _licence)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" _ "${_licence}")
set(VORNIX_COPYRIGHT "${CMAKE_MATCH_1}")
string(REGEX REPLACE "^.*\n(Permission)" "\\1" _licence "${_licence}")
string(STRIP "${_licence}" _licence)
string(REPLACE "\n\n" "\n.\n" _licence "${_licence}")
string(REPLACE "\n" "\n " VORNIX_LICENSE_TEXT " ${_licence}")
configure_file(${PROJECT_SOURCE_DIR}/data/copyright.in ${_doc}/copyright @ONLY)

find_program(VORNIX_SCDOC scdoc REQUIRED)
configure_file(${PROJECT_SOURCE_DIR}/data/vornix.1.scd ${_doc}/vornix.1.scd @ONLY)
add_custom_command(
  OUTPUT ${_doc}/vornix.1.gz
  COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${_release_epoch} sh -c
          "exec \"$0\" < vornix.1.scd > vornix.1" ${VORNIX_SCDOC}
  COMMAND gzip -9nf vornix.1
  DEPENDS ${_doc}/vornix.1.scd
  WORKING_DIRECTORY ${_doc}
  VERBATIM)
add_custom_command(
  OUTPUT ${_doc}/changelog.gz
  COMMAND ${CMAKE_COMMAND} -E copy ${_changelog} changelog
  COMMAND gzip -9nf changelog
  DEPENDS ${_changelog}
  WORKING_DIRECTORY ${_doc}
  VERBATIM)
add_custom_target(vornix_doc ALL DEPENDS ${_doc}/vornix.1.gz ${_doc}/changelog.gz)

install(FILES ${_doc}/copyright ${_doc}/changelog.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/vornix)
if(TARGET vornix)
  install(TARGETS vornix RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${_doc}/vornix.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES data/vornix.bash-completion RENAME vornix
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
endif()

set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git" "/build[^/]*/" "/\\\\.cache/")

include(CPack)

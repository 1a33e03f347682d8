# A Debian package of both programs, the icon and the desktop entry:
#   cmake --build build --target package   (or: cd build && cpack -G DEB)
# Dependencies are Debian's runtime packages, found by dpkg-shlibdeps from the binaries.

include(GNUInstallDirs)

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "larkfield-mail-porter")
set(CPACK_PACKAGE_VENDOR "Larkfield")
set(CPACK_PACKAGE_CONTACT "Larkfield Mail Porter maintainers <maintainers@larkfield.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Convert .eml and .emlx message files into an Outlook PST file")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
# The extended description: every line after the summary, a space before each.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION_SUMMARY}
 Larkfield Mail Porter turns .eml and .emlx message files into one new Outlook
 personal folders file (PST), mirroring the folders they lie in. It writes the
 PST itself, so it needs neither Outlook nor Windows.
 .
 The package holds the window, larkfield-porter, and the command-line converter,
 larkfield-convert, for scripts and servers.")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://larkfield.example/mail-porter")
# The window needs a Qt platform plugin (xcb, wayland, offscreen), which no binary links.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_SECTION "mail")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
# Debian's documents: the copyright in machine-readable form, the changelog and the
# manual pages, compressed as Debian wants them (gzip -9n: no name, no time stamp).
set(_doc ${CMAKE_INSTALL_DATADIR}/doc/${CPACK_PACKAGE_NAME})
set(_pkg ${PROJECT_SOURCE_DIR}/packaging)
set(_gz)
foreach(f changelog larkfield-convert.1 larkfield-porter.1)
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/packaging/${f}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/packaging
    COMMAND gzip -9n -c ${_pkg}/${f} > ${PROJECT_BINARY_DIR}/packaging/${f}.gz
    DEPENDS ${_pkg}/${f})
  list(APPEND _gz ${PROJECT_BINARY_DIR}/packaging/${f}.gz)
endforeach()
add_custom_target(larkfield_package_documents ALL DEPENDS ${_gz})
install(FILES ${_pkg}/copyright ${PROJECT_BINARY_DIR}/packaging/changelog.gz DESTINATION ${_doc})
install(FILES ${PROJECT_BINARY_DIR}/packaging/larkfield-convert.1.gz
              ${PROJECT_BINARY_DIR}/packaging/larkfield-porter.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${_pkg}/example.larkfield.MailPorter.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
include(CPack)

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
set(CPACK_DEBIAN_PACKAGE_SECTION "mail")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
include(CPack)

# SPDX-License-Identifier: MIT
# A Debian package of what `cmake --install` puts in place:
#     cpack -G DEB          (in the build directory)
# Library dependencies are found by dpkg-shlibdeps (package dpkg-dev) from the
# installed program; what it cannot see is declared here.

set(PHONE_HOME_MAINTAINER "RS232 Phone Home maintainers <rs232-phone-home@localhost>"
    CACHE STRING "Maintainer field of the Debian package (\"Name <e-mail>\")")
# The Debian revision of this upstream version; the top entry of
# packaging/changelog.in must carry the same <version>-<revision>.
set(PHONE_HOME_DEB_REVISION 1)

# What Debian wants in /usr/share/doc/<package>: the licence in its
# machine-readable form and the changelog, gzip'ed without a time stamp.
set(PHONE_HOME_DEB_DOCS ${CMAKE_BINARY_DIR}/debian-docs)
configure_file(packaging/changelog.in ${PHONE_HOME_DEB_DOCS}/changelog.Debian @ONLY)
add_custom_command(OUTPUT ${PHONE_HOME_DEB_DOCS}/changelog.Debian.gz
    COMMAND gzip -9nkf ${PHONE_HOME_DEB_DOCS}/changelog.Debian
    DEPENDS ${PHONE_HOME_DEB_DOCS}/changelog.Debian
    VERBATIM)
add_custom_target(debian_changelog ALL DEPENDS ${PHONE_HOME_DEB_DOCS}/changelog.Debian.gz)
install(FILES packaging/copyright ${PHONE_HOME_DEB_DOCS}/changelog.Debian.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES packaging/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME ${PROJECT_NAME})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
# Lines of at most 80 characters: Debian's tools show them unwrapped.
set(CPACK_PACKAGE_DESCRIPTION
    "Watches the input lines CTS, DSR and DCD of a serial port and drives the\n"
    "outputs DTR and RTS. Each input can also be wired to a sensor contact\n"
    "(smoke, flooding, intrusion): a line going high raises an alarm and can run\n"
    "a notification script that sends an e-mail or a text message. Example\n"
    "scripts are in /usr/share/doc/rs232-phone-home/examples/notifications.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_PACKAGE_CONTACT "${PHONE_HOME_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Release packages carry no debug sections.
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${PHONE_HOME_DEB_REVISION})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${PHONE_HOME_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Not seen by dpkg-shlibdeps: the window's fixed layout is measured for
# Arial-compatible faces, and other fonts clip its texts. (Its pictures are
# drawn from SVG when it is built: it needs no SVG library.)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-liberation2")

# `cmake --build build --target package_source`: the checkout without build trees and Git data.
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/" "/out/")

# The service's system user comes from its sysusers.d file at install time.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_SOURCE_DIR}/packaging/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)

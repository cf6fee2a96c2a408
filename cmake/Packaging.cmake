# A Debian package of what `cmake --install` puts in place:
#     cpack -G DEB          (in the build directory)
# Library dependencies are found by dpkg-shlibdeps (package dpkg-dev) from the
# installed program; what it cannot see is declared here.

set(PHONE_HOME_MAINTAINER "RS232 Phone Home maintainers <rs232-phone-home@localhost>"
    CACHE STRING "Maintainer field of the Debian package (\"Name <e-mail>\")")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
    "Watches the input lines CTS, DSR and DCD of a serial port and drives DTR and RTS.\n"
    "Each input can also be wired to a sensor contact (smoke, flooding, intrusion):\n"
    "a line going high raises an alarm and can run a notification script that\n"
    "sends an e-mail or a text message. Example scripts are in\n"
    "/usr/share/doc/rs232-phone-home/examples/notifications.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_PACKAGE_CONTACT "${PHONE_HOME_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Release packages carry no debug sections.
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${PHONE_HOME_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The SVG image plugin (window icon, connector picture) is loaded at run time,
# so no library link names it.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6svg6")
# The window asks for Arial-compatible faces; without them Qt falls back to
# whatever sans-serif there is.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-liberation2")

# `cmake --build build --target package_source`: the checkout without build trees and Git data.
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/" "/out/")

include(CPack)

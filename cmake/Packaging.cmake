# The Debian package of the three programs with their menu entry and icon:
# `cpack` in a build directory (scripts/package.sh makes a Release one).
# Only the Runtime component goes in, so that an install() rule elsewhere in
# the tree (tests, libraries, headers) can never slip into the package.

set(QUARL_PACKAGE_MAINTAINER "Z500 Manager Developers <z500-manager@example.org>"
    CACHE STRING "Maintainer field of the Debian package")

# CPack writes these settings into CPackConfig.cmake; verbatim, it escapes
# them there, so that a regular expression's backslash (the source ignore
# list below) reaches cpack as written instead of as a bad escape.
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME z500-manager)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Varnex)
set(CPACK_PACKAGE_CONTACT "${QUARL_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "manager for the Varnex Z500 GNSS static receiver")
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};Runtime;/")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}/package")

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QUARL_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The architecture is dpkg's own (CPack asks `dpkg --print-architecture`).
# Libraries the programs link come from dpkg-shlibdeps; what they only load
# at run time is named here: the SVG plugins for the window's icon, and a
# font with the window's Chinese texts.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6svg6, fonts-wqy-microhei | fonts-noto-cjk")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The summary above is the synopsis line; this is the long text under it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"z500-manager is a desktop tool for field engineers who survey with the
Varnex Z500 GNSS static receiver. Over a serial cable it opens the link,
reads and sets the static recording parameters (sampling interval and
cut-off angle), lists, deletes or formats the observation files in the
receiver's flash, and loads new firmware.

The package also holds z500ctl, the same features from the command line,
and z500-sim, a simulated receiver on a pseudo-terminal for trying the
tools without one.")

# `package_source`: the source tree as a tarball, without the build folders.
set(CPACK_SOURCE_GENERATOR TXZ)
set(CPACK_SOURCE_PACKAGE_FILE_NAME z500-manager-${PROJECT_VERSION})
set(CPACK_SOURCE_IGNORE_FILES "/\\.git(/|$)" "/\\.cache/" "/build[^/]*/")

include(CPack)

# SPDX-License-Identifier: MIT
# Installation and packaging. `cmake --install` lays the tool out as a Unix
# command: the binary in bin/ and its manual page in share/man/man1/. `cpack`
# in the build directory turns the same layout, under /usr, into a Debian
# package, with a boot service besides. The simulated unit and the tests are
# never installed.
include(GNUInstallDirs)

# Debian policy wants 0755 directories whatever the umask of the build.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE
    GROUP_READ GROUP_EXECUTE
    WORLD_READ WORLD_EXECUTE)

set(UNITFIND_MAINTAINER "unitfind developers <unitfind@example.org>")
set(UNITFIND_SUMMARY
    "find an empeg unit on the network and record it in a hosts file")
# Debian's changelog date is set once per release, not taken from the clock,
# so that two builds of one release give the same package.
set(UNITFIND_RELEASE_DATE "Tue, 08 Dec 2026 00:00:00 +0000")

install(TARGETS unitfind RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The manual page and the changelog are installed compressed, as Debian
# policy asks; -n leaves the time stamp out so that the package is
# reproducible. Without gzip both are installed as they are. The changelog
# is in Debian's format and named as a native package's (the version has no
# Debian revision), which also suits an install outside a package.
find_program(UNITFIND_GZIP gzip)
set(unitfind_docs ${CMAKE_CURRENT_BINARY_DIR}/docs)
file(MAKE_DIRECTORY ${unitfind_docs})

# The licence in Debian's machine-readable copyright format: the MIT
# licence, which that format calls Expat, with its paragraphs indented and
# blank lines written as a lone full stop.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE unitfind_license)
string(REGEX REPLACE "^.*\n\n(Permission)" "\\1" unitfind_license_text "${unitfind_license}")
string(STRIP "${unitfind_license_text}" unitfind_license_text)
string(REPLACE "\n\n" "\n.\n" unitfind_license_text "${unitfind_license_text}")
string(REPLACE "\n" "\n " unitfind_license_text "${unitfind_license_text}")
file(WRITE ${unitfind_docs}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: unitfind
Upstream-Contact: ${UNITFIND_MAINTAINER}

Files: *
Copyright: 2026 unitfind developers
License: Expat

License: Expat
 ${unitfind_license_text}
")
file(WRITE ${unitfind_docs}/changelog
"unitfind (${PROJECT_VERSION}) unstable; urgency=medium

  * First release: finds empeg units on the local network, reports them and
    records the accepted one in a hosts file.

 -- ${UNITFIND_MAINTAINER}  ${UNITFIND_RELEASE_DATE}
")

# The manual page names the version, so it is made from its template.
set(man_source ${unitfind_docs}/unitfind.1)
configure_file(${PROJECT_SOURCE_DIR}/man/unitfind.1.in ${man_source} @ONLY)
if(UNITFIND_GZIP)
  set(man_page ${unitfind_docs}/unitfind.1.gz)
  set(changelog ${unitfind_docs}/changelog.gz)
  add_custom_command(OUTPUT ${man_page}
    COMMAND ${UNITFIND_GZIP} -9nkf ${man_source}
    DEPENDS ${man_source}
    VERBATIM)
  add_custom_command(OUTPUT ${changelog}
    COMMAND ${UNITFIND_GZIP} -9nkf ${unitfind_docs}/changelog
    DEPENDS ${unitfind_docs}/changelog
    VERBATIM)
  add_custom_target(compressed_docs ALL DEPENDS ${man_page} ${changelog})
else()
  set(man_page ${man_source})
  set(changelog ${unitfind_docs}/changelog)
endif()
install(FILES ${man_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${unitfind_docs}/copyright ${changelog}
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The boot service, its timer and its options file are the Debian package's
# alone: they name the package's paths (/usr/bin/unitfind,
# /etc/default/unitfind), and a plain install writes nothing outside its
# prefix. So `cmake --install` leaves their component out, and cpack below
# takes it in. Units go to /lib/systemd/system on Debian 12.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/unitfind.service
              ${PROJECT_SOURCE_DIR}/packaging/unitfind.timer
        DESTINATION /lib/systemd/system COMPONENT service EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/unitfind.default
        DESTINATION /etc/default RENAME unitfind COMPONENT service EXCLUDE_FROM_ALL)
# The options file is the user's to edit: an upgrade must not overwrite it.
file(WRITE ${unitfind_docs}/conffiles "/etc/default/unitfind\n")

set(CPACK_GENERATOR DEB)
# One package with both components: the one of every install() that names
# none, and the service's.
set(CPACK_COMPONENTS_ALL Unspecified service)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_PACKAGE_NAME unitfind)
set(CPACK_PACKAGE_VENDOR "unitfind developers")
set(CPACK_PACKAGE_CONTACT "${UNITFIND_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${UNITFIND_SUMMARY}")
set(CPACK_PACKAGE_DESCRIPTION
"unitfind broadcasts a probe on UDP port 8300 and reports the serial number,
name and address of every empeg unit that answers, until it accepts the
first one or the one with a given serial number.

When asked, it records the accepted unit's address in a hosts file such as
/etc/hosts under a host name of your choosing, replacing the entry that an
earlier run wrote for the same unit and keeping the previous file as a
backup. The updated file keeps its owner, mode and extended attributes.

The package brings a systemd service, unitfind.service, that does so once at
boot with the options set in /etc/default/unitfind, and a timer,
unitfind.timer, that runs it every few minutes, for a unit that joins the
network later. Neither is enabled, and neither does anything until the
options are set.")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${UNITFIND_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${unitfind_docs}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)

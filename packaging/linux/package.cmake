# The Debian package: the binary, its unit, the copyright file and the changelog, with maintainer
# scripts that treat the unit as Debian's conventions for services do. Built from the deb
# preset's tree, which installs into /usr and puts the unit in /lib/systemd/system:
#   cmake --preset deb && cmake --build --preset deb && cpack --preset deb
set(debian ${CMAKE_CURRENT_LIST_DIR}/debian)

# The changelog's latest entry names the version being packaged.
file(STRINGS ${debian}/changelog latest LIMIT_COUNT 1)
if(NOT latest MATCHES "^ostrevane \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "${debian}/changelog does not begin with version ${PROJECT_VERSION}")
endif()
include(GNUInstallDirs)
set(doc ${CMAKE_INSTALL_DATAROOTDIR}/doc/ostrevane)
install(FILES ${debian}/copyright DESTINATION ${doc})
# Debian keeps a native package's changelog compressed, as gzip -9n makes it: without the file's
# name and time, so that every build gives the same bytes.
add_custom_command(OUTPUT changelog.gz
    COMMAND gzip -9nc ${debian}/changelog > changelog.gz
    DEPENDS ${debian}/changelog)
add_custom_target(changelog ALL DEPENDS changelog.gz)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz DESTINATION ${doc})
add_custom_command(OUTPUT ostrevane.8.gz
    COMMAND gzip -9nc ${debian}/ostrevane.8 > ostrevane.8.gz
    DEPENDS ${debian}/ostrevane.8)
add_custom_target(manual ALL DEPENDS ostrevane.8.gz)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/ostrevane.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)

# CPack's DEB generator puts every file under /usr, while the unit's ExecStart and its folder follow
# this tree's install prefix. Only where the two agree does the package hold the program its unit
# starts, in a folder where systemd and Debian's helpers look for the unit. Anywhere else (the host
# tree installs into /usr/local) cpack and the package target stop, saying where the package is
# made, rather than build one whose service fails at every start.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
if(NOT CMAKE_INSTALL_PREFIX STREQUAL CPACK_PACKAGING_INSTALL_PREFIX OR
   NOT OSTREVANE_SYSTEMD_UNIT_DIR MATCHES "^(/usr)?/lib/systemd/system$")
    file(WRITE ${CMAKE_BINARY_DIR}/CPackConfig.cmake
         "message(FATAL_ERROR \"This tree installs the program into ${CMAKE_INSTALL_PREFIX} and the "
         "unit into ${OSTREVANE_SYSTEMD_UNIT_DIR}, but a Debian package puts the program under /usr: "
         "its unit would name a program it does not hold. Make the package with scripts/build-deb "
         "(the deb preset).\")\n")
    return()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ostrevane)
set(CPACK_PACKAGE_CONTACT "Ostrevane developers <ostrevane@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "keeps cl.exe compilers from crowding out a saturated machine")
set(CPACK_PACKAGE_DESCRIPTION "A systemd service for build machines that run MSVC's cl.exe under Wine.
Every 5 seconds it samples the total processor utilization; at 95 percent
or more it sets every process whose executable begins with cl.exe to nice
10 and lets it run on every processor, and logs each sample and each
change to the journal.")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Dependencies come from dpkg-shlibdeps, never by hand.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${debian}/postinst ${debian}/prerm ${debian}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Folders made on the way to the files are 0755, whatever umask the build ran under.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
    GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)

# What `cmake --install` puts on a host, and the Debian package that CPack builds of it.
#
# With the prefix /usr (the package's):
#   /usr/bin/nightcomet-server, nightcomet-scores (and nightcomet-sim when it is built)
#   /usr/share/nightcomet-server/svrcfg.ini          sample configuration to copy into a game
#   /usr/share/doc/nightcomet-server/README.md       the README, with how to run games as services
#   /usr/lib/systemd/system/nightcomet-server.service, nightcomet-server@.service
#   /usr/lib/sysusers.d/nightcomet-server.conf       the nightcomet user
# The games themselves live in /var/lib/nightcomet, made by the package or by systemd.
#
# The sample is not under /usr/share/doc: Debian allows that folder to be left out of an
# installation, and the sample is what an operator copies to make a game. The units go to
# /usr/lib/systemd/system, where Debian's own packages are moving them (on a merged-/usr system
# /lib/systemd/system is the same folder); NIGHTCOMET_SYSTEMD_UNIT_DIR changes it.
include(GNUInstallDirs)

set(NIGHTCOMET_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Where the systemd units are installed, relative to the install prefix")
set(NIGHTCOMET_SYSUSERS_DIR "lib/sysusers.d" CACHE STRING
    "Where the systemd-sysusers entry is installed, relative to the install prefix")

install(TARGETS nightcomet-server nightcomet-scores RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# nightcomet-sim (tools/sim) is installed when it is built. The check waits for the end of the
# top-level CMakeLists.txt, so it holds wherever tools/sim is added there.
function(NightcometInstallSim)
    if(TARGET nightcomet-sim)
        install(TARGETS nightcomet-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    endif()
endfunction()
cmake_language(DEFER CALL NightcometInstallSim)
install(FILES packaging/svrcfg.ini DESTINATION ${CMAKE_INSTALL_DATADIR}/nightcomet-server)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

if(NOT WIN32)
    # Both units share one [Service] block; the server's installed path goes into it.
    set(NIGHTCOMET_SERVER_PATH ${CMAKE_INSTALL_FULL_BINDIR}/nightcomet-server)
    set(NIGHTCOMET_DOC_DIR ${CMAKE_INSTALL_FULL_DOCDIR})
    file(READ packaging/service-common.in NIGHTCOMET_SERVICE_COMMON)
    string(CONFIGURE "${NIGHTCOMET_SERVICE_COMMON}" NIGHTCOMET_SERVICE_COMMON @ONLY)
    foreach(unit nightcomet-server.service nightcomet-server@.service)
        configure_file(packaging/${unit}.in ${CMAKE_BINARY_DIR}/packaging/${unit} @ONLY)
        install(FILES ${CMAKE_BINARY_DIR}/packaging/${unit}
            DESTINATION ${NIGHTCOMET_SYSTEMD_UNIT_DIR})
    endforeach()
    install(FILES packaging/nightcomet-server.sysusers DESTINATION ${NIGHTCOMET_SYSUSERS_DIR}
        RENAME nightcomet-server.conf)
endif()

# The Debian package: `cpack -G DEB` in a build folder configured with
# -DCMAKE_INSTALL_PREFIX=/usr (the units name the server by its installed path, so the package
# is laid out with the prefix the build was configured with).
set(CPACK_PACKAGE_NAME nightcomet-server)
set(CPACK_PACKAGE_VENDOR "Nightcomet")
set(CPACK_PACKAGE_CONTACT "Nightcomet server developers <nightcomet-server@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Dedicated server for the Nightcomet II combat game")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "A UDP relay for up to eight players: it hands out player slots, passes every state packet "
    "on to all players, announces kills, drops silent players and keeps a kill/death table. "
    "Includes systemd units for one or several games per host and nightcomet-scores, which "
    "prints a game's scores as a leaderboard, a table, CSV or JSON.")
# A Debian package on Linux; elsewhere (the Windows cross build) a plain archive of the programs.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    set(CPACK_GENERATOR DEB)
else()
    set(CPACK_GENERATOR ZIP)
endif()
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION games)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
find_program(NIGHTCOMET_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(NIGHTCOMET_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
    message(STATUS "dpkg-shlibdeps not found: the package names its libraries without versions")
    string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libc6, libstdc++6, libgcc-s1")
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian/postinst
    ${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian/prerm
    ${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

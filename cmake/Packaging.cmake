# Installation and the Debian package.
#
# Everything the program loads at run time goes into one program folder,
# ${DWNFRW_INSTALL_PROGRAM_DIR} (lib/dwnfrw): the two executables, the
# component libraries and the language text modules, which the program looks
# up next to its own executable. Each binary carries the RPATH $ORIGIN, so the
# folder works wherever it is installed. bin/ holds relative symbolic links
# into it; applicationDirPath() follows them back to the program folder.

# Targets whose own folders have no install rule.
install(TARGETS dwnfrw RUNTIME DESTINATION ${DWNFRW_INSTALL_PROGRAM_DIR})
install(TARGETS nxpicboot LIBRARY DESTINATION ${DWNFRW_INSTALL_PROGRAM_DIR})
# The virtual board and the sample package, so an installed copy can show a
# whole update without a board at hand.
install(TARGETS vboard RUNTIME DESTINATION ${DWNFRW_INSTALL_PROGRAM_DIR})
# The chip bench: a simulated PIC18F452 running a firmware image, and the gpsim
# library it loads (also loadable from gpsim's own command line).
install(TARGETS chipboard RUNTIME DESTINATION ${DWNFRW_INSTALL_PROGRAM_DIR})
install(TARGETS chipbench LIBRARY DESTINATION ${DWNFRW_INSTALL_PROGRAM_DIR})
install(FILES ${DWNFRW_SAMPLE_DIR}/sample.fwz ${DWNFRW_SAMPLE_DIR}/sample.hex
    DESTINATION ${CMAKE_INSTALL_DATADIR}/dwnfrw/sample)

# The links are made once in the build tree and installed as links.
file(RELATIVE_PATH dwnfrw_bin_to_program
    /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${DWNFRW_INSTALL_PROGRAM_DIR})
set(dwnfrw_link_dir ${CMAKE_BINARY_DIR}/install-links)
file(MAKE_DIRECTORY ${dwnfrw_link_dir})
foreach(link_and_target IN ITEMS "dwnfrw:dwnfrw" "dwnfrw-batch:dwnfrw-batch"
                                  "dwnfrw-vboard:vboard" "dwnfrw-chipboard:chipboard")
    string(REPLACE ":" ";" pair ${link_and_target})
    list(GET pair 0 link_name)
    list(GET pair 1 program)
    file(CREATE_LINK ${dwnfrw_bin_to_program}/${program} ${dwnfrw_link_dir}/${link_name}
        SYMBOLIC)
    install(FILES ${dwnfrw_link_dir}/${link_name} DESTINATION ${CMAKE_INSTALL_BINDIR})
endforeach()

install(FILES ${CMAKE_SOURCE_DIR}/packaging/dwnfrw.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/dwnfrw.svg
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# --- Debian package: cd build && cpack -G DEB ---
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME dwnfrw)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "dwnfrw")
set(CPACK_PACKAGE_CONTACT "dwnfrw maintainers <dwnfrw@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware updater for PIC18F452 controller boards")
# One string: CPack writes its lines as the control file's continuation lines.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "dwnfrw writes a firmware package (.fwz) into a PIC18F452 controller board over a\n"
    "serial port through the board's resident bootloader: identification, loader entry,\n"
    "erase, write and verify. It has a window (dwnfrw) and a command-line front end for\n"
    "production lines (dwnfrw-batch), and ships a virtual board (dwnfrw-vboard) with a\n"
    "sample package to try an update without hardware, and the board's own firmware\n"
    "(bootloader and demo application) to program a new board once.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The window needs a platform plugin, which no library dependency pulls in.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
find_program(DWNFRW_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(DWNFRW_DPKG_SHLIBDEPS)
    # The rest is read off the binaries; our own libraries are found in the
    # build's program folder and need no package.
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${DWNFRW_PROGRAM_DIR})
else()
    string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libqt6core6 (>= 6.4), libqt6gui6 (>= 6.4), "
        "libqt6widgets6 (>= 6.4), libqt6serialport6 (>= 6.4), libzip4, libc6, libstdc++6")
endif()
include(CPack)

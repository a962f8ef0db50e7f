# Installation into the GNU directories, with a menu entry and its icons on
# Linux desktops. Keep this after every target: it installs the programs that
# this platform builds.
include(GNUInstallDirs)
set(ZERAK_PROGRAMS)
foreach(program zerak zerak-cli zerak-sim)
    if(TARGET ${program})
        list(APPEND ZERAK_PROGRAMS ${program})
    endif()
endforeach()
install(TARGETS ${ZERAK_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(UNIX AND NOT APPLE)
    install(FILES ${PROJECT_SOURCE_DIR}/resources/zerak.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    foreach(size 16 32 48)
        install(FILES ${PROJECT_SOURCE_DIR}/resources/zerak-${size}.png RENAME zerak.png
                DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
    endforeach()
    if(ZERAK_TESTS)
        add_test(NAME install_tree COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${PROJECT_BINARY_DIR}
                 "-DPROGRAMS=${ZERAK_PROGRAMS}" -P ${PROJECT_SOURCE_DIR}/tests/install_tree.cmake)
    endif()
endif()

# cpack builds a .deb on Linux; dpkg-shlibdeps (dpkg-dev) works out its
# dependencies from the programs' libraries.
set(CPACK_PACKAGE_NAME zerak)
set(CPACK_PACKAGE_VENDOR Zerak)
set(CPACK_PACKAGE_CONTACT "Zerak developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Reads wavelength and optical power from a handheld optical power meter over USB")
set(CPACK_STRIP_FILES ON)
if(CMAKE_SYSTEM_NAME STREQUAL Linux)
    set(CPACK_GENERATOR DEB)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)

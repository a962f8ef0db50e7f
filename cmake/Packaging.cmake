# SPDX-License-Identifier: MIT
# Installation into the GNU directories, with a menu entry, its icons,
# AppStream metainfo, man pages and the package's documents on Linux
# desktops, and cpack's .deb. Include this after every target: it installs
# the programs that this platform builds.
include(GNUInstallDirs)
set(ZERAK_PROGRAMS)
foreach(program zerak zerak-cli zerak-sim)
    if(TARGET ${program})
        list(APPEND ZERAK_PROGRAMS ${program})
    endif()
endforeach()
install(TARGETS ${ZERAK_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
set(ZERAK_MAINTAINER "Zerak developers <zerak@example.org>")
# An installed stripped program (cmake --install --strip, cpack) also loses
# the compilers' .comment section, as Debian's own packages do.
if(CMAKE_STRIP AND UNIX AND NOT APPLE)
    install(CODE "
        if(CMAKE_INSTALL_DO_STRIP)
            foreach(program ${ZERAK_PROGRAMS})
                execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
                                \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/\${program}\"
                                RESULT_VARIABLE result)
                if(NOT result EQUAL 0)
                    message(FATAL_ERROR \"${CMAKE_STRIP} could not strip \${program}: \${result}\")
                endif()
            endforeach()
        endif()")
endif()

if(UNIX AND NOT APPLE)
    set(resources ${PROJECT_SOURCE_DIR}/resources)
    install(FILES ${resources}/zerak.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    foreach(size 16 32 48 64 128 256)
        install(FILES ${resources}/zerak-${size}.png RENAME zerak.png
                DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
    endforeach()
    install(FILES ${resources}/zerak.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
    # The table of loss budgets zerak-cli has built in, as the pattern of
    # a table of one's own (job new --budget-file).
    install(FILES ${resources}/loss-budgets.json DESTINATION ${CMAKE_INSTALL_DATADIR}/zerak)
    # Named after the component's id, as AppStream tools look it up.
    install(FILES ${resources}/zerak.metainfo.xml RENAME org.example.zerak.metainfo.xml
            DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

    # The package's documents; the directory is the package's name, not the
    # project's (GNUInstallDirs' DOCDIR would be doc/Zerak).
    set(docdir ${CMAKE_INSTALL_DATADIR}/doc/zerak)
    set(generated ${PROJECT_BINARY_DIR}/packaging)
    file(MAKE_DIRECTORY ${generated})
    find_program(ZERAK_GZIP gzip)
    find_program(ZERAK_HELP2MAN help2man)
    if(NOT ZERAK_GZIP)
        message(FATAL_ERROR "gzip is needed to compress the man pages and the changelog; install gzip")
    endif()
    # -n: no name or time stamp in the header, so a rebuild gives the same bytes.
    set(gzip ${ZERAK_GZIP} -9nf)
    set(documents)

    # Debian's changelog, made from CHANGELOG.md.
    add_custom_command(OUTPUT ${generated}/changelog.gz
        COMMAND ${CMAKE_COMMAND} -DINPUT=${PROJECT_SOURCE_DIR}/CHANGELOG.md -DOUTPUT=${generated}/changelog
                -DPACKAGE=zerak "-DMAINTAINER=${ZERAK_MAINTAINER}" -P ${PROJECT_SOURCE_DIR}/cmake/DebianChangelog.cmake
        COMMAND ${gzip} ${generated}/changelog
        DEPENDS ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${PROJECT_SOURCE_DIR}/cmake/DebianChangelog.cmake
        COMMENT "Debian changelog from CHANGELOG.md" VERBATIM)
    list(APPEND documents ${generated}/changelog.gz)
    install(FILES ${generated}/changelog.gz ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION ${docdir})

    # Man pages from each program's --help and man/PROGRAM.h2m. The programs
    # run at build time, so not when cross-compiling.
    if(ZERAK_HELP2MAN AND NOT CMAKE_CROSSCOMPILING)
        foreach(program ${ZERAK_PROGRAMS})
            set(page ${generated}/${program}.1)
            set(include ${PROJECT_SOURCE_DIR}/man/${program}.h2m)
            add_custom_command(OUTPUT ${page}.gz
                COMMAND ${ZERAK_HELP2MAN} --no-info --locale=C.UTF-8 --section=1
                        "--version-string=${program} ${PROJECT_VERSION}" --include=${include} --output=${page}
                        "sh '${PROJECT_SOURCE_DIR}/man/help-sections.sh' '$<TARGET_FILE:${program}>'"
                COMMAND ${gzip} ${page}
                DEPENDS ${program} ${include} ${PROJECT_SOURCE_DIR}/man/help-sections.sh
                COMMENT "Man page of ${program}" VERBATIM)
            list(APPEND documents ${page}.gz)
            install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
        endforeach()
        set(ZERAK_MAN_PAGES ON)
    else()
        message(STATUS "No man pages: help2man was not found (install help2man) or the build cross-compiles")
        set(ZERAK_MAN_PAGES OFF)
    endif()
    add_custom_target(zerak-documents ALL DEPENDS ${documents})

    if(ZERAK_TESTS)
        add_test(NAME install_tree COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${PROJECT_BINARY_DIR}
                 "-DPROGRAMS=${ZERAK_PROGRAMS}" -DMAN_PAGES=${ZERAK_MAN_PAGES}
                 -P ${PROJECT_SOURCE_DIR}/tests/install_tree.cmake)
    endif()
endif()

# cpack builds a .deb on Linux; dpkg-shlibdeps (dpkg-dev) works out its
# dependencies from the programs' libraries.
set(CPACK_PACKAGE_NAME zerak)
set(CPACK_PACKAGE_VENDOR "Zerak developers")
set(CPACK_PACKAGE_CONTACT "${ZERAK_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ZERAK_MAINTAINER}")
set(CPACK_PACKAGE_HOMEPAGE_URL https://example.org/zerak)
# The summary line, then the extended description: lines within 80 columns,
# as Debian shows them as they are.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "reader for a handheld optical power meter on a USB serial port")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Zerak shows the wavelength and the optical power that a handheld optical\n"
    "power meter measures, over the meter's USB virtual serial port, in a window\n"
    "(in Russian). zerak-cli finds the meter and logs its readings as text or CSV,\n"
    "with statistics, limits and a chart, and tests whole cables fibre by fibre\n"
    "against a loss budget, into a job file and a report. zerak-sim plays the\n"
    "meter on a pseudo-terminal, so that both can be tried without one.")
set(CPACK_STRIP_FILES ON)
if(CMAKE_SYSTEM_NAME STREQUAL Linux)
    set(CPACK_GENERATOR DEB)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt loads its SQLite driver as a plugin, which no library of the programs
# names: dpkg-shlibdeps cannot see that jobs need it.
if(QT_MAJOR EQUAL 6)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS libqt6sql6-sqlite)
else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS libqt5sql5-sqlite)
endif()
include(CPack)

# SPDX-License-Identifier: MIT
# Installs the build into a scratch prefix and checks what a desktop user
# meets: the programs, a valid menu entry that starts the installed program,
# its icon at each size the theme is asked for, the software centre's
# metainfo, the table of loss budgets, and a man page for each program that
# renders without a warning.
set(prefix ${BUILD_DIR}/install-tree)
file(REMOVE_RECURSE ${prefix})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix}
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "cmake --install failed: ${result}")
endif()

foreach(program ${PROGRAMS})
    if(NOT EXISTS ${prefix}/bin/${program})
        message(FATAL_ERROR "bin/${program} is not installed")
    endif()
endforeach()

if(NOT EXISTS ${prefix}/share/zerak/loss-budgets.json)
    message(FATAL_ERROR "share/zerak/loss-budgets.json, the table of loss budgets, is not installed")
endif()

set(entry ${prefix}/share/applications/zerak.desktop)
execute_process(COMMAND desktop-file-validate ${entry} RESULT_VARIABLE result
                OUTPUT_VARIABLE complaints ERROR_VARIABLE complaints)
if(NOT result EQUAL 0 OR complaints)
    message(FATAL_ERROR "desktop-file-validate: ${result} ${complaints}")
endif()
file(STRINGS ${entry} exec REGEX "^Exec=")
file(STRINGS ${entry} icon REGEX "^Icon=")
if(NOT exec STREQUAL "Exec=zerak" OR NOT icon STREQUAL "Icon=zerak")
    message(FATAL_ERROR "the entry must start zerak with icon zerak: ${exec} ${icon}")
endif()

# A PNG's width and height are the two big-endian words after "IHDR".
set(header_16 0000001000000010)
set(header_32 0000002000000020)
set(header_48 0000003000000030)
set(header_64 0000004000000040)
set(header_128 0000008000000080)
set(header_256 0000010000000100)
foreach(size 16 32 48 64 128 256)
    set(png ${prefix}/share/icons/hicolor/${size}x${size}/apps/zerak.png)
    if(NOT EXISTS ${png})
        message(FATAL_ERROR "no ${size} px icon: ${png} is not installed")
    endif()
    file(READ ${png} header OFFSET 16 LIMIT 8 HEX)
    if(NOT header STREQUAL "${header_${size}}")
        message(FATAL_ERROR "${size}x${size}/apps/zerak.png is not ${size} px square (IHDR ${header}); "
                            "rerun resources/make-icons.sh")
    endif()
endforeach()
set(svg ${prefix}/share/icons/hicolor/scalable/apps/zerak.svg)
if(EXISTS ${svg})
    file(READ ${svg} svg LIMIT 400)
endif()
if(NOT svg MATCHES "<svg")
    message(FATAL_ERROR "no scalable icon: ${prefix}/share/icons/hicolor/scalable/apps/zerak.svg "
                        "is not installed or holds no <svg>")
endif()

set(metainfo ${prefix}/share/metainfo/org.example.zerak.metainfo.xml)
if(NOT EXISTS ${metainfo})
    message(FATAL_ERROR "${metainfo} is not installed")
endif()
find_program(APPSTREAMCLI appstreamcli)
if(APPSTREAMCLI)
    execute_process(COMMAND ${APPSTREAMCLI} validate --no-net --no-color ${metainfo}
                    RESULT_VARIABLE result OUTPUT_VARIABLE complaints ERROR_VARIABLE complaints)
    # Notes ("I:") are advice; warnings and errors are not.
    if(NOT result EQUAL 0 OR complaints MATCHES "(^|\n)[EW]: ")
        message(FATAL_ERROR "appstreamcli validate ${metainfo}: ${result}\n${complaints}")
    endif()
endif()

if(MAN_PAGES)
    find_program(MAN man)
    foreach(program ${PROGRAMS})
        set(page ${prefix}/share/man/man1/${program}.1.gz)
        if(NOT EXISTS ${page})
            message(FATAL_ERROR "no man page for ${program}: ${page} is not installed")
        endif()
        if(MAN)
            # --warnings: groff's complaints go to stderr; any is a fault of the page.
            execute_process(COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C.UTF-8 MANWIDTH=80
                                    ${MAN} --warnings -l ${page}
                            RESULT_VARIABLE result OUTPUT_VARIABLE text ERROR_VARIABLE complaints)
            if(NOT result EQUAL 0 OR complaints OR NOT text MATCHES "EXIT STATUS.*SEE ALSO")
                message(FATAL_ERROR "man -l ${page}: ${result} ${complaints}; fix man/${program}.h2m "
                                    "or the program's --help (the page needs EXIT STATUS and SEE ALSO)")
            endif()
        endif()
    endforeach()
endif()

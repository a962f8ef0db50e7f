# Installs the build into a scratch prefix and checks what a desktop user
# meets: the programs, a valid menu entry that starts the installed program,
# and its icon at each size the theme is asked for.
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
foreach(size 16 32 48)
    set(png ${prefix}/share/icons/hicolor/${size}x${size}/apps/zerak.png)
    if(NOT EXISTS ${png})
        message(FATAL_ERROR "no ${size} px icon")
    endif()
    file(READ ${png} header OFFSET 16 LIMIT 8 HEX)
    if(NOT header STREQUAL "${header_${size}}")
        message(FATAL_ERROR "${size}x${size}/apps/zerak.png is not ${size} px square: ${header}")
    endif()
endforeach()

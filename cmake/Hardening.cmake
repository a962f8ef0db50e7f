# SPDX-License-Identifier: MIT
# Hardening for optimised builds, as Debian builds its packages: fortified
# libc calls (they need optimisation), stack protector, position-independent
# executables, a read-only GOT resolved at start-up, and where the compiler
# has them, stack clash and control-flow protection. Sanitizer and fuzzer
# builds keep their own instrumentation instead.
if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang" AND NOT ZERAK_SANITIZE AND NOT ZERAK_FUZZ)
    include(CheckPIESupported)
    check_pie_supported(LANGUAGES CXX)
    set(CMAKE_POSITION_INDEPENDENT_CODE ON)
    # $<CONFIG:a,b> needs CMake 3.19.
    set(zerak_optimised "$<OR:$<CONFIG:Release>,$<CONFIG:RelWithDebInfo>,$<CONFIG:MinSizeRel>>")
    add_compile_options("$<${zerak_optimised}:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>"
                        "$<${zerak_optimised}:-fstack-protector-strong>")
    include(CheckCXXCompilerFlag)
    foreach(flag -fstack-clash-protection -fcf-protection)
        string(MAKE_C_IDENTIFIER "ZERAK_HAS${flag}" supported)
        check_cxx_compiler_flag(${flag} ${supported})
        if(${supported})
            add_compile_options("$<${zerak_optimised}:${flag}>")
        endif()
    endforeach()
    if(NOT APPLE AND NOT WIN32)
        add_link_options("$<${zerak_optimised}:LINKER:-z,relro,-z,now>")
    endif()
endif()

# SPDX-License-Identifier: MIT
# Hardening for optimised builds, as Debian builds its packages: fortified
# libc calls (they need optimisation), stack protector, position-independent
# executables, and a read-only GOT resolved at start-up. Sanitizer and fuzzer
# builds keep their own instrumentation instead.
if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang" AND NOT ZERAK_SANITIZE AND NOT ZERAK_FUZZ)
    include(CheckPIESupported)
    check_pie_supported(LANGUAGES CXX)
    set(CMAKE_POSITION_INDEPENDENT_CODE ON)
    set(zerak_optimised "$<CONFIG:Release,RelWithDebInfo,MinSizeRel>")
    add_compile_options("$<${zerak_optimised}:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>"
                        "$<${zerak_optimised}:-fstack-protector-strong>")
    if(NOT APPLE AND NOT WIN32)
        add_link_options("$<${zerak_optimised}:LINKER:-z,relro,-z,now>")
    endif()
endif()

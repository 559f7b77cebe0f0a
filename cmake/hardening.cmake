# Debian's hardening flags, for every optimised build: a stack protector, fortified libc calls,
# stack clash probes, control-flow protection on x86-64, format checks, a position-independent
# executable, and relocations read-only and bound at start. Each is added only where this compiler
# and linker accept it. A debug build goes without the compile and link flags (_FORTIFY_SOURCE needs
# optimisation, and the test presets' sanitizers check more than these flags do), but not without
# PIE: CMake sets that for the whole build, every configuration alike.

include(CheckCXXCompilerFlag)
include(CheckLinkerFlag)
include(CheckPIESupported)

option(MORVASK_HARDENING "Build optimised builds with Debian's hardening flags" ON)

add_library(morvask_hardening INTERFACE)

# -Werror=format-security is checked and given together with -Wformat, without which it is void.
set(hardening_compile_flags -fstack-protector-strong -fstack-clash-protection
                            "-Wformat -Werror=format-security")
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
    list(APPEND hardening_compile_flags -fcf-protection)
endif()
set(hardening_link_flags "LINKER:-z,relro" "LINKER:-z,now")

if(MORVASK_HARDENING)
    set(optimised $<NOT:$<CONFIG:Debug>>)
    foreach(flag IN LISTS hardening_compile_flags)
        string(MAKE_C_IDENTIFIER "MORVASK_CXX_HAS${flag}" supported)
        check_cxx_compiler_flag(${flag} ${supported})
        if(${supported})
            target_compile_options(morvask_hardening INTERFACE "$<${optimised}:SHELL:${flag}>")
        endif()
    endforeach()
    # Undefined first: some compilers define a level of their own.
    target_compile_options(morvask_hardening INTERFACE
                           $<${optimised}:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>)
    foreach(flag IN LISTS hardening_link_flags)
        string(MAKE_C_IDENTIFIER "MORVASK_LINKER_HAS${flag}" supported)
        check_linker_flag(CXX ${flag} ${supported})
        if(${supported})
            target_link_options(morvask_hardening INTERFACE $<${optimised}:${flag}>)
        endif()
    endforeach()
    check_pie_supported(LANGUAGES CXX)
    set(CMAKE_POSITION_INDEPENDENT_CODE ON)
endif()

# 32-bit x86 Linux, built by this machine's g++ with -m32 (Debian's g++-12-multilib, and the i386
# kernel headers of linux-libc-dev:i386). A 64-bit x86 kernel with IA32 emulation runs the programs
# natively; one without it (its loader then fails with "Exec format error") runs what the build
# runs (test discovery, the tests themselves) under Debian's qemu-user.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)

# A compiler and its mandatory argument: -m32 reaches every compile and link, whatever flags a
# preset sets.
set(CMAKE_CXX_COMPILER g++ -m32)
# Debian's name for the target's libraries, which the compiler does not tell CMake under -m32.
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

execute_process(COMMAND /lib/ld-linux.so.2 --version RESULT_VARIABLE morvask_i386_loader
                OUTPUT_QUIET ERROR_QUIET)
if(NOT morvask_i386_loader EQUAL 0)
    # The loader and the libraries are where the kernel would take them, so qemu needs no -L.
    set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386)
    # AddressSanitizer cannot run under qemu-i386: at exit LeakSanitizer stops the world through a
    # clone() that qemu-user refuses, then waits for ever, and any signal handler's own locals are
    # reported as a bad store (a CHECK in the report's stack walk fails). The emulated programs keep
    # UndefinedBehaviorSanitizer only; natively, a preset's sanitizers stay as they are. Appended to
    # the flags in the cache (the preset's), which it overrides, in this configuration only.
    set(CMAKE_CXX_FLAGS "$CACHE{CMAKE_CXX_FLAGS} -fno-sanitize=address")
endif()

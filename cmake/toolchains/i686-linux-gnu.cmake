# 32-bit x86 Linux, built by this machine's g++ with -m32 (Debian's g++-12-multilib, and the i386
# kernel headers of linux-libc-dev:i386). A 64-bit x86 kernel runs the programs natively.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)

# A compiler and its mandatory argument: -m32 reaches every compile and link, whatever flags a
# preset sets.
set(CMAKE_CXX_COMPILER g++ -m32)
# Debian's name for the target's libraries, which the compiler does not tell CMake under -m32.
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

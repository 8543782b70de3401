# 32-bit x86 Linux with the host's gcc in multilib mode (packages gcc-multilib, g++-multilib).
#
# Used by the `x86` preset to run the modules' code with 32-bit addresses and the SSE2 floating
# point of the Windows target, but natively, without Wine. SSE2 arithmetic (not the x87 stack)
# is forced so that float and double results round exactly as on the Windows build.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)

set(SE_I386_FLAGS "-m32 -msse2 -mfpmath=sse")
set(CMAKE_C_FLAGS_INIT "${SE_I386_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${SE_I386_FLAGS}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")

# Debian's multiarch directory for i386 libraries.
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

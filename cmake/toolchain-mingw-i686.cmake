# 32-bit Windows with Debian's mingw-w64 i686 cross compilers (package g++-mingw-w64-i686).
#
# The POSIX threading variant (`-posix`) is the one whose libstdc++ has std::thread and
# std::mutex. Everything is linked with -static, so libgcc, libstdc++ and winpthread are inside
# each DLL and EXE: a plug-in imports only KERNEL32.dll and msvcrt.dll, and the test programs run
# under Wine without any extra DLL next to them.
#
# -mstackrealign: the host may call `main`, the dispatcher and the process entry with a stack
# aligned to 4 bytes only; realigning in every function that needs it keeps SSE spills safe.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(SE_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${SE_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${SE_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${SE_MINGW_PREFIX}-windres)

set(SE_MINGW_FLAGS "-msse2 -mfpmath=sse -mstackrealign")
set(CMAKE_C_FLAGS_INIT "${SE_MINGW_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${SE_MINGW_FLAGS}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Headers and libraries come from the cross sysroot only; programs from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${SE_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest runs the Windows test programs through Wine. WINEDEBUG=-all is set per test (see
# SeTesting.cmake) and in the win32 test preset.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(SE_WINE_PROGRAM NAMES wine wine-stable)
  if(SE_WINE_PROGRAM)
    set(CMAKE_CROSSCOMPILING_EMULATOR "${SE_WINE_PROGRAM}")
  endif()
endif()

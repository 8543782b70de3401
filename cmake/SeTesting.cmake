# GoogleTest for every preset, and se_add_gtest().
#
# GoogleTest is built from the sources that Debian's libgtest-dev ships in /usr/src/googletest,
# with this build's own compiler and flags, so the x86 and win32 presets get an i386 and a
# Windows gtest of their own. Only `gtest` and `gtest_main` are built, and only when a test
# program links them.
#
# se_add_gtest(<name> SOURCES <files...> [LIBS <targets...>] [DEPENDS <targets...>])
#
#   Builds the test program <name>, linked with gtest_main and LIBS, and registers it as ONE ctest
#   test of the same name. The test cases are not discovered one by one: listing them would mean
#   running the program at build time, which on win32 means running Wine during the build.
#   DEPENDS names targets (typically plug-ins loaded at run time) that must be built first.
#
#   The program is compiled with
#     SE_PLUGIN_DIR       the folder of the built plug-ins      (${CMAKE_BINARY_DIR}/plugins)
#     SE_TEST_PLUGIN_DIR  the folder of test-only plug-ins      (${CMAKE_BINARY_DIR}/tests/plugins)
#     SE_PLUGIN_SUFFIX    ".so" or ".dll"
#   so that SE_PLUGIN_DIR "/<module>" SE_PLUGIN_SUFFIX is a path the program can load. On win32 the
#   folders are Unix paths of the build machine with the drive prefix "Z:", which is how Wine
#   shows the Unix root to a Windows program (LoadLibraryA("Z:/work/.../<module>.dll") works from
#   any current directory; a bare "/work/..." only while the current drive is Z:).
#
#   Each test has a TIMEOUT of SE_TEST_TIMEOUT seconds (default 300) and runs with
#   WINEDEBUG=-all, so Wine's own diagnostics do not bury the test's output.
include_guard(GLOBAL)

set(SE_TEST_TIMEOUT 300 CACHE STRING "Seconds after which ctest stops one test program")
set(SE_GOOGLETEST_DIR "/usr/src/googletest" CACHE PATH "GoogleTest sources (Debian libgtest-dev)")

if(NOT EXISTS "${SE_GOOGLETEST_DIR}/CMakeLists.txt")
  message(FATAL_ERROR "GoogleTest sources not found in ${SE_GOOGLETEST_DIR}. "
                      "Run scripts/install-deps.sh (package libgtest-dev).")
endif()

set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory("${SE_GOOGLETEST_DIR}" "${CMAKE_BINARY_DIR}/_deps/googletest" EXCLUDE_FROM_ALL)

if(WIN32)
  set(SE_TEST_PATH_PREFIX "Z:")
else()
  set(SE_TEST_PATH_PREFIX "")
endif()
set(SE_PLUGIN_SUFFIX "${CMAKE_SHARED_LIBRARY_SUFFIX}")

function(se_add_gtest name)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "" "SOURCES;LIBS;DEPENDS")
  if(ARG_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "se_add_gtest(${name}): unknown arguments ${ARG_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT ARG_SOURCES)
    message(FATAL_ERROR "se_add_gtest(${name}): SOURCES is required")
  endif()

  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} gtest_main)
  target_compile_definitions(${name} PRIVATE
    SE_PLUGIN_DIR="${SE_TEST_PATH_PREFIX}${CMAKE_BINARY_DIR}/plugins"
    SE_TEST_PLUGIN_DIR="${SE_TEST_PATH_PREFIX}${CMAKE_BINARY_DIR}/tests/plugins"
    SE_PLUGIN_SUFFIX="${SE_PLUGIN_SUFFIX}")
  if(ARG_DEPENDS)
    add_dependencies(${name} ${ARG_DEPENDS})
  endif()

  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES
    TIMEOUT ${SE_TEST_TIMEOUT}
    ENVIRONMENT "WINEDEBUG=-all;WINEDLLOVERRIDES=mscoree,mshtml=")
endfunction()

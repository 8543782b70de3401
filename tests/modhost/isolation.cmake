# modhost against libraries that crash, hang, output NaN, are of another kind or miss a
# dependency, and against command lines and input files of every wrong kind. Native only, like the
# other tests that run the built program and read its files with libsndfile.
if(CMAKE_CROSSCOMPILING OR CMAKE_SIZEOF_VOID_P EQUAL 4)
  return()
endif()
# A library that needs libse_gone.so, built where the loader will not look for it (no run path).
add_library(se_gone SHARED ${CMAKE_CURRENT_LIST_DIR}/missing_dependency.cpp)
target_compile_definitions(se_gone PRIVATE SE_GONE_ITSELF=1)
set_target_properties(se_gone PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/gone)
add_library(host_needs_gone SHARED ${CMAKE_CURRENT_LIST_DIR}/missing_dependency.cpp)
target_link_libraries(host_needs_gone PRIVATE se_gone)
set_target_properties(host_needs_gone PROPERTIES PREFIX "" SKIP_BUILD_RPATH ON
                      LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/plugins)

se_add_gtest(modhost_isolation_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/isolation_test.cpp
  LIBS modhost_lib
  DEPENDS modhost pelio tessavine host_needs_gone broken_module_crashes broken_module_hangs
          broken_module_crashes_in_open broken_module_crashes_in_properties
          broken_module_crashes_at_sample broken_module_hangs_in_open broken_module_outputs_nan broken_module_slow)
target_compile_definitions(modhost_isolation_test PRIVATE MODHOST_PATH="$<TARGET_FILE:modhost>"
                           SE_BROKEN_DIR="${CMAKE_BINARY_DIR}/tests/plugins")

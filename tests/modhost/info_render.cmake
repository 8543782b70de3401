# modhost info and render, end to end through the built program on the built plug-ins, with unit
# tests of the render command's input language. Native only: render needs libsndfile, and the
# test reads and writes WAV files with it.
if(NOT TARGET modhost OR CMAKE_CROSSCOMPILING OR CMAKE_SIZEOF_VOID_P EQUAL 4)
  return()
endif()
# libsndfile, another implementation, reads and writes the test files.
find_library(SE_TEST_SNDFILE sndfile REQUIRED)

se_add_gtest(modhost_info_render_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/info_render_test.cpp
  LIBS modhost_lib se_test_support ${SE_TEST_SNDFILE}
  DEPENDS modhost pelio tessavine frame_test_module host_no_entry_library host_raw_null_plugin
          host_raw_no_magic_plugin)
target_compile_definitions(modhost_info_render_test PRIVATE MODHOST_PATH="$<TARGET_FILE:modhost>")

# Where modhost's output goes (devices, pipes, links, folders) and the WAV/RF64 format, checked
# against sox. Native only: it makes devices and pipes in its folder and runs sox.
if(CMAKE_CROSSCOMPILING OR CMAKE_SIZEOF_VOID_P EQUAL 4)
  return()
endif()
se_add_gtest(modhost_output_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/output_test.cpp
  LIBS modhost_lib
  DEPENDS modhost pelio tessavine)
target_compile_definitions(modhost_output_test PRIVATE MODHOST_PATH="$<TARGET_FILE:modhost>")
if(SE_SANITIZER)
  target_compile_definitions(modhost_output_test PRIVATE MODHOST_TEST_SHORT=1)
endif()

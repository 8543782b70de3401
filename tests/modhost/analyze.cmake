# The analysis and the plot on synthetic signals of known content, and `modhost analyze` run as a
# user runs it, on WAV files that the test writes. Only where modhost has its audio-file commands.
if(NOT TARGET modhost OR CMAKE_CROSSCOMPILING OR CMAKE_SIZEOF_VOID_P EQUAL 4)
  return()
endif()
# libsndfile, another implementation, reads and writes the test files.
find_library(SE_TEST_SNDFILE sndfile REQUIRED)
se_add_gtest(analyze_test SOURCES analyze_test.cpp LIBS modhost_lib ${SE_TEST_SNDFILE} DEPENDS modhost)
target_compile_definitions(analyze_test PRIVATE MODHOST_PATH="$<TARGET_FILE:modhost>")

# The analysis and the plot on synthetic signals of known content, and `modhost analyze` run as a
# user runs it, on WAV files that the test writes. Only where modhost has its audio-file commands.
if(NOT TARGET modhost OR CMAKE_CROSSCOMPILING OR CMAKE_SIZEOF_VOID_P EQUAL 4)
  return()
endif()
# libsndfile, another implementation, reads and writes the test files.
find_library(SE_TEST_SNDFILE sndfile REQUIRED)
se_add_gtest(analyze_test SOURCES analyze_test.cpp LIBS modhost_lib ${SE_TEST_SNDFILE} DEPENDS modhost)
target_compile_definitions(analyze_test PRIVATE MODHOST_PATH="$<TARGET_FILE:modhost>")
# Signals made by sox with the truth known, beside aubio's pitch tracker (pitch_test.cpp); and
# `modhost diff` on files written here (diff_test.cpp).
se_add_gtest(pitch_test SOURCES pitch_test.cpp LIBS modhost_lib DEPENDS modhost)
target_compile_definitions(pitch_test PRIVATE MODHOST_PATH="$<TARGET_FILE:modhost>")
se_add_gtest(diff_test SOURCES diff_test.cpp LIBS modhost_lib ${SE_TEST_SNDFILE} DEPENDS modhost)
target_compile_definitions(diff_test PRIVATE MODHOST_PATH="$<TARGET_FILE:modhost>")

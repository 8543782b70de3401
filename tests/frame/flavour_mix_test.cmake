# Builds each library of tests/frame/CMakeLists.txt that mixes the frame's flavours and fails
# unless the linker refuses every one, with the message that says why: a library of one flavour
# that can be linked with the other's frame could disagree silently on the frame's classes. The
# same recipe without a mix must link, so that the refusals are the mix's doing.
#   cmake -DBUILD_DIR=<build tree> -P flavour_mix_test.cmake
if(NOT BUILD_DIR)
  message(FATAL_ERROR "usage: cmake -DBUILD_DIR=<build tree> -P flavour_mix_test.cmake")
endif()

# Each library and what the linker must say about it (GNU ld, for ELF and for PE alike); no
# message: it must link.
set(expectations
  "frame_mix_none|"
  "frame_mix_other_frame|undefined reference to .checked_frame::SEModule_base"
  "frame_mix_entry_only|undefined reference to .checked_frame::kFrameFlavourTag"
  "frame_mix_both_frames|multiple definition of ._?se_frame_flavour_in_binary")

set(failures 0)
foreach(expectation IN LISTS expectations)
  string(REPLACE "|" ";" fields "${expectation}")
  list(GET fields 0 target)
  list(LENGTH fields field_count)
  set(pattern "")
  if(field_count GREATER 1)
    list(GET fields 1 pattern)
  endif()
  execute_process(
    COMMAND "${CMAKE_COMMAND}" --build "${BUILD_DIR}" --target "${target}"
    RESULT_VARIABLE status
    OUTPUT_VARIABLE output
    ERROR_VARIABLE output)
  if(pattern STREQUAL "")
    if(NOT status EQUAL 0)
      message(SEND_ERROR "${target}: the recipe without a mix does not link:\n${output}")
      math(EXPR failures "${failures} + 1")
    endif()
  elseif(status EQUAL 0)
    message(SEND_ERROR "${target}: linked, although its files were built for other flavours")
    math(EXPR failures "${failures} + 1")
  elseif(NOT output MATCHES "${pattern}")
    message(SEND_ERROR "${target}: failed, but not with \"${pattern}\":\n${output}")
    math(EXPR failures "${failures} + 1")
  else()
    message(STATUS "${target}: refused as it should be (${CMAKE_MATCH_0})")
  endif()
endforeach()
if(failures GREATER 0)
  message(FATAL_ERROR "${failures} of the libraries did not link or fail as they should")
endif()

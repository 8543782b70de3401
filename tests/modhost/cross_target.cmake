# The native modhost hosting the i386 and Windows builds, and every build's render of both
# modules, byte-identical (cross_target_test.sh). Registered in the win32 build, the last of the
# three that scripts/test.sh builds, so that all three exist when it runs.
if(NOT WIN32)
  return()
endif()
add_test(NAME modhost_cross_target
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/cross_target_test.sh ${CMAKE_BINARY_DIR}/..)
set_tests_properties(modhost_cross_target PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 600)

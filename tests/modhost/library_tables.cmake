# modhost's ELF/PE reader against objdump and nm, and its table of allowed imports against the
# export test, on the built libraries of every target (library_tables_test.cpp). Built natively
# and run there on the targets built so far; the win32 build, the last of the three that
# scripts/test.sh builds, runs the same program again when all three exist.
if(NOT CMAKE_CROSSCOMPILING AND NOT CMAKE_SIZEOF_VOID_P EQUAL 4)
  se_add_gtest(modhost_library_tables_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/library_tables_test.cpp
    LIBS modhost_lib
    DEPENDS modhost)
  target_compile_definitions(modhost_library_tables_test PRIVATE
    MODHOST_PATH="$<TARGET_FILE:modhost>" SE_BUILD_ROOT="${CMAKE_BINARY_DIR}/.."
    SE_EXPORT_CHECK_SCRIPT="${PROJECT_SOURCE_DIR}/tests/exports/check_exports.sh")
elseif(WIN32)
  set(native_program "${CMAKE_BINARY_DIR}/../native/tests/modhost/modhost_library_tables_test")
  add_test(NAME modhost_library_tables_all_targets
    COMMAND bash -c "if [ -x \"$0\" ]; then exec \"$0\"; fi; echo \"skipped: no $0\"; \
[ \"\${SE_REQUIRE_ALL_TARGETS:-0}\" = 1 ] && exit 1; exit 77" "${native_program}")
  set_tests_properties(modhost_library_tables_all_targets PROPERTIES SKIP_RETURN_CODE 77
    TIMEOUT 600 ENVIRONMENT "SE_LIBRARY_TABLES_ALL_TARGETS=1")
endif()

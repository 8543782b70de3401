# modhost validate: the broken module in one library per fault, and the test that runs the
# validator on those, on the frame's test module and on every registered module. Built for native
# and win32 (there the test and modhost.exe run under Wine).
#
# The broken libraries are not se_add_plugin modules: some must export more than `main`, or not
# `main` at all, and se_add_plugin would register an export check that they fail on purpose. They
# get the same build otherwise: hidden visibility, the lean frame, the export table written by a
# version script (Linux) or a .def file (Windows) naming exactly the exports the fault wants.
set(broken_module_dir ${CMAKE_BINARY_DIR}/tests/plugins)
set(broken_module_faults
  writes_past_span writes_input crashes hangs wrong_magic null_record no_main extra_export
  events_at_block_start shared_state sticky_nan ignores_resume calls_host_deferred
  bad_truth_values unterminated_name bad_requests crashes_in_open crashes_in_properties
  crashes_at_sample hangs_in_open outputs_nan slow allocates locks writes_stderr
  slow_on_denormals crashes_on_burst)

set(broken_modules)
foreach(fault IN LISTS broken_module_faults)
  set(name broken_module_${fault})
  add_library(${name} SHARED ${CMAKE_CURRENT_LIST_DIR}/broken_module.cpp)
  target_link_libraries(${name} PRIVATE se_frame_lean)
  string(TOUPPER "${fault}" fault_macro)
  target_compile_definitions(${name} PRIVATE BROKEN_FAULT_${fault_macro}=1)
  set_target_properties(${name} PROPERTIES
    PREFIX ""
    LIBRARY_OUTPUT_DIRECTORY ${broken_module_dir}
    RUNTIME_OUTPUT_DIRECTORY ${broken_module_dir}
    ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)

  if(fault STREQUAL "no_main")
    set(elf_exports "broken_not_main;")
    set(pe_exports "    broken_not_main\n")
  elseif(fault STREQUAL "extra_export")
    set(elf_exports "main; broken_extra_export;")
    set(pe_exports "    main=se_plugin_main\n    broken_extra_export\n")
  else()
    set(elf_exports "main;")
    set(pe_exports "    main=se_plugin_main\n")
  endif()
  if(WIN32)
    set(def_file ${CMAKE_CURRENT_BINARY_DIR}/${name}.def)
    file(CONFIGURE OUTPUT ${def_file} CONTENT "LIBRARY ${name}.dll\nEXPORTS\n${pe_exports}")
    target_sources(${name} PRIVATE ${def_file})
  else()
    set(map_file ${CMAKE_CURRENT_BINARY_DIR}/${name}.map)
    file(CONFIGURE OUTPUT ${map_file} CONTENT "{\n  global: ${elf_exports}\n  local: *;\n};\n")
    target_link_options(${name} PRIVATE "LINKER:--version-script=${map_file}"
                                        "LINKER:--no-undefined")
  endif()
  list(APPEND broken_modules ${name})
endforeach()

se_add_gtest(modhost_validate_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/validate_test.cpp ${CMAKE_CURRENT_LIST_DIR}/validate_scripts_test.cpp
  LIBS modhost_lib se_test_support
  DEPENDS modhost ${broken_modules} frame_test_module)
target_compile_definitions(modhost_validate_test PRIVATE
  MODHOST_PATH="${SE_TEST_PATH_PREFIX}$<TARGET_FILE:modhost>")

# modhost scan and fuzz, and fuzz cases read and written directly.
se_add_gtest(modhost_scan_fuzz_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/scan_fuzz_test.cpp
  LIBS modhost_lib
  DEPENDS modhost ${broken_modules} frame_test_module tessavine)
target_compile_definitions(modhost_scan_fuzz_test PRIVATE
  MODHOST_PATH="${SE_TEST_PATH_PREFIX}$<TARGET_FILE:modhost>")

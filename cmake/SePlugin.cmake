# se_add_plugin(<name> FLAVOUR <CHECKED|LEAN> SOURCES <files...> [OUTPUT_DIR <dir>])
#
# Builds one module library as the host loads it: a shared library named exactly <name>.so on
# Linux or <name>.dll on Windows (no "lib" prefix), linked with its own copy of the frame, that
# exports one symbol, `main`, and nothing else.
#
#   FLAVOUR     CHECKED links se_frame_checked (tests the host's preconditions),
#               LEAN links se_frame_lean.
#   SOURCES     the module's sources, one of which expands SE_PLUGIN_ENTRY (se_sdk/se_entry.h).
#   OUTPUT_DIR  where the library lands; default ${CMAKE_BINARY_DIR}/plugins. Test-only modules
#               use ${CMAKE_BINARY_DIR}/tests/plugins.
#
# How `main` becomes the one export:
#   Linux   everything is compiled with hidden visibility, the entry is declared with default
#           visibility under the assembler name `main`, and a version script makes every symbol
#           but `main` local. --no-undefined turns a missing frame function into a link error
#           instead of a load-time failure in the host.
#   Windows a module definition file `EXPORTS main=se_plugin_main` names the export. The frame
#           uses no dllexport, so the .def file is the whole export table. On i686 the linker
#           adds cdecl's leading underscore to the internal name itself (_se_plugin_main), and
#           the exported name stays the undecorated `main`.
#
# Every module gets a ctest test <name>_exports that checks the export table and, on Windows,
# that the DLL imports nothing but KERNEL32.dll and msvcrt.dll.
include_guard(GLOBAL)

set(SE_PLUGIN_VERSION_SCRIPT "${CMAKE_CURRENT_LIST_DIR}/se_plugin.map")
set(SE_EXPORT_CHECK_SCRIPT "${PROJECT_SOURCE_DIR}/tests/exports/check_exports.sh")

function(se_add_plugin name)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "FLAVOUR;OUTPUT_DIR" "SOURCES")
  if(ARG_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "se_add_plugin(${name}): unknown arguments ${ARG_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT ARG_SOURCES)
    message(FATAL_ERROR "se_add_plugin(${name}): SOURCES is required")
  endif()
  if(ARG_FLAVOUR STREQUAL "CHECKED")
    set(frame se_frame_checked)
  elseif(ARG_FLAVOUR STREQUAL "LEAN")
    set(frame se_frame_lean)
  else()
    message(FATAL_ERROR "se_add_plugin(${name}): FLAVOUR must be CHECKED or LEAN")
  endif()
  if(ARG_OUTPUT_DIR)
    set(output_dir "${ARG_OUTPUT_DIR}")
  else()
    set(output_dir "${CMAKE_BINARY_DIR}/plugins")
  endif()

  add_library(${name} SHARED ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${frame})
  # A .so is a LIBRARY output, a .dll a RUNTIME output (its import library is an ARCHIVE output
  # and stays out of the plug-in folder).
  set_target_properties(${name} PROPERTIES
    PREFIX ""
    OUTPUT_NAME "${name}"
    LIBRARY_OUTPUT_DIRECTORY "${output_dir}"
    RUNTIME_OUTPUT_DIRECTORY "${output_dir}"
    ARCHIVE_OUTPUT_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}"
    CXX_VISIBILITY_PRESET hidden
    C_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)

  if(WIN32)
    set(def_file "${CMAKE_CURRENT_BINARY_DIR}/${name}.def")
    file(CONFIGURE OUTPUT "${def_file}"
      CONTENT "LIBRARY ${name}.dll\nEXPORTS\n    main=se_plugin_main\n")
    target_sources(${name} PRIVATE "${def_file}")
    set(export_kind pe)
    set(inspect_tool "${CMAKE_OBJDUMP}")
  else()
    target_link_options(${name} PRIVATE
      "LINKER:--version-script=${SE_PLUGIN_VERSION_SCRIPT}"
      "LINKER:--no-undefined")
    set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS "${SE_PLUGIN_VERSION_SCRIPT}")
    set(export_kind elf)
    set(inspect_tool "${CMAKE_NM}")
  endif()

  if(BUILD_TESTING)
    add_test(NAME ${name}_exports
      COMMAND bash "${SE_EXPORT_CHECK_SCRIPT}" ${export_kind} "$<TARGET_FILE:${name}>"
              "${inspect_tool}")
    set_tests_properties(${name}_exports PROPERTIES TIMEOUT 60 LABELS exports)
  endif()
endfunction()

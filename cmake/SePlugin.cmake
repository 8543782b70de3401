# Module libraries and the module registry.
#
# se_add_module(<name> FLAVOUR <checked|lean> CLASS <class> HEADER <header> ENTRY <source>
#               [SOURCES <files...>] [LIBS <targets...>] [TEST_ONLY])
#
#   Registers one module, once; every consumer reads the registry instead of naming modules (the
#   builds of every preset, the export checks, modhost validate, the fuzz targets and their
#   replays, the reliability tests, the scripts). Makes two targets:
#     <name>_module  the module class without the entry, for programs that link the class in (a
#                    static library of SOURCES, or an interface over LIBS when SOURCES is empty),
#                    linked with its frame build;
#     <name>         the plug-in library (se_add_plugin below): ENTRY linked with <name>_module.
#
#   FLAVOUR     checked links se_frame_checked (tests the host's preconditions), lean
#               se_frame_lean (CHECKED and LEAN are accepted too).
#   CLASS       the module class, as SE_PLUGIN_ENTRY names it; HEADER declares it, as included
#               from the repository root ("pelio/PelioModule.h"). The fuzz targets create the
#               class in-process through these two.
#   ENTRY       the source that expands SE_PLUGIN_ENTRY(<class>) and nothing else.
#   SOURCES     the class's sources, compiled once into <name>_module.
#   LIBS        libraries that hold the class already (compiled in the module's folder).
#   TEST_ONLY   a module that exists for the tests: registered and checked like any other, built
#               into ${CMAKE_BINARY_DIR}/tests/plugins and never among the deliverables in
#               ${CMAKE_BINARY_DIR}/plugins; the demo, the renders across targets and the
#               benchmarks take shipped modules only.
#
#   The module's folder is the one whose CMakeLists.txt makes the call. What a consumer may ask:
#     se_registered_modules(<var> [SHIPPED])   the names, in registration order
#     se_module_property(<var> <name> <FLAVOUR|CLASS|HEADER|FOLDER|TEST_ONLY>)
#   se_write_module_list() writes ${CMAKE_BINARY_DIR}/modules.txt (for the scripts; the format is
#   in its first lines) and ${CMAKE_BINARY_DIR}/generated/se_registered_modules.inc (for the
#   tests, tests/support/registered_modules.h), and makes the target `modules`, which builds every
#   registered module. The root CMakeLists.txt calls it once all module folders are added.
#
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
  string(TOUPPER "${ARG_FLAVOUR}" ARG_FLAVOUR)
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

function(se_add_module name)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "TEST_ONLY" "FLAVOUR;CLASS;HEADER;ENTRY" "SOURCES;LIBS")
  if(ARG_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "se_add_module(${name}): unknown arguments ${ARG_UNPARSED_ARGUMENTS}")
  endif()
  foreach(required IN ITEMS FLAVOUR CLASS HEADER ENTRY)
    if(NOT ARG_${required})
      message(FATAL_ERROR "se_add_module(${name}): ${required} is required")
    endif()
  endforeach()
  if(NOT ARG_SOURCES AND NOT ARG_LIBS)
    message(FATAL_ERROR "se_add_module(${name}): SOURCES or LIBS must hold the module class")
  endif()
  string(TOLOWER "${ARG_FLAVOUR}" flavour)
  if(NOT flavour MATCHES "^(checked|lean)$")
    message(FATAL_ERROR "se_add_module(${name}): FLAVOUR must be checked or lean")
  endif()
  get_property(registered GLOBAL PROPERTY SE_MODULES)
  if(name IN_LIST registered)
    message(FATAL_ERROR "se_add_module(${name}): a module of that name is registered already")
  endif()
  if(NOT EXISTS "${PROJECT_SOURCE_DIR}/${ARG_HEADER}")
    message(FATAL_ERROR "se_add_module(${name}): HEADER ${ARG_HEADER} is not a file under "
                        "${PROJECT_SOURCE_DIR}")
  endif()

  # The class, compiled once: the plug-in and every program that links the class in share it.
  if(ARG_SOURCES)
    add_library(${name}_module STATIC ${ARG_SOURCES})
    target_link_libraries(${name}_module PUBLIC se_frame_${flavour} ${ARG_LIBS})
    set_target_properties(${name}_module PROPERTIES
      POSITION_INDEPENDENT_CODE ON
      CXX_VISIBILITY_PRESET hidden
      VISIBILITY_INLINES_HIDDEN ON)
  else()
    add_library(${name}_module INTERFACE)
    target_link_libraries(${name}_module INTERFACE se_frame_${flavour} ${ARG_LIBS})
  endif()

  if(ARG_TEST_ONLY)
    set(test_only TRUE)
    set(output_dir "${CMAKE_BINARY_DIR}/tests/plugins")
  else()
    set(test_only FALSE)
    set(output_dir "${CMAKE_BINARY_DIR}/plugins")
  endif()
  se_add_plugin(${name} FLAVOUR ${flavour} SOURCES ${ARG_ENTRY} OUTPUT_DIR "${output_dir}")
  target_link_libraries(${name} PRIVATE ${name}_module)

  set_property(GLOBAL APPEND PROPERTY SE_MODULES ${name})
  set_target_properties(${name} PROPERTIES
    SE_MODULE_FLAVOUR ${flavour}
    SE_MODULE_CLASS "${ARG_CLASS}"
    SE_MODULE_HEADER "${ARG_HEADER}"
    SE_MODULE_FOLDER "${CMAKE_CURRENT_SOURCE_DIR}"
    SE_MODULE_TEST_ONLY ${test_only})
endfunction()

function(se_registered_modules out_var)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "SHIPPED" "" "")
  get_property(modules GLOBAL PROPERTY SE_MODULES)
  if(ARG_SHIPPED)
    set(shipped)
    foreach(module IN LISTS modules)
      get_target_property(test_only ${module} SE_MODULE_TEST_ONLY)
      if(NOT test_only)
        list(APPEND shipped ${module})
      endif()
    endforeach()
    set(modules ${shipped})
  endif()
  set(${out_var} ${modules} PARENT_SCOPE)
endfunction()

function(se_module_property out_var name property)
  get_property(modules GLOBAL PROPERTY SE_MODULES)
  if(NOT name IN_LIST modules)
    message(FATAL_ERROR "se_module_property: no module ${name} is registered")
  endif()
  if(NOT property MATCHES "^(FLAVOUR|CLASS|HEADER|FOLDER|TEST_ONLY)$")
    message(FATAL_ERROR "se_module_property: unknown property ${property}")
  endif()
  get_target_property(value ${name} SE_MODULE_${property})
  set(${out_var} "${value}" PARENT_SCOPE)
endfunction()

function(se_write_module_list)
  se_registered_modules(modules)
  if(NOT modules)
    message(FATAL_ERROR "se_write_module_list: no module is registered")
  endif()
  # On win32 the tests run under Wine, whose drive Z: is the Unix root.
  if(WIN32)
    set(path_prefix "Z:")
  else()
    set(path_prefix "")
  endif()
  set(table "# The modules this build registered (se_add_module in cmake/SePlugin.cmake).\n")
  string(APPEND table "# One line each, fields separated by tabs: name, shipped or test, flavour,"
                      " library, source folder.\n")
  set(entries "// Written by se_write_module_list() (cmake/SePlugin.cmake): every registered"
              " module.\n")
  foreach(module IN LISTS modules)
    get_target_property(flavour ${module} SE_MODULE_FLAVOUR)
    get_target_property(folder ${module} SE_MODULE_FOLDER)
    get_target_property(test_only ${module} SE_MODULE_TEST_ONLY)
    if(test_only)
      set(kind test)
      set(shipped false)
    else()
      set(kind shipped)
      set(shipped true)
    endif()
    string(APPEND table "${module}\t${kind}\t${flavour}\t$<TARGET_FILE:${module}>\t${folder}\n")
    string(APPEND entries "{\"${module}\", \"${path_prefix}$<TARGET_FILE:${module}>\", "
                          "\"${flavour}\", ${shipped}},\n")
  endforeach()
  file(GENERATE OUTPUT "${CMAKE_BINARY_DIR}/modules.txt" CONTENT "${table}")
  file(GENERATE OUTPUT "${CMAKE_BINARY_DIR}/generated/se_registered_modules.inc"
       CONTENT "${entries}")
  add_custom_target(modules DEPENDS ${modules})
endfunction()

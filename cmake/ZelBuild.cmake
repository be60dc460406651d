# Build rules shared by every folder of the project.
option(ZEL_COVERAGE "Instrument every target for line and branch coverage (gcov)" OFF)

# MSVC-clean C++ with warnings as errors; Unicode Win32 everywhere.
function(zel_target_defaults target)
  target_compile_definitions(${target} PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX
                                               _WIN32_WINNT=0x0601 _CRT_SECURE_NO_WARNINGS)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /WX /permissive- /Zc:preprocessor)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
    # No MinGW runtime DLL has to travel with a binary.
    target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++)
    # scripts/coverage.sh: every process writes its line and branch counts
    # when it exits (see docs/e2e-harness.md for where they land).
    # Atomic counter updates: the tests are multi-threaded, and racing
    # increments left counts that gcov solved into negative branch counts.
    if(ZEL_COVERAGE)
      target_compile_options(${target} PRIVATE --coverage -fprofile-update=atomic)
      target_link_options(${target} PRIVATE --coverage)
    endif()
  endif()
endfunction()

# A static library made of every source in the folder (tests excluded),
# named after the folder. Headers sit beside the sources.
function(zel_library name)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(sources)
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
    zel_target_defaults(${name})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${CMAKE_CURRENT_SOURCE_DIR})
  endif()
endfunction()

# One GoogleTest executable for a library, from the sources in its tests/
# folder; each test runs under Wine through the cross-compiling emulator.
#   zel_unit_tests(<name> LIBS <libs...> [LOCKS <machine-wide names...>]
#                  [DEPENDS <targets the tests need built>] [WRITES_BESIDE_EXE]
#                  [COST <seconds>])
# LOCKS names the machine-wide objects the tests use (a pipe name, the
# service name); it documents them. Nearly every library traces to the one
# log pipe and reads the one shared level word, so each test gets a Wine
# prefix of its own for its run: a lane (below). The build tree is not
# copied: every lane sees it as Z:. WRITES_BESIDE_EXE says that the tests
# write or delete files in the test executable's folder, so they run one at
# a time (each still in a lane). COST (about the seconds a test takes) makes
# CTest start long tests first even before it has measured them.
function(zel_unit_tests name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "WRITES_BESIDE_EXE" "COST" "LIBS;LOCKS;DEPENDS")
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/*.cpp)
  add_executable(${name} ${sources})
  zel_target_defaults(${name})
  target_link_libraries(${name} PRIVATE ${arg_LIBS} GTest::gtest_main GTest::gmock)
  if(arg_DEPENDS)
    add_dependencies(${name} ${arg_DEPENDS})
  endif()
  # Discover at ctest time: discovery runs the executable under Wine.
  if(arg_WRITES_BESIDE_EXE)
    set(lane RESOURCE_LOCK ${name}_folder RESOURCE_GROUPS wine:1)
  else()
    set(lane RESOURCE_LOCK wine_prefix)
  endif()
  if(arg_COST)
    list(APPEND lane COST ${arg_COST})
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES TIMEOUT 300 ${lane})
endfunction()

# Wine lanes. A test that takes the resource lock "wine_prefix" says that it
# needs a Windows machine (a Wine prefix) to itself. Instead of that lock it
# gets one slot of the CTest resource "wine" (RESOURCE_GROUPS wine:1); the
# resource spec file below lists ZEL_WINE_LANES slots, and scripts/wine-run.sh
# runs the test in the prefix of the slot it was given, a copy of the build
# tree's prefix with its own wineserver. So tests run side by side and never
# see each other's pipes, services or registry. A test that needs the whole
# machine to itself (timing or memory figures) adds RUN_SERIAL TRUE.
# See docs/e2e-harness.md.
set(ZEL_WINE_LANES 10 CACHE STRING "Wine prefixes that run tests side by side (measured: docs/e2e-harness.md)")
set(ZEL_WINE_LANE_SPEC ${CMAKE_BINARY_DIR}/wine-lanes.json)
block()
  set(slots "")
  foreach(lane RANGE 1 ${ZEL_WINE_LANES})
    list(APPEND slots "{ \"id\": \"lane${lane}\", \"slots\": 1 }")
  endforeach()
  list(JOIN slots ",\n      " slots)
  file(CONFIGURE OUTPUT ${ZEL_WINE_LANE_SPEC} CONTENT
"{
  \"version\": { \"major\": 1, \"minor\": 0 },
  \"local\": [ { \"wine\": [
      ${slots}
  ] } ]
}
")
endblock()

# Rewrites the list <var> of test properties (name, value, ...; a value that
# is a list has its ";" escaped): the "wine_prefix" lock becomes a lane,
# other locks and properties stay.
function(zel_wine_lane_properties var)
  set(mapped "")
  set(previous "")
  set(lane FALSE)
  foreach(item IN LISTS ${var})
    if(previous STREQUAL "RESOURCE_LOCK" AND "wine_prefix" IN_LIST item)
      list(REMOVE_ITEM item wine_prefix)
      set(lane TRUE)
      if(item STREQUAL "")
        list(POP_BACK mapped)
        set(previous "")
        continue()
      endif()
    endif()
    set(previous "${item}")
    string(REPLACE ";" "\\;" item "${item}")
    list(APPEND mapped "${item}")
  endforeach()
  if(lane)
    list(APPEND mapped RESOURCE_GROUPS wine:1)
  endif()
  set(${var} "${mapped}" PARENT_SCOPE)
endfunction()

# gtest_discover_tests with the lane mapping applied to its PROPERTIES. The
# module is included here, once: a second include(GoogleTest) would drop this
# wrapper, which the check at the end of the configure step reports.
include(GoogleTest)
function(gtest_discover_tests target)
  set(args "")
  set(properties "")
  set(in_properties FALSE)
  foreach(item IN LISTS ARGN)
    if(item STREQUAL "PROPERTIES")
      set(in_properties TRUE)
    elseif(in_properties AND item MATCHES "^(EXTRA_ARGS|WORKING_DIRECTORY|TEST_PREFIX|TEST_SUFFIX|TEST_FILTER|NO_PRETTY_TYPES|NO_PRETTY_VALUES|TEST_LIST|DISCOVERY_TIMEOUT|XML_OUTPUT_DIR|DISCOVERY_MODE)$")
      set(in_properties FALSE)
      list(APPEND args "${item}")
    elseif(in_properties)
      list(APPEND properties "${item}")
    else()
      list(APPEND args "${item}")
    endif()
  endforeach()
  zel_wine_lane_properties(properties)
  set_property(GLOBAL APPEND PROPERTY ZEL_LANED_GTEST_TARGETS ${target})
  _gtest_discover_tests(${target} ${args} PROPERTIES ${properties})
endfunction()

# set_tests_properties with the lane mapping, for tests added with add_test.
# Each argument is forwarded whole (a value may be a list).
function(set_tests_properties)
  set(tests "")
  set(properties "")
  set(in_properties FALSE)
  math(EXPR last "${ARGC} - 1")
  foreach(index RANGE ${last})
    string(REPLACE ";" "\\;" item "${ARGV${index}}")
    if(NOT in_properties AND item STREQUAL "PROPERTIES")
      set(in_properties TRUE)
    elseif(in_properties)
      list(APPEND properties "${item}")
    else()
      list(APPEND tests "${item}")
    endif()
  endforeach()
  zel_wine_lane_properties(properties)
  _set_tests_properties(${tests} PROPERTIES ${properties})
endfunction()

# At the end of the configure step: every gtest_discover_tests call must
# have gone through the wrapper above.
function(zel_check_lanes_for_directory dir)
  get_property(includes DIRECTORY ${dir} PROPERTY TEST_INCLUDE_FILES)
  get_property(wrapped GLOBAL PROPERTY ZEL_LANED_GTEST_TARGETS)
  foreach(include IN LISTS includes)
    get_filename_component(name ${include} NAME)
    if(name MATCHES "^(.+)\\[[0-9]+\\]_include\\.cmake$" AND NOT CMAKE_MATCH_1 IN_LIST wrapped)
      message(FATAL_ERROR "${dir}: tests of ${CMAKE_MATCH_1} were discovered without the Wine "
                          "lane wrapper; do not include(GoogleTest) again (cmake/ZelBuild.cmake)")
    endif()
  endforeach()
  get_property(children DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(child IN LISTS children)
    zel_check_lanes_for_directory(${child})
  endforeach()
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL zel_check_lanes_for_directory ${CMAKE_SOURCE_DIR})

# Build rules shared by every folder of the project.

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
#                  [DEPENDS <targets the tests need built>])
# LOCKS names the machine-wide objects the tests use (a pipe name, the
# service name); it documents them. All tests run in one Wine prefix, and
# nearly every library traces to the one log pipe and reads the one shared
# level word, so a test's records would reach another test's listener: every
# test therefore takes the same resource lock and the suite runs one test at
# a time. (A list of locks cannot be passed through gtest_discover_tests.)
function(zel_unit_tests name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "LIBS;LOCKS;DEPENDS")
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/*.cpp)
  add_executable(${name} ${sources})
  zel_target_defaults(${name})
  target_link_libraries(${name} PRIVATE ${arg_LIBS} GTest::gtest_main GTest::gmock)
  if(arg_DEPENDS)
    add_dependencies(${name} ${arg_DEPENDS})
  endif()
  set(properties TIMEOUT 300 RESOURCE_LOCK wine_prefix)
  # Discover at ctest time: discovery runs the executable under Wine.
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES ${properties})
endfunction()

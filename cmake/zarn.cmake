# Project-wide helpers: warnings for our own targets, per-platform source selection, tests.

add_library(zarn_warnings INTERFACE)
target_compile_options(zarn_warnings INTERFACE -Wall -Wextra -Wpedantic -Wshadow -Werror)
if(WIN32)
  # Keep <windows.h> lean and free of min/max macros wherever a *_win32.cpp includes it.
  target_compile_definitions(zarn_warnings INTERFACE WIN32_LEAN_AND_MEAN NOMINMAX)
endif()

# zarn_platform_sources(<target> <base>...): adds <base>_win32.cpp or <base>_posix.cpp.
function(zarn_platform_sources target)
  if(WIN32)
    set(suffix _win32.cpp)
  else()
    set(suffix _posix.cpp)
  endif()
  foreach(base IN LISTS ARGN)
    target_sources(${target} PRIVATE ${base}${suffix})
  endforeach()
endfunction()

# zarn_add_gtest(<name> SOURCES ... LIBS ...): one GoogleTest executable. On Linux each case
# becomes a CTest test; under Wine the executable is one test, since every start costs seconds.
function(zarn_add_gtest name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gmock GTest::gtest_main zarn_warnings)
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES TIMEOUT 600 LABELS "${ARG_LABELS}")
  else()
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
      PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS "${ARG_LABELS}")
  endif()
endfunction()

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

# Under Wine a test executable that crashes still ends with exit code 0 (Wine's debugger takes
# the fault): such runs are judged by GoogleTest's closing lines instead.
set(ZARN_WINE_GTEST_PASSED "\\[  PASSED  \\] [0-9]+ tests?\\.")
set(ZARN_WINE_GTEST_FAILED "\\[  FAILED  \\]|Unhandled exception|Unhandled page fault")

# The Windows tests run under each of these Wines: Debian 12's Wine 8 on the machine and Debian
# 13's Wine 10 in its root (scripts/debian-root), whose winscard reaches pcsc-lite. Every such
# test is registered once per Wine, named and labelled wine<major>.<name>, and fails when the
# wine on the path is another one (tests/support/under_wine.sh). Runners are started as
# `python3` from the path: the root has its own.
set(ZARN_WINES 8 10)

# zarn_add_wine_test(<name> COMMAND ... [WINES majors...] [PROPERTIES ...])
function(zarn_add_wine_test name)
  cmake_parse_arguments(ARG "" "" "COMMAND;WINES;PROPERTIES" ${ARGN})
  if(NOT ARG_WINES)
    set(ARG_WINES ${ZARN_WINES})
  endif()
  foreach(wine IN LISTS ARG_WINES)
    add_test(NAME wine${wine}.${name}
      COMMAND ${PROJECT_SOURCE_DIR}/tests/support/under_wine.sh ${wine} ${ARG_COMMAND})
    if(ARG_PROPERTIES)
      set_tests_properties(wine${wine}.${name} PROPERTIES ${ARG_PROPERTIES})
    endif()
    set_property(TEST wine${wine}.${name} APPEND PROPERTY LABELS wine${wine})
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
    # The tests' USB driver in the prefix is present while a USB driver run talks to it; a unit
    # test's USB fall-back would find it then, so the executables take turns with those runs.
    set(properties TIMEOUT 600 PASS_REGULAR_EXPRESSION "${ZARN_WINE_GTEST_PASSED}"
      FAIL_REGULAR_EXPRESSION "${ZARN_WINE_GTEST_FAILED}" RESOURCE_LOCK wine-usb-driver)
    if(ARG_LABELS)
      list(APPEND properties LABELS "${ARG_LABELS}")
    endif()
    zarn_add_wine_test(${name} COMMAND wine $<TARGET_FILE:${name}> PROPERTIES ${properties})
  else()
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
      PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS "${ARG_LABELS}")
  endif()
endfunction()

# One CTest test per entry of a Python runner's table (`script --list`), each running the real
# zarn-upgrade against the simulator: named <label>.<entry>, labelled <label>, exit 77 a skip.
# The table is read at configure time; editing the script configures again.
function(zarn_add_sim_runs label script)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  execute_process(COMMAND ${Python3_EXECUTABLE} ${script} --list
    OUTPUT_VARIABLE entries OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${script})
  foreach(entry IN LISTS entries)
    add_test(NAME ${label}.${entry}
      COMMAND ${Python3_EXECUTABLE} ${script}
        --tool $<TARGET_FILE:zarn-upgrade> --sim $<TARGET_FILE:zarn-reader-sim>
        --ifd $<TARGET_FILE:zarn_sim_ifd> ${entry})
    set_tests_properties(${label}.${entry} PROPERTIES
      TIMEOUT 180 SKIP_RETURN_CODE 77 LABELS ${label})
  endforeach()
endfunction()

# The entries of the same runners under Wine, registered by the Windows build: its
# zarn-upgrade.exe against the Linux build's simulator, pty library and IFD handler, found in
# ZARN_HOST_BUILD_DIR (the release preset's; scripts/test builds them first). The COM-port
# entries (`script --wine --list`) run under every Wine, the PC/SC ones (`--wine --pcsc --list`)
# under Wine 10 only, the first whose winscard reaches pcsc-lite. Run them with scripts/with-wine,
# which maps the COM ports; runs of one COM port take turns (a file lock).
set(ZARN_HOST_BUILD_DIR ${PROJECT_SOURCE_DIR}/build/release CACHE PATH
  "Linux build whose simulator and pty library the Wine end-to-end runs use")
function(zarn_add_wine_sim_runs label script)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${script})
  foreach(kind IN ITEMS com pcsc)
    set(list_flags --wine)
    set(wines ${ZARN_WINES})
    if(kind STREQUAL pcsc)
      list(APPEND list_flags --pcsc)
      set(wines 10)
    endif()
    execute_process(COMMAND ${Python3_EXECUTABLE} ${script} ${list_flags} --list
      OUTPUT_VARIABLE entries OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    foreach(entry IN LISTS entries)
      set(properties TIMEOUT 300 LABELS wine-${label})
      if(entry MATCHES "^(usb|pcsc|no_reader)_")
        # Runs that may reach the prefix's one USB driver take turns (the runner holds a file
        # lock as well; this keeps the waiting ones out of ctest's job slots).
        list(APPEND properties RESOURCE_LOCK wine-usb-driver)
      endif()
      zarn_add_wine_test(${label}.${entry} WINES ${wines}
        COMMAND python3 ${script} --wine
          --tool $<TARGET_FILE:zarn-upgrade> --sim ${ZARN_HOST_BUILD_DIR}/sim/zarn-reader-sim
          --uart-pty ${ZARN_HOST_BUILD_DIR}/tests/serial/libzarn_wine_uart_pty.so
          --ifd ${ZARN_HOST_BUILD_DIR}/sim/ifd/libzarn_sim_ifd.so
          --usb-driver $<TARGET_FILE:zarn_usb_test_driver>
          --usb-driver-setup $<TARGET_FILE:zarn_usb_test_driver_setup>
          --devcon $<TARGET_FILE:zarn_devcon_stand_in> ${entry}
        PROPERTIES ${properties})
    endforeach()
  endforeach()
endfunction()

# CTest limits near three times each test's normal duration, so that a test
# that hangs fails within seconds to a few minutes instead of at a ten-minute
# limit. The waits inside the tests have deadlines of their own (a few
# seconds, naming what did not come); the limit catches a call that never
# returns.
#
# Normal durations in whole seconds (rounded up), measured on a 2-core machine
# with ./run.sh test (CTest two tests at a time; the Windows tests one at a
# time under Wine), one column per build: Linux (RelWithDebInfo), ASan + UBSan
# and TSan (Debug), the Windows build under Wine. "-": the build has no such
# test. Measure again after a change that makes a test much slower (ctest
# prints each test's time).
set(TB_TEST_DURATIONS
  # test                          linux asan tsan wine
  "unit_adapters                      1    1    -    4"
  "unit_applogic                      1    1    1    4"
  "unit_definitions                   1    1    -    4"
  "unit_definitions_eeprom            1    1    -    4"
  "unit_eeprom                        4    5    6    9"
  "unit_emulator                      2    2    2    -"
  "unit_controltable                  1    1    1    -"
  "unit_faultplan                     1    1    1    -"
  "unit_encoding                      1    1    -    4"
  "unit_events                        1    1    -    4"
  "unit_files                         1    1    -    4"
  "unit_files_host_link               -    -    -    4"
  "unit_files_posix                   1    1    1    -"
  "unit_files_unprivileged            1    1    -    -"
  "unit_files_posix_unprivileged      1    1    1    -"
  "unit_firmware                      7   15   31    9"
  "unit_logger                        1    1    1    4"
  "unit_native                        1    1    -    4"
  "unit_packets                       1    1    1    4"
  "unit_processresources              1    1    1    4"
  "unit_regfile                       1    1    -    -"
  "unit_syncevent                     2    2    2    6"
  "unit_threadplacement               1    1    -    -"
  "unit_trafficmanager                3    3    3    7"
  "unit_transport                     2    2    2    7"
  "unit_transport_posix               1    1    1    -"
  "unit_console                       1    1    1    4"
  "api_exports                        9    9    9   10"
  "exports_list                       1    1    1    1"
  "e2e_transport                     10   10   10   11"
  "e2e_commands                       3    4    4    5"
  "e2e_firmware                      26   26   26   26"
  "e2e_eeprom                         2    2    2    4"
  "e2e_extensions                     3    3    3    4"
  "e2e_cancel                         2    2    2    5"
  "e2e_hostile                        8   12   13   20"
  "e2e_fault_matrix                  18   19   19   20"
  "e2e_emulator_wrapper               6    -    -    -"
  "soak_short                        27    -    -   34"
  "defcheck_examples                  1    1    -    -"
  "defcheck_examples_status           1    1    -    -"
  "defcheck_bad_set                   1    1    -    -"
  "defcheck_bad_set_places            1    1    -    -"
  "defcheck_report_lost               1    1    -    -"
  "fwpack                             2    2    2    -"
  "python_package                    35    -    -    -"
  "python_package_install             6    -    -    -"
  "python_rack                        6    -    -    -"
  "readme_examples                    5    -    -    -"
  "wireshark_dissector               12    -    -    -"
  "console_scripts                   23   25   33   35"
  "console_demo                       5    -    -    -"
  "tools_help_output_lost             1    1    1    -"
  "readme_quick_start                24    -    -    -"
  "run_sh_usage                       1    -    -    -"
  "sdk_consumer                       4    -    -    3"
  "release_archive                    -    -    -    1"
)
# Short tests start processes (Wine, Python, compilers) whose start-up varies
# with the machine's load: no limit is below this.
set(TB_TEST_TIMEOUT_MIN 15)
# A test the table does not name yet.
set(TB_TEST_TIMEOUT_UNMEASURED 300)

# The table's column for this build.
if(CMAKE_CROSSCOMPILING)
  set(TB_TEST_DURATION_COLUMN 4)
elseif(TB_SANITIZE MATCHES "thread")
  set(TB_TEST_DURATION_COLUMN 3)
elseif(TB_SANITIZE)
  set(TB_TEST_DURATION_COLUMN 2)
else()
  set(TB_TEST_DURATION_COLUMN 1)
endif()

# The measured duration of a test in this build, or "" when the table has none.
function(tb_test_duration test out)
  set(${out} "" PARENT_SCOPE)
  foreach(row IN LISTS TB_TEST_DURATIONS)
    string(REGEX MATCHALL "[^ ]+" fields "${row}")
    list(GET fields 0 name)
    if(name STREQUAL test)
      list(GET fields ${TB_TEST_DURATION_COLUMN} seconds)
      if(NOT seconds STREQUAL "-")
        set(${out} ${seconds} PARENT_SCOPE)
      endif()
      return()
    endif()
  endforeach()
endfunction()

# Sets the CTest limit of every test the calling directory added.
function(tb_test_timeouts)
  get_property(tests DIRECTORY PROPERTY TESTS)
  foreach(test IN LISTS tests)
    tb_test_duration(${test} seconds)
    if(seconds STREQUAL "")
      message(STATUS "${test}: no measured duration in cmake/TestTimeouts.cmake, CTest limit ${TB_TEST_TIMEOUT_UNMEASURED} s")
      set(limit ${TB_TEST_TIMEOUT_UNMEASURED})
    else()
      math(EXPR limit "3 * ${seconds}")
      if(limit LESS TB_TEST_TIMEOUT_MIN)
        set(limit ${TB_TEST_TIMEOUT_MIN})
      endif()
    endif()
    # The cost makes CTest start the longest tests first, so that two at a
    # time end together rather than one long test running alone at the end.
    set(cost 1)
    if(NOT seconds STREQUAL "")
      set(cost ${seconds})
    endif()
    set_tests_properties(${test} PROPERTIES TIMEOUT ${limit} COST ${cost})
  endforeach()
endfunction()

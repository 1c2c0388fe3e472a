# CTest limits near three times each test's normal duration, so that a test
# that hangs fails within seconds to a few minutes instead of at a ten-minute
# limit. The waits inside the tests have deadlines of their own (a few
# seconds, naming what did not come); the limit catches a call that never
# returns.
#
# Each test gives its normal durations where it is registered:
#
#   tb_add_test(<name> DURATIONS <linux> <asan> <tsan> <wine> [SINGLE_THREADED]
#               COMMAND <command> [<argument>...])
#
# in whole seconds (rounded up), measured on a 2-core machine with
# ./run.sh test (CTest two tests at a time; the Windows tests one at a time
# under Wine), one value per build: Linux (RelWithDebInfo), ASan + UBSan and
# TSan (Debug), the Windows build under Wine. "-": the build has no such test.
# Measure again after a change that makes a test much slower (ctest prints
# each test's time). SINGLE_THREADED: the code the test runs is on one
# thread; the thread sanitizer build leaves the test out (it has nothing to
# find there; the other builds run it).

# Short tests start processes (Wine, Python, compilers) whose start-up varies
# with the machine's load: no limit is below this.
set(TB_TEST_TIMEOUT_MIN 15)
# A test without a measured duration for this build (a warning at configure
# time says so).
set(TB_TEST_TIMEOUT_UNMEASURED 300)

# Which of the four durations is this build's (counted from 0).
if(CMAKE_CROSSCOMPILING)
  set(TB_TEST_DURATION_INDEX 3)
elseif(TB_SANITIZE MATCHES "thread")
  set(TB_TEST_DURATION_INDEX 2)
elseif(TB_SANITIZE)
  set(TB_TEST_DURATION_INDEX 1)
else()
  set(TB_TEST_DURATION_INDEX 0)
endif()

# The thread sanitizer build leaves out the SINGLE_THREADED tests.
if(TB_SANITIZE MATCHES "thread")
  set(TB_LEAVE_OUT_SINGLE_THREADED TRUE)
else()
  set(TB_LEAVE_OUT_SINGLE_THREADED FALSE)
endif()

# Sets the CTest limit of a test from its durations: a list of the four
# values, or empty when it has none.
function(tb_set_test_limit test durations)
  set(seconds "")
  if(durations)
    if(NOT "${durations}" MATCHES "^([0-9]+|-);([0-9]+|-);([0-9]+|-);([0-9]+|-)$")
      message(FATAL_ERROR "${test}: DURATIONS takes four values (linux asan tsan wine), "
                          "each whole seconds or \"-\"; got \"${durations}\"")
    endif()
    list(GET durations ${TB_TEST_DURATION_INDEX} seconds)
    if(seconds STREQUAL "-")
      set(seconds "")
    endif()
  endif()
  if(seconds STREQUAL "")
    message(WARNING "${test}: no measured duration for this build in its registration (DURATIONS), "
                    "CTest limit ${TB_TEST_TIMEOUT_UNMEASURED} s")
    set(limit ${TB_TEST_TIMEOUT_UNMEASURED})
    set(cost 1)
  else()
    math(EXPR limit "3 * ${seconds}")
    if(limit LESS TB_TEST_TIMEOUT_MIN)
      set(limit ${TB_TEST_TIMEOUT_MIN})
    endif()
    set(cost ${seconds})
  endif()
  # The cost makes CTest start the longest tests first, so that two at a
  # time end together rather than one long test running alone at the end.
  set_tests_properties(${test} PROPERTIES TIMEOUT ${limit} COST ${cost})
endfunction()

# Adds a test with its limit (see the top of this file); with
# SINGLE_THREADED, not in the thread sanitizer build.
function(tb_add_test name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "SINGLE_THREADED" "" "DURATIONS;COMMAND")
  if(arg_UNPARSED_ARGUMENTS OR NOT arg_COMMAND OR "DURATIONS" IN_LIST arg_KEYWORDS_MISSING_VALUES)
    message(FATAL_ERROR "tb_add_test(${name}): usage: tb_add_test(<name> DURATIONS <linux> <asan> <tsan> <wine> "
                        "[SINGLE_THREADED] COMMAND <command>...)")
  endif()
  if(arg_SINGLE_THREADED AND TB_LEAVE_OUT_SINGLE_THREADED)
    return()
  endif()
  add_test(NAME ${name} COMMAND ${arg_COMMAND})
  tb_set_test_limit(${name} "${arg_DURATIONS}")
endfunction()

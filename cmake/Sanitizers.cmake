# Sanitizer builds and the options their runtimes get.
#
# FILTERUTILITIES_SANITIZE chooses the instrumentation of every target:
#   OFF     none (the release build)
#   ON      AddressSanitizer + UndefinedBehaviorSanitizer (the test build)
#   thread  ThreadSanitizer (the test command's run over the tests that start threads)
# FILTERUTILITIES_LIBFUZZER (clang, with ON) adds libFuzzer's coverage instrumentation to every
# library and program, so that a fuzz program steers by the code it calls, not by its own few
# branches.

set(FILTERUTILITIES_SANITIZE OFF CACHE STRING
    "Sanitizers: OFF, ON (AddressSanitizer + UndefinedBehaviorSanitizer) or thread")
set_property(CACHE FILTERUTILITIES_SANITIZE PROPERTY STRINGS OFF ON thread)
option(FILTERUTILITIES_LIBFUZZER
       "Instrument everything for libFuzzer and build the libFuzzer programs (clang)" OFF)

if(FILTERUTILITIES_SANITIZE STREQUAL "thread")
  set(FILTERUTILITIES_THREAD_SANITIZER ON)
  set(sanitizers thread)
elseif(FILTERUTILITIES_SANITIZE)
  set(FILTERUTILITIES_THREAD_SANITIZER OFF)
  set(sanitizers address,undefined)
else()
  set(FILTERUTILITIES_THREAD_SANITIZER OFF)
  set(sanitizers "")
endif()

if(FILTERUTILITIES_LIBFUZZER)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "FILTERUTILITIES_LIBFUZZER needs clang (configure with the fuzz preset)")
  endif()
  if(NOT sanitizers STREQUAL "address,undefined")
    message(FATAL_ERROR "FILTERUTILITIES_LIBFUZZER needs FILTERUTILITIES_SANITIZE=ON")
  endif()
endif()

# The same flags, as one list, for a build made outside this tree that loads into its programs
# (a filter module built against the installed package): it must carry the same runtime.
set(FILTERUTILITIES_SANITIZER_FLAGS "")
if(sanitizers)
  set(FILTERUTILITIES_SANITIZER_FLAGS -fsanitize=${sanitizers} -fno-sanitize-recover=all
                                      -fno-omit-frame-pointer)
  add_compile_options(${FILTERUTILITIES_SANITIZER_FLAGS})
  add_link_options(-fsanitize=${sanitizers} -fno-sanitize-recover=all)
endif()
if(FILTERUTILITIES_LIBFUZZER)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# The runtime options of every test. A test's environment gets these in front of what the
# caller's environment (a CTest preset, a shell) already holds, so that both apply and the
# caller's own settings win where they differ: nothing set outside is dropped.
set(FILTERUTILITIES_ASAN_OPTIONS
    "detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1")
set(FILTERUTILITIES_UBSAN_OPTIONS "print_stacktrace=1:halt_on_error=1")
set(FILTERUTILITIES_TSAN_OPTIONS "halt_on_error=1:second_deadlock_stack=1")
set(FILTERUTILITIES_TEST_ENVIRONMENT
    "ASAN_OPTIONS=path_list_prepend:${FILTERUTILITIES_ASAN_OPTIONS}"
    "UBSAN_OPTIONS=path_list_prepend:${FILTERUTILITIES_UBSAN_OPTIONS}"
    "TSAN_OPTIONS=path_list_prepend:${FILTERUTILITIES_TSAN_OPTIONS}")

# Gives tests added with add_test the sanitizer options above.
function(filterutilities_test_environment)
  set_tests_properties(${ARGN} PROPERTIES
    ENVIRONMENT_MODIFICATION "${FILTERUTILITIES_TEST_ENVIRONMENT}")
endfunction()

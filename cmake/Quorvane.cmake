# Shared target helpers: strict warnings for our own code, sanitizers, test registration.

if(SANITIZE STREQUAL "address")
  set(QUORVANE_SAN_FLAGS -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
elseif(SANITIZE STREQUAL "thread")
  set(QUORVANE_SAN_FLAGS -fsanitize=thread -fno-omit-frame-pointer)
else()
  set(QUORVANE_SAN_FLAGS "")
endif()
if(QUORVANE_SAN_FLAGS)
  add_compile_options(${QUORVANE_SAN_FLAGS})
  add_link_options(${QUORVANE_SAN_FLAGS})
endif()

# Every listed source must exist: a missing one stops the configure step with its path, instead of a
# build that quietly leaves it out.
function(quorvane_existing out)
  set(found "")
  foreach(src IN LISTS ARGN)
    if(IS_ABSOLUTE ${src})
      set(path ${src})
    else()
      set(path ${CMAKE_CURRENT_SOURCE_DIR}/${src})
    endif()
    if(EXISTS ${path})
      list(APPEND found ${path})
    else()
      message(FATAL_ERROR "missing source: ${path}")
    endif()
  endforeach()
  set(${out} ${found} PARENT_SCOPE)
endfunction()

function(quorvane_strict target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    # GCC 12 reports false -Wrestrict overlaps inside std::string concatenation at -O2 and above, and
    # false uninitialised reads of std::optional and out-of-bounds shared_ptr accesses once inlining is on.
    # Debug builds (the ones the tests run) keep every warning.
    target_compile_options(${target} PRIVATE -Wno-restrict
      $<$<NOT:$<CONFIG:Debug>>:-Wno-maybe-uninitialized -Wno-array-bounds>)
  endif()
endfunction()

# quorvane_library(name SOURCES ... [DEPS public deps] [PRIVATE_DEPS ...])
function(quorvane_library name)
  cmake_parse_arguments(A "" "" "SOURCES;DEPS;PRIVATE_DEPS" ${ARGN})
  quorvane_existing(A_SOURCES ${A_SOURCES})
  if(NOT A_SOURCES)
    # A module whose sources are not written yet: headers only.
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${A_DEPS})
    return()
  endif()
  add_library(${name} STATIC ${A_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${A_DEPS} PRIVATE ${A_PRIVATE_DEPS})
  quorvane_strict(${name})
endfunction()

# quorvane_test(name SOURCES ... DEPS ... [THREADS])
# One GoogleTest binary, one ctest entry. THREADS labels it `threads`: it then also runs
# in the ThreadSanitizer build (target `threads_tests`).
set_property(GLOBAL PROPERTY QUORVANE_THREAD_TESTS "")
# The sanitizers' settings for every test: leak reports from JavaScriptCore's own allocations and races
# inside uninstrumented third-party libraries are suppressed (.ci/*.supp); anything else fails the test. A
# stack frame used after its function returned (a callback that outlives the test whose locals it captured)
# fails at its first use, not only when the memory happens to be reused. Tests fork children without exec
# that start threads again (the runtime supports it), which TSan allows only when told.
set(QUORVANE_TEST_ENVIRONMENT
  "ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:detect_stack_use_after_return=1"
  "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/.ci/lsan.supp"
  "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1"
  "TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:die_after_fork=0:suppressions=${PROJECT_SOURCE_DIR}/.ci/tsan.supp")
function(quorvane_test name)
  cmake_parse_arguments(A "THREADS" "TIMEOUT" "SOURCES;DEPS" ${ARGN})
  quorvane_existing(A_SOURCES ${A_SOURCES})
  if(NOT A_SOURCES)
    return()
  endif()
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE ${A_DEPS} testsupport GTest::gtest GTest::gmock GTest::gtest_main)
  quorvane_strict(${name})
  add_test(NAME ${name} COMMAND ${name})
  if(NOT A_TIMEOUT)
    set(A_TIMEOUT 300)
  endif()
  set(labels unit)
  if(A_THREADS)
    set(labels threads)
    set_property(GLOBAL APPEND PROPERTY QUORVANE_THREAD_TESTS ${name})
  endif()
  set_tests_properties(${name} PROPERTIES LABELS "${labels}" TIMEOUT ${A_TIMEOUT}
    ENVIRONMENT "${QUORVANE_TEST_ENVIRONMENT}")
endfunction()

# Network reachability over rtnetlink, and the fake provider tests inject. Included from this directory's
# CMakeLists.txt.
set(REACHABILITY_DIR ${CMAKE_CURRENT_LIST_DIR})
quorvane_library(reachability
  SOURCES ${REACHABILITY_DIR}/Reachability.cpp ${REACHABILITY_DIR}/ReachabilityFake.cpp
  DEPS foundation)

file(GLOB REACHABILITY_TESTS CONFIGURE_DEPENDS ${REACHABILITY_DIR}/tests/reachability_*.cpp)
if(REACHABILITY_TESTS)
  quorvane_test(reachability_tests SOURCES ${REACHABILITY_TESTS} DEPS reachability THREADS)
endif()

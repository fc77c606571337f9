# zorvel_add_test(NAME SOURCES... [LIBS lib...])
# One GoogleTest executable per module test file; every test case becomes a
# CTest test of its own so a failure names the case.
function(zorvel_add_test name)
  if(NOT ZORVEL_TESTS)
    return()
  endif()
  cmake_parse_arguments(ZT "" "" "LIBS" ${ARGN})
  add_executable(${name} ${ZT_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE ${ZT_LIBS} zorvel_common GTest::gtest_main GTest::gmock)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endfunction()

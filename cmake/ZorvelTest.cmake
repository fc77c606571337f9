# zorvel_add_test(NAME SOURCES... [LIBS lib...])
# One GoogleTest executable per module test file; every test case becomes a
# CTest test of its own so a failure names the case.
function(zorvel_add_test name)
  if(NOT ZORVEL_TESTS)
    return()
  endif()
  cmake_parse_arguments(ZT "" "" "LIBS" ${ARGN})
  add_executable(${name} ${ZT_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE ${ZT_LIBS} zorvel_common zorvel_test_support
                        GTest::gtest_main GTest::gmock)
  target_compile_definitions(${name} PRIVATE
    ZORVEL_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    ZORVEL_BINARY_DIR="${PROJECT_BINARY_DIR}")
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endfunction()

# zorvel_module_dir(TARGET [LIBS lib...])
# Adds every .cpp of the calling directory to TARGET, except tests
# (*_test.cpp) and program entry points (*_main.cpp), and makes every
# *_test.cpp a test linked with TARGET and LIBS.
function(zorvel_module_dir target)
  cmake_parse_arguments(ZM "" "" "LIBS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  list(FILTER sources EXCLUDE REGEX "(_test|_main)\\.cpp$")
  if(NOT sources)
    set(sources ${PROJECT_SOURCE_DIR}/cmake/empty.cpp)
  endif()
  target_sources(${target} PRIVATE ${sources})
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  foreach(t ${tests})
    get_filename_component(n ${t} NAME_WE)
    zorvel_add_test(${n} ${t} LIBS ${target} ${ZM_LIBS})
  endforeach()
endfunction()

# Helpers for the test suite. Test programs go to tests/ and the small
# programs they drive to tests/helpers/, so bin/ holds only the tools.

# tools_add_test(NAME SOURCES src... [LIBS lib...] [DEPENDS target...]
#                [TIMEOUT seconds] [LABELS label...])
# One GoogleTest program; every TEST in it becomes a CTest test. DEPENDS names
# the programs and helpers it runs, so building the test builds them too.
function(tools_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;DEPENDS;LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE testsupport GTest::gtest_main ${T_LIBS})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  if(T_DEPENDS)
    add_dependencies(${name} ${T_DEPENDS})
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}")
endfunction()

# tools_add_test_helper(NAME src...): a program the tests run.
function(tools_add_test_helper name)
  add_executable(${name} ${ARGN})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/helpers)
endfunction()

# Helpers for the test suite. Test programs go to tests/ and the small
# programs they drive to tests/helpers/, so bin/ holds only the tools.

# tools_add_test(NAME SOURCES src... [LIBS lib...] [DEPENDS target...]
#                [TIMEOUT seconds] [LABELS label...] [PREFIX prefix])
# One GoogleTest program; every TEST in it becomes a CTest test, its name
# led by PREFIX if given. DEPENDS names the programs and helpers it runs, so
# building the test builds them too.
function(tools_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT;PREFIX" "SOURCES;LIBS;DEPENDS;LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE testsupport GTest::gtest_main ${T_LIBS})
  # The headers every test parses come precompiled from the support library,
  # for C++ only: the C sources must not be handed them.
  target_precompile_headers(${name} REUSE_FROM testsupport)
  foreach(source IN LISTS T_SOURCES)
    if(source MATCHES "[.]c$")
      set_source_files_properties(${source} PROPERTIES SKIP_PRECOMPILE_HEADERS ON)
    endif()
  endforeach()
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  if(T_DEPENDS)
    add_dependencies(${name} ${T_DEPENDS})
  endif()
  gtest_discover_tests(${name}
    TEST_PREFIX "${T_PREFIX}"
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}")
endfunction()

# tools_add_test_helper(NAME src...): a program the tests run.
function(tools_add_test_helper name)
  add_executable(${name} ${ARGN})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/helpers)
endfunction()

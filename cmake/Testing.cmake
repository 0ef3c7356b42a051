# SPDX-License-Identifier: ISC
# Helpers for the test suite. Test programs go to tests/ and the small
# programs they drive to tests/helpers/, so bin/ holds only the tools.

# tools_test_code(TARGET): TARGET is test code, compiled for a short build
# rather than for speed. Optimising GoogleTest's expanded macros took most of
# a build's time, while the test programs spend theirs waiting for the tools
# they start; the programs and libraries under test keep the build's flags.
# Sanitizers stay on (they come from the build's flags), and outside a Debug
# build the debug information is cut to what a backtrace shows. The C
# library's checked calls need optimised code, so test code goes without.
function(tools_test_code target)
  target_compile_options(${target} PRIVATE -O0 $<$<NOT:$<CONFIG:Debug>>:-g1> -U_FORTIFY_SOURCE)
endfunction()

# tools_test_sources(TARGET src...): TARGET compiles test sources, with the
# headers every test parses precompiled by the support library, for C++
# only: the C sources must not be handed them. Its C++ sources are compiled
# as one file: each test source costs about a second before its first line,
# loading that header and emitting GoogleTest's code, and a program's sources
# share both. Names at file scope must then differ across its sources.
function(tools_test_sources target)
  tools_test_code(${target})
  target_precompile_headers(${target} REUSE_FROM testsupport)
  set_target_properties(${target} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 0)
  foreach(source IN LISTS ARGN)
    if(source MATCHES "[.]c$")
      set_source_files_properties(${source} PROPERTIES
        SKIP_PRECOMPILE_HEADERS ON SKIP_UNITY_BUILD_INCLUSION ON)
    endif()
  endforeach()
endfunction()

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
  tools_test_sources(${name} ${T_SOURCES})
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

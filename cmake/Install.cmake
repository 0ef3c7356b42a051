# Installing the libraries so that another project can use them: each one as
# a static archive with its header folder, an imported target tools::NAME in
# the CMake package `tools` (find_package(tools CONFIG)) and a pkg-config file
# NAME.pc. Every path in them is relative to where they are installed, so
# `cmake --install --prefix DIR` may put them anywhere.

set(TOOLS_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tools)

# tools_install_library(NAME DESCRIPTION text [CXX_RUNTIME])
# CXX_RUNTIME: the archive is compiled C++, so a program linked by a C
# compiler may need the C++ runtime beside it. The package says so (an
# interface link of the runtime for CMake users, Libs.private for
# pkg-config users, who link an archive with --static).
function(tools_install_library name)
  cmake_parse_arguments(L "CXX_RUNTIME" "DESCRIPTION" "" ${ARGN})
  install(TARGETS ${name} EXPORT tools-targets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    FILE_SET HEADERS DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  # For projects on a CMake too old to read the header set.
  target_include_directories(${name} INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

  set(PC_NAME ${name})
  set(PC_DESCRIPTION ${L_DESCRIPTION})
  set(PC_LIBS_PRIVATE "")
  if(L_CXX_RUNTIME)
    target_link_libraries(${name} INTERFACE $<INSTALL_INTERFACE:stdc++>)
    set(PC_LIBS_PRIVATE "Libs.private: -lstdc++")
  endif()
  if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
    set(PC_PREFIX ${CMAKE_INSTALL_PREFIX})
    set(PC_LIBDIR ${CMAKE_INSTALL_FULL_LIBDIR})
    set(PC_INCLUDEDIR ${CMAKE_INSTALL_FULL_INCLUDEDIR})
  else()
    file(RELATIVE_PATH up /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
    string(REGEX REPLACE "/$" "" up "${up}")
    set(PC_PREFIX "\${pcfiledir}/${up}")
    set(PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
    set(PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
  endif()
  configure_file(${PROJECT_SOURCE_DIR}/cmake/library.pc.in ${CMAKE_BINARY_DIR}/pkgconfig/${name}.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/pkgconfig/${name}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endfunction()

# The CMake package, once every library is in the export set.
function(tools_install_package)
  install(EXPORT tools-targets NAMESPACE tools:: DESTINATION ${TOOLS_PACKAGE_DIR})
  include(CMakePackageConfigHelpers)
  write_basic_package_version_file(${CMAKE_BINARY_DIR}/cmake/tools-config-version.cmake
    COMPATIBILITY SameMajorVersion)
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/tools-config.cmake
                ${CMAKE_BINARY_DIR}/cmake/tools-config-version.cmake
    DESTINATION ${TOOLS_PACKAGE_DIR})
endfunction()
